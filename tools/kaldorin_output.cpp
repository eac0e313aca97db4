#include "tools/kaldorin_output.h"

#include "tools/kaldorin_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#include <unistd.h>
#endif

namespace kaldorin {

namespace {

// Temporary files and working folders alive at one time: one output file,
// or one working folder and the file moved out of it, per thread writing.
constexpr int kSlots = 2 * kMostThreadsWriting + 16;
constexpr size_t kSlotPath = 4096;

enum SlotState { kSlotFree = 0, kSlotFile = 1, kSlotFolder = 2, kSlotClaimed = 3 };

// A thread claims a free slot atomically and fills it before its state says
// what it holds; a signal handler reads a slot only in such a state.
struct Slot {
  std::atomic<int> state;
  char path[kSlotPath];
  char inner[kSlotPath];  // the file inside a working folder
};
static_assert(std::atomic<int>::is_always_lock_free, "slots are read in a signal handler");
Slot gSlots[kSlots];
bool gPredictable = false;
std::atomic<unsigned long> gPredictableCounter{0};

// Threads between registering a name and having created it, and whether a
// signal is removing the registered files: a handler waits for every
// creation under way to finish, and no new one starts, so that no file can
// appear after the removal.
std::atomic<int> gCreating{0};
std::atomic<int> gRemoving{0};
// Whether this thread is one of them: a handler that interrupted a creation
// must not wait for itself.
thread_local volatile sig_atomic_t tCreating = 0;

void CreationDone() {
  --gCreating;
  tCreating = 0;
}

// Registers `path` (and `inner`) before it is created; the caller then
// creates it and calls CreationDone. -1 when no slot is free, the path is
// too long or the tool is ending.
int Register(SlotState state, const std::string& path, const std::string& inner) {
  if (path.size() >= kSlotPath || inner.size() >= kSlotPath) return -1;
  tCreating = 1;
  ++gCreating;
  if (gRemoving.load() != 0) {
    CreationDone();
    return -1;
  }
  for (int i = 0; i < kSlots; ++i) {
    int expected = kSlotFree;
    if (!gSlots[i].state.compare_exchange_strong(expected, kSlotClaimed)) continue;
    memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
    memcpy(gSlots[i].inner, inner.c_str(), inner.size() + 1);
    gSlots[i].state.store(state);
    return i;
  }
  CreationDone();
  return -1;
}

void Unregister(int* slot) {
  if (*slot >= 0 && *slot < kSlots) gSlots[*slot].state.store(kSlotFree);
  *slot = -1;
}

// Sixteen hex digits from the system's random source.
bool RandomToken(std::string* token) {
  uint64_t value = 0;
  if (gPredictable) {
    value = gPredictableCounter.fetch_add(1);
  } else {
#ifdef _WIN32
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
      return false;
    }
#else
    if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) return false;
#endif
  }
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  *token = text;
  return true;
}

// A hidden name beside `target`: ".NAME.TOKEN.kaldorin-tmp", the name cut
// short so that long target names still leave room.
bool TempCandidate(const std::string& target, std::string* path) {
  std::string token;
  if (!RandomToken(&token)) return false;
  fs::path t = FsPath(target);
  std::string base = Utf8Path(t.filename()).substr(0, 64);
  *path = Utf8Path(t.parent_path() / FsPath("." + base + "." + token + ".kaldorin-tmp"));
  return true;
}

constexpr int kCreateAttempts = 100;

int OpenExclusive(const std::string& path) {
#ifdef _WIN32
  return _wopen(WidePath(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
#endif
}

int MakeFolder(const std::string& path) {
#ifdef _WIN32
  return _wmkdir(WidePath(path).c_str());
#else
  return mkdir(path.c_str(), 0700);
#endif
}

#ifndef _WIN32
bool PathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(FsPath(path), ec));
}
#endif

}  // namespace

std::string SystemError(int errnum) { return strerror(errnum); }

bool CreatePendingFile(const std::string& target, PendingOutput* out, std::string* error) {
  out->target = target;
  out->file = nullptr;
  out->slot = -1;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::string candidate;
    if (!TempCandidate(target, &candidate)) {
      *error = "cannot draw a random name for a temporary file";
      return false;
    }
    // Registered before it exists, so that no signal can leave it behind.
    int slot = Register(kSlotFile, candidate, "");
    if (slot < 0) {
      *error = "the folder's path is too long, or too many files are being written at once";
      return false;
    }
    int fd = OpenExclusive(candidate);
    CreationDone();
    if (fd < 0) {
      int saved = errno;
      Unregister(&slot);
      if (saved == EEXIST) continue;  // something is already there: another name
      *error = SystemError(saved);
      return false;
    }
#ifdef _WIN32
    FILE* f = _fdopen(fd, "wb");
#else
    FILE* f = fdopen(fd, "wb");
#endif
    if (f == nullptr) {
      int saved = errno;
#ifdef _WIN32
      _close(fd);
#else
      close(fd);
#endif
      RemoveQuietly(candidate);
      Unregister(&slot);
      *error = SystemError(saved);
      return false;
    }
    out->temp = candidate;
    out->file = f;
    out->slot = slot;
    return true;
  }
  *error = "cannot find a free temporary name";
  return false;
}

