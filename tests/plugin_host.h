// What the tests need of a host: loading a plug-in by file name and finding
// its exports, host file handles, and (natively) the leak counters.
#ifndef KALDORIN_TESTS_PLUGIN_HOST_H
#define KALDORIN_TESTS_PLUGIN_HOST_H

#include <string>

#include "common/plugin_api.h"

struct Plugin {
  void* module = nullptr;
  // The export `name`, or null.
  void* Find(const char* name) const;
  template <class Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(Find(name));
  }
};

// A UTF-16 string as the wide exports take it (WCHAR is wchar_t on Windows,
// char16_t elsewhere; both are UTF-16 units).
inline LPCWSTR AsWide(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }
inline LPWSTR AsWide(std::u16string* s) { return reinterpret_cast<LPWSTR>(&(*s)[0]); }

// The folder holding the test program, and so the built plug-ins.
std::string BuildDir();
// The file name of plug-in `name` ("glimmet" gives "glimmet.spi", or
// "glimmet.sph" in a 64-bit Windows build).
std::string PluginFile(const std::string& name);
// Loads plug-in `name` from the build folder.
bool LoadPlugin(const std::string& name, Plugin* plugin);
void UnloadPlugin(Plugin* plugin);

// A host file handle open for reading, as IsSupported receives it.
SpiDword OpenHostHandle(const std::string& path);
void CloseHostHandle(SpiDword handle);
// Moves the handle to `pos` from the start; returns the new position.
long SeekHostHandle(SpiDword handle, long pos);
long HostHandlePosition(SpiDword handle);

// Whether this build can count live resources and inject faults.
#ifdef _WIN32
constexpr bool kHaveFaultInjection = false;
#else
constexpr bool kHaveFaultInjection = true;
#endif

// Live blocks, streams and heap allocations, and closes of streams that
// were not open (zero where not counted).
struct Resources {
  long blocks = 0;
  long streams = 0;
  long heap = 0;
  long badCloses = 0;
  bool operator==(const Resources& o) const {
    return blocks == o.blocks && streams == o.streams && heap == o.heap && badCloses == o.badCloses;
  }
};
Resources LiveResources();

#endif
