#include "tests/plugin_host.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#endif

std::string BuildDir() {
#ifdef _WIN32
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
#else
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string s(path, n > 0 ? n : 0);
  return s.substr(0, s.find_last_of('/'));
#endif
}

std::string PluginFile(const std::string& name) { return name + SPI_PLUGIN_EXTENSION; }

bool LoadPlugin(const std::string& name, Plugin* plugin) {
#ifdef _WIN32
  plugin->module = reinterpret_cast<void*>(LoadLibraryA((BuildDir() + "\\" + PluginFile(name)).c_str()));
#else
  plugin->module = dlopen((BuildDir() + "/" + PluginFile(name)).c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  return plugin->module != nullptr;
}

void UnloadPlugin(Plugin* plugin) {
  if (plugin->module == nullptr) return;
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(plugin->module));
#else
  dlclose(plugin->module);
#endif
  plugin->module = nullptr;
}

void* Plugin::Find(const char* name) const {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
#else
  return dlsym(module, name);
#endif
}

SpiDword OpenHostHandle(const std::string& path) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return reinterpret_cast<SpiDword>(h);
#else
  return static_cast<SpiDword>(open(path.c_str(), O_RDONLY | O_CLOEXEC));
#endif
}

void CloseHostHandle(SpiDword handle) {
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(handle));
#else
  close(static_cast<int>(handle));
#endif
}

long SeekHostHandle(SpiDword handle, long pos) {
#ifdef _WIN32
  return static_cast<long>(SetFilePointer(reinterpret_cast<HANDLE>(handle), pos, nullptr, FILE_BEGIN));
#else
  return static_cast<long>(lseek(static_cast<int>(handle), pos, SEEK_SET));
#endif
}

long HostHandlePosition(SpiDword handle) {
#ifdef _WIN32
  return static_cast<long>(SetFilePointer(reinterpret_cast<HANDLE>(handle), 0, nullptr, FILE_CURRENT));
#else
  return static_cast<long>(lseek(static_cast<int>(handle), 0, SEEK_CUR));
#endif
}

Resources LiveResources() {
  Resources r;
#ifndef _WIN32
  r.blocks = PlatformLiveBlocks();
  r.streams = PlatformOpenStreams();
  r.heap = PlatformLiveHeapAllocs();
  r.badCloses = PlatformBadCloses();
#endif
  return r;
}
