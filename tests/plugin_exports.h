// Both plug-ins' exports as a host finds them, and what a host does with
// the blocks they hand over. Shared by the suites that load the plug-ins
// many times or call them from many threads.
#ifndef KALDORIN_TESTS_PLUGIN_EXPORTS_H
#define KALDORIN_TESTS_PLUGIN_EXPORTS_H

#include <string.h>

#include <string>

#include "tests/plugin_host.h"
#include "tests/test_files.h"

struct GlimmetExports {
  GetPluginInfoFn getPluginInfo = nullptr;
  IsSupportedFn isSupported = nullptr;
  GetPictureInfoFn getPictureInfo = nullptr;
  GetPictureFn getPicture = nullptr;
  GetPictureWFn getPictureW = nullptr;
};

struct ChestrelExports {
  GetPluginInfoFn getPluginInfo = nullptr;
  IsSupportedFn isSupported = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
  GetFileFn getFile = nullptr;
  GetArchiveInfoWFn getArchiveInfoW = nullptr;
};

// False when an export is missing.
inline bool FindExports(const Plugin& p, GlimmetExports* e) {
  e->getPluginInfo = p.Get<GetPluginInfoFn>("GetPluginInfo");
  e->isSupported = p.Get<IsSupportedFn>("IsSupported");
  e->getPictureInfo = p.Get<GetPictureInfoFn>("GetPictureInfo");
  e->getPicture = p.Get<GetPictureFn>("GetPicture");
  e->getPictureW = p.Get<GetPictureWFn>("GetPictureW");
  return e->getPluginInfo && e->isSupported && e->getPictureInfo && e->getPicture && e->getPictureW;
}

inline bool FindExports(const Plugin& p, ChestrelExports* e) {
  e->getPluginInfo = p.Get<GetPluginInfoFn>("GetPluginInfo");
  e->isSupported = p.Get<IsSupportedFn>("IsSupported");
  e->getArchiveInfo = p.Get<GetArchiveInfoFn>("GetArchiveInfo");
  e->getFileInfo = p.Get<GetFileInfoFn>("GetFileInfo");
  e->getFile = p.Get<GetFileFn>("GetFile");
  e->getArchiveInfoW = p.Get<GetArchiveInfoWFn>("GetArchiveInfoW");
  return e->getPluginInfo && e->isSupported && e->getArchiveInfo && e->getFileInfo && e->getFile &&
         e->getArchiveInfoW;
}

// GetFile's output type "to memory".
constexpr unsigned kToMemory = 1u << kFlagOutputShift;

// The bytes of a handed-over block; the block is freed. A null handle or
// one that cannot be locked gives no bytes.
inline Bytes TakeBlock(HLOCAL h) {
  Bytes out;
  if (h == nullptr) return out;
  const uint8_t* p = static_cast<const uint8_t*>(LocalLock(h));
  if (p != nullptr) out.assign(p, p + LocalSize(h));
  LocalUnlock(h);
  LocalFree(h);
  return out;
}

// The first 2048 bytes of `data`, zero-padded, as a host probes.
inline Bytes ProbeOf(const Bytes& data) {
  Bytes probe(2048, 0);
  if (!data.empty()) memcpy(probe.data(), data.data(), data.size() < probe.size() ? data.size() : probe.size());
  return probe;
}

inline LPCSTR AsSource(const Bytes& data) { return reinterpret_cast<LPCSTR>(data.data()); }
inline SpiLong SizeOf(const Bytes& data) { return static_cast<SpiLong>(data.size()); }

#endif
