#include "tools/kaldorin_plugin_host.h"

#include "tools/kaldorin_shown_names.h"

#include <string.h>

#include <algorithm>
#include <filesystem>

#include "tools/kaldorin_files.h"
#include "tools/kaldorin_messages.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kaldorin {

namespace {

// Information strings beyond this are not read: a table without its
// terminating entry must not keep the host reading forever.
constexpr int kMaxInfoStrings = 64;
constexpr int kInfoBufferSize = 1024;

void* OpenModule(const std::string& path, std::string* error) {
#ifdef _WIN32
  HMODULE m = LoadLibraryW(WidePath(path).c_str());
  if (m == nullptr) *error = "cannot be loaded (Windows error " + std::to_string(GetLastError()) + ")";
  return reinterpret_cast<void*>(m);
#else
  void* m = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m == nullptr) {
    const char* why = dlerror();
    *error = std::string("cannot be loaded: ") + (why ? why : "unknown reason");
  }
  return m;
#endif
}

void CloseModule(void* module) {
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(module));
#else
  dlclose(module);
#endif
}

void* FindExport(void* module, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
#else
  return dlsym(module, name);
#endif
}

template <class Fn>
void Bind(void* module, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(FindExport(module, name));
}

bool HasPluginExtension(const fs::path& p) {
  std::string ext = Utf8Path(p.extension());
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return ext == SPI_PLUGIN_EXTENSION;
}

std::string InfoString(const HostPlugin& p, int index, bool* present) {
  char buf[kInfoBufferSize];
  memset(buf, 0, sizeof buf);
  int n = p.getPluginInfo(index, buf, kInfoBufferSize);
  *present = n > 0;
  if (n <= 0) return std::string();
  buf[kInfoBufferSize - 1] = 0;
  return std::string(buf, strnlen(buf, kInfoBufferSize));
}

void ReadInformation(HostPlugin* p) {
  bool present = false;
  p->apiVersion = InfoString(*p, 0, &present);
  for (int i = 1; i < kMaxInfoStrings; ++i) {
    std::string s = InfoString(*p, i, &present);
    if (!present) break;
    p->infoTexts.push_back(s);
  }
  // The version string reads "00" then the kind: IN/IM for pictures,
  // AM for archives.
  const std::string& v = p->apiVersion;
  if (v.size() >= 3 && v[2] == 'I' && p->getPicture != nullptr) p->kind = kKindPicture;
  if (v.size() >= 3 && v[2] == 'A' && p->getArchiveInfo != nullptr && p->getFile != nullptr) p->kind = kKindArchive;
}

bool BindLocalMemory(HostPlugin* p, std::string* error) {
#ifdef _WIN32
  (void)error;
  p->localLock = &LocalLock;
  p->localUnlock = &LocalUnlock;
  p->localFree = &LocalFree;
  p->localSize = &LocalSize;
  return true;
#else
  Bind(p->module, "LocalLock", &p->localLock);
  Bind(p->module, "LocalUnlock", &p->localUnlock);
  Bind(p->module, "LocalFree", &p->localFree);
  Bind(p->module, "LocalSize", &p->localSize);
  if (p->localLock && p->localUnlock && p->localFree && p->localSize) return true;
  *error = "does not bring the local-memory calls (LocalLock, LocalUnlock, LocalFree, LocalSize)";
  return false;
#endif
}

bool LoadOne(const fs::path& file, HostPlugin* p, std::string* error) {
  p->path = Utf8Path(file);
  p->fileName = Utf8Path(file.filename());
  p->module = OpenModule(p->path, error);
  if (p->module == nullptr) return false;
  Bind(p->module, "GetPluginInfo", &p->getPluginInfo);
  Bind(p->module, "IsSupported", &p->isSupported);
  Bind(p->module, "GetPictureInfo", &p->getPictureInfo);
  Bind(p->module, "GetPicture", &p->getPicture);
  Bind(p->module, "GetArchiveInfo", &p->getArchiveInfo);
  Bind(p->module, "GetFileInfo", &p->getFileInfo);
  Bind(p->module, "IsSupportedW", &p->isSupportedW);
  Bind(p->module, "GetPictureInfoW", &p->getPictureInfoW);
  Bind(p->module, "GetPictureW", &p->getPictureW);
  Bind(p->module, "GetArchiveInfoW", &p->getArchiveInfoW);
  Bind(p->module, "GetFileInfoW", &p->getFileInfoW);
  Bind(p->module, "GetFileW", &p->getFileW);
  Bind(p->module, "GetFile", &p->getFile);
  if (p->getPluginInfo == nullptr) {
    *error = "has no GetPluginInfo export";
  } else if (BindLocalMemory(p, error)) {
    ReadInformation(p);
    return true;
  }
  CloseModule(p->module);
  p->module = nullptr;
  return false;
}

}  // namespace

namespace {

// The plug-in files of `folder`, unsorted; false when it cannot be read.
bool ListPluginFiles(const std::string& folder, std::vector<fs::path>* files, std::error_code* ec) {
  for (fs::directory_iterator it(FsPath(folder), *ec), end; !*ec && it != end; it.increment(*ec)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError) && HasPluginExtension(it->path())) files->push_back(it->path());
  }
  return !*ec;
}

}  // namespace

std::string PluginFolder(const std::string& chosen) {
  if (!chosen.empty()) return chosen;
  const std::string own = ProgramFolder();
#ifdef KALDORIN_INSTALLED_PLUGIN_DIR
  std::vector<fs::path> files;
  std::error_code ec;
  if (ListPluginFiles(own, &files, &ec) && files.empty()) {
    const std::string installed = JoinPath(own, KALDORIN_INSTALLED_PLUGIN_DIR);
    if (IsDirectory(installed)) return Utf8Path(FsPath(installed).lexically_normal());
  }
#endif
  return own;
}

