// The tool as a host of the plug-in API: loads every plug-in of a folder by
// file name, reads its information strings, finds the one that takes a file
// and frees handed-over blocks with the LocalFree of the plug-in's platform.
#ifndef KALDORIN_TOOLS_KALDORIN_PLUGIN_HOST_H
#define KALDORIN_TOOLS_KALDORIN_PLUGIN_HOST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "common/plugin_api.h"

namespace kaldorin {

enum PluginKind { kKindOther = 0, kKindPicture, kKindArchive };

// The local-memory calls that go with a plug-in's blocks. On Windows they are
// kernel32's; natively they come from the platform stand-in that the plug-in
// itself links, found through the plug-in's handle.
typedef LPVOID(WINAPI* LocalLockFn)(HLOCAL);
typedef BOOL(WINAPI* LocalUnlockFn)(HLOCAL);
typedef HLOCAL(WINAPI* LocalFreeFn)(HLOCAL);
typedef SIZE_T(WINAPI* LocalSizeFn)(HLOCAL);

struct HostPlugin {
  std::string path;      // full path as loaded
  std::string fileName;  // name within the folder, for messages
  void* module = nullptr;
  std::string apiVersion;              // information string 0
  std::vector<std::string> infoTexts;  // strings 1, 2, ...
  PluginKind kind = kKindOther;

  GetPluginInfoFn getPluginInfo = nullptr;
  IsSupportedFn isSupported = nullptr;
  GetPictureInfoFn getPictureInfo = nullptr;
  GetPictureFn getPicture = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
  GetFileFn getFile = nullptr;
  // The wide exports, where the plug-in has them: the tool calls these in
  // preference, with UTF-16 names.
  IsSupportedWFn isSupportedW = nullptr;
  GetPictureInfoWFn getPictureInfoW = nullptr;
  GetPictureWFn getPictureW = nullptr;
  GetArchiveInfoWFn getArchiveInfoW = nullptr;
  GetFileInfoWFn getFileInfoW = nullptr;
  GetFileWFn getFileW = nullptr;

  LocalLockFn localLock = nullptr;
  LocalUnlockFn localUnlock = nullptr;
  LocalFreeFn localFree = nullptr;
  LocalSizeFn localSize = nullptr;
};

struct PluginSet {
  std::vector<HostPlugin> plugins;
  // Plug-in files that could not be loaded, each with the reason.
  std::vector<std::string> failures;
};

// Loads every plug-in file (*.spi, or *.sph in a 64-bit Windows build; any
// case) of `folder`, in name order. Returns false
// with `error` set only when the folder cannot be read; unusable plug-ins are
// listed in `set->failures`.
bool LoadPluginFolder(const std::string& folder, PluginSet* set, std::string* error);
// The folder to load: `chosen` (--plugins) when given, else the program's
// own folder when it holds a plug-in file, else the installed plug-in folder
// relative to the program (natively ../lib/<multiarch>/kaldorin, set at build
// time), when there is one.
std::string PluginFolder(const std::string& chosen);
void UnloadPlugins(PluginSet* set);

// The first plug-in of `kind` (kKindOther = any kind with IsSupported) whose
// IsSupported answers 1 for `probe`, the first 2048 bytes of the data
// zero-padded. `name` is passed as the file name. Null if none does.
const HostPlugin* PickPlugin(const PluginSet& set, PluginKind kind, const std::string& name,
                             const uint8_t (&probe)[2048]);

// A handed-over block, locked for reading. Unlock and free it with
// ReleaseHostBlock; both are safe on an empty view.
struct BlockView {
  HLOCAL handle = nullptr;
  const uint8_t* data = nullptr;
  size_t size = 0;
};
// Locks `handle` (taking ownership); false if it cannot be locked, in which
// case the block has already been freed.
bool LockHostBlock(const HostPlugin& plugin, HLOCAL handle, BlockView* view);
void ReleaseHostBlock(const HostPlugin& plugin, BlockView* view);

// The text of an API result code: its meaning, then the number.
std::string ResultText(int code);
// -v: every plug-in call and its result is named on standard error.
void SetCallTrace(bool on);
// Names one call ("GetFile(file at byte 80, to memory)") and its result when
// tracing is on.
void TraceCall(const HostPlugin& plugin, const std::string& call, int code);

// Natively: live blocks and open streams in the platform stand-in of the
// loaded plug-ins, for the leak check. False where this cannot be counted.
bool CountLiveResources(const PluginSet& set, long* blocks, long* streams);
// Test hook of native builds: makes the next call of the platform stand-in's
// CALL fail ("CALL" or "CALL:short" for a short read or write). False when
// the plug-ins have no stand-in or the call is unknown.
bool InjectPlatformFault(const PluginSet& set, const std::string& spec);

}  // namespace kaldorin

#endif