bool MoveIntoPlace(const std::string& from, const std::string& to, bool replace, std::string* error, bool* exists) {
  if (exists != nullptr) *exists = false;
#ifdef _WIN32
  if (MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return true;
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
    if (exists != nullptr) *exists = true;
    *error = "already exists (use --force to replace it)";
    return false;
  }
  char text[256] = {0};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string words(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
  *error = words.empty() ? "Windows error " + std::to_string(code) : words;
  return false;
#else
  if (replace) {
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    *error = SystemError(errno);
    return false;
  }
  // A hard link never replaces what is there; where the file system has no
  // hard links, a check right before the rename does.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  int saved = errno;
  if (saved != EEXIST && (saved == EPERM || saved == EOPNOTSUPP || saved == ENOSYS || saved == EMLINK)) {
    if (!PathExists(to)) {
      if (rename(from.c_str(), to.c_str()) == 0) return true;
      *error = SystemError(errno);
      return false;
    }
    saved = EEXIST;
  }
  if (saved == EEXIST) {
    if (exists != nullptr) *exists = true;
    *error = "already exists (use --force to replace it)";
    return false;
  }
  *error = SystemError(saved);
  return false;
#endif
}

bool CommitPending(PendingOutput* out, bool replace, std::string* error, bool* exists) {
  if (exists != nullptr) *exists = false;
  bool ok = true;
  if (out->file != nullptr) {
    errno = 0;
    ok = fflush(out->file) == 0 && ferror(out->file) == 0;
    int saved = errno;
    if (fclose(out->file) != 0 && ok) {
      ok = false;
      saved = errno;
    }
    out->file = nullptr;
    if (!ok) *error = saved != 0 ? SystemError(saved) : "write error";
  }
  if (ok) ok = MoveIntoPlace(out->temp, out->target, replace, error, exists);
  if (!ok) RemoveQuietly(out->temp);
  Unregister(&out->slot);
  return ok;
}

void DiscardPending(PendingOutput* out) {
  if (out->file != nullptr) fclose(out->file);
  out->file = nullptr;
  if (out->slot >= 0) RemoveQuietly(out->temp);
  Unregister(&out->slot);
}

bool CreateWorkFolder(const std::string& dir, const std::string& innerName, std::string* folder, int* slot,
                      std::string* error) {
  *slot = -1;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::string candidate;
    if (!TempCandidate(Utf8Path(FsPath(dir) / "extract"), &candidate)) {
      *error = "cannot draw a random name for a working folder";
      return false;
    }
    int s = Register(kSlotFolder, candidate, Utf8Path(FsPath(candidate) / FsPath(innerName)));
    if (s < 0) {
      *error = "the folder's path is too long, or too many files are being written at once";
      return false;
    }
    const int made = MakeFolder(candidate);
    CreationDone();
    if (made != 0) {
      int saved = errno;
      Unregister(&s);
      if (saved == EEXIST) continue;
      *error = SystemError(saved);
      return false;
    }
    *folder = candidate;
    *slot = s;
    return true;
  }
  *error = "cannot find a free name for a working folder";
  return false;
}

void RemoveWorkFolder(const std::string& folder, int slot) {
  std::error_code ec;
  fs::remove_all(FsPath(folder), ec);
  Unregister(&slot);
}

namespace {

#ifdef _WIN32
// Removes the file (or empty folder) of a slot's UTF-8 path without
// allocating: it runs in the console's Ctrl-C thread.
bool RemoveSlotPath(const char* utf8, bool folder) {
  static wchar_t wide[kSlotPath];
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, kSlotPath) == 0) return false;
  return (folder ? RemoveDirectoryW(wide) : DeleteFileW(wide)) != 0;
}
#else
bool RemoveSlotPath(const char* path, bool folder) { return (folder ? rmdir(path) : unlink(path)) == 0; }
#endif

}  // namespace

void RemovePendingOutputsNow() {
  gRemoving.store(1);
  while (gCreating.load() > (tCreating ? 1 : 0)) {
  }
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = gSlots[i];
    const int state = s.state.load();
    if (state == kSlotFile) {
      RemoveSlotPath(s.path, false);
    } else if (state == kSlotFolder) {
      // A plug-in on another thread may create the file in the folder
      // between the two removals; once the folder is gone it cannot.
      for (int attempt = 0; attempt < 3 && !RemoveSlotPath(s.path, true); ++attempt) {
        RemoveSlotPath(s.inner, false);
      }
    }
  }
}

void UsePredictableTempNames() { gPredictable = true; }

bool SameFile(const std::string& a, const std::string& b) {
#ifdef _WIN32
  auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION x;
  BY_HANDLE_FILE_INFORMATION y;
  if (!identify(a, &x) || !identify(b, &y)) return false;
  return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
#else
  struct stat x;
  struct stat y;
  if (stat(a.c_str(), &x) != 0 || stat(b.c_str(), &y) != 0) return false;
  return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
#endif
}

}  // namespace kaldorin