bool LoadPluginFolder(const std::string& folder, PluginSet* set, std::string* error) {
  std::error_code ec;
  std::vector<fs::path> files;
  if (!ListPluginFiles(folder, &files, &ec)) {
    *error = "cannot read the plug-in folder " + folder + ": " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    HostPlugin p;
    std::string why;
    if (LoadOne(f, &p, &why)) {
      set->plugins.push_back(p);
    } else {
      set->failures.push_back(Utf8Path(f.filename()) + " " + why);
    }
  }
  return true;
}

void UnloadPlugins(PluginSet* set) {
  for (HostPlugin& p : set->plugins) {
    if (p.module != nullptr) CloseModule(p.module);
    p.module = nullptr;
  }
  set->plugins.clear();
}

namespace {
bool gTraceCalls = false;
}  // namespace

const HostPlugin* PickPlugin(const PluginSet& set, PluginKind kind, const std::string& name,
                             const uint8_t (&probe)[2048]) {
  for (const HostPlugin& p : set.plugins) {
    if (p.isSupported == nullptr && p.isSupportedW == nullptr) continue;
    if (kind != kKindOther && p.kind != kind) continue;
    if (kind == kKindOther && p.kind == kKindOther) continue;
    // Each plug-in gets its own copy: the probe is handed over writable.
    uint8_t copy[2048];
    memcpy(copy, probe, sizeof copy);
    const SpiDword dw = reinterpret_cast<SpiDword>(copy);
    const std::u16string wide = Utf8ToUtf16(name);
    int answer = p.isSupportedW != nullptr ? p.isSupportedW(reinterpret_cast<LPCWSTR>(wide.c_str()), dw)
                                           : p.isSupported(AnsiFileName(name).c_str(), dw);
    if (gTraceCalls) {
      WriteMessage(stderr, "kaldorin: " + ShownName(p.fileName) + " IsSupported" + (p.isSupportedW != nullptr ? "W" : "") +
                               "(" + ShownName(name) + ", 2048-byte probe) -> " + std::to_string(answer) + " (" +
                               (answer == 1 ? "takes it" : "does not take it") + ")\n");
    }
    if (answer == 1) return &p;
  }
  return nullptr;
}

bool LockHostBlock(const HostPlugin& plugin, HLOCAL handle, BlockView* view) {
  *view = BlockView();
  if (handle == nullptr) return false;
  void* data = plugin.localLock(handle);
  if (data == nullptr) {
    plugin.localFree(handle);
    return false;
  }
  view->handle = handle;
  view->data = static_cast<const uint8_t*>(data);
  view->size = plugin.localSize(handle);
  return true;
}

void ReleaseHostBlock(const HostPlugin& plugin, BlockView* view) {
  if (view->handle == nullptr) return;
  plugin.localUnlock(view->handle);
  plugin.localFree(view->handle);
  *view = BlockView();
}

std::string ResultText(int code) {
  switch (code) {
    case -1: return "the plug-in does not offer this";
    case 0: return "success";
    case 1: return "cancelled";
    case 2: return "not in a format the plug-in knows (wrong magic, header field or member name)";
    case 3: return "the data is broken";
    case 4: return "out of memory";
    case 5: return "the plug-in could not get memory for the result";
    case 6: return "the data is missing, cut short or inconsistent";
    case 7: return "write error";
    case 8: return "the plug-in could not carry out the request (not supported, or its output could not be written)";
    default: return "unknown result " + std::to_string(code);
  }
}

void SetCallTrace(bool on) { gTraceCalls = on; }

void TraceCall(const HostPlugin& plugin, const std::string& call, int code) {
  if (!gTraceCalls) return;
  WriteMessage(stderr, "kaldorin: " + ShownName(plugin.fileName) + " " + VisibleText(call) + " -> " +
                           std::to_string(code) + " (" + ResultText(code) + ")\n");
}

bool CountLiveResources(const PluginSet& set, long* blocks, long* streams) {
#ifdef _WIN32
  (void)set;
  (void)blocks;
  (void)streams;
  return false;
#else
  typedef long (*CountFn)(void);
  for (const HostPlugin& p : set.plugins) {
    CountFn liveBlocks = reinterpret_cast<CountFn>(dlsym(p.module, "PlatformLiveBlocks"));
    CountFn openStreams = reinterpret_cast<CountFn>(dlsym(p.module, "PlatformOpenStreams"));
    if (liveBlocks && openStreams) {
      *blocks = liveBlocks();
      *streams = openStreams();
      return true;
    }
  }
  return false;
#endif
}

bool InjectPlatformFault(const PluginSet& set, const std::string& spec) {
#ifdef _WIN32
  (void)set;
  (void)spec;
  return false;
#else
  // "CALL" or "CALL:short", CALL as the stand-in names it (mmioWrite, ...).
  size_t colon = spec.find(':');
  std::string name = spec.substr(0, colon);
  int mode = colon != std::string::npos && spec.substr(colon + 1) == "short" ? 1 : 0;
  typedef const char* (*NameFn)(int);
  typedef void (*FailFn)(int, long, int);
  for (const HostPlugin& p : set.plugins) {
    NameFn callName = reinterpret_cast<NameFn>(dlsym(p.module, "PlatformCallName"));
    FailFn failCall = reinterpret_cast<FailFn>(dlsym(p.module, "PlatformFailCall"));
    if (callName == nullptr || failCall == nullptr) continue;
    for (int call = 0; call < 64; ++call) {
      const char* n = callName(call);
      if (n == nullptr || n[0] == '?') break;
      if (name == n) {
        failCall(call, 1, mode);
        return true;
      }
    }
  }
  return false;
#endif
}

}  // namespace kaldorin
