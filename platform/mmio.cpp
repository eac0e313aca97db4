// Multimedia file I/O over named files and memory files. Named files read
// through an 8 KiB buffer, as mmio does with MMIO_ALLOCBUF, so that small
// reads do not each cost a system call. Memory files never grow.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/fault_state.h"

struct KaldorinMmioFile {
  int fd;            // -1 for a memory file
  char* memory;      // memory file bytes
  bool ownsMemory;
  LONG size;         // memory file size
  int64_t pos;       // logical position
  DWORD flags;
  char* buffer;      // read buffer of a named file
  int64_t bufferStart;
  LONG bufferLen;
};

namespace {

constexpr LONG kBufferSize = 8192;

// The handles that are open, so that closing one that is not (twice, or a
// value that never was a handle) is refused and counted instead of freeing
// memory that is not a file. Only opening and closing consult it.
std::mutex gOpenLock;
std::unordered_set<HMMIO>& OpenFiles() {
  static auto* files = new std::unordered_set<HMMIO>();  // outlives every static destructor
  return *files;
}

void RegisterOpen(HMMIO h) {
  std::lock_guard<std::mutex> hold(gOpenLock);
  OpenFiles().insert(h);
}

// Removes `h` from the open handles; false when it was not among them.
bool UnregisterOpen(HMMIO h) {
  std::lock_guard<std::mutex> hold(gOpenLock);
  return OpenFiles().erase(h) != 0;
}

bool IsMemory(const KaldorinMmioFile* f) { return f->fd < 0; }

// How many of the `n` bytes asked a read or write (`call`) of `h` may move:
// -1 when the call fails (injected, no file, a negative count), half of
// them when it is made short.
LONG Allowed(PlatformCall call, HMMIO h, LONG n) {
  int fault = ShouldFail(call);
  if (h == nullptr || n < 0 || fault == kFaultError) return -1;
  return fault == kFaultShort ? n / 2 : n;
}

// How many of `n` bytes a memory file holds from its position on.
LONG MemoryBytes(const KaldorinMmioFile* f, LONG n) {
  int64_t left = f->pos < f->size ? f->size - f->pos : 0;
  return static_cast<LONG>(std::min<int64_t>(n, left));
}

HMMIO OpenMemory(LPMMIOINFO info, DWORD flags) {
  if (info->cchBuffer < 0) return nullptr;
  char* memory = info->pchBuffer;
  bool owns = false;
  if (memory == nullptr) {
    if (!(flags & MMIO_ALLOCBUF)) return nullptr;
    // Stream-owned buffers are not initialised; fill them with a pattern so
    // that code relying on their contents shows up in tests.
    memory = static_cast<char*>(malloc(info->cchBuffer ? info->cchBuffer : 1));
    if (memory == nullptr) return nullptr;
    memset(memory, 0xCD, info->cchBuffer);
    owns = true;
  }
  auto* f = new KaldorinMmioFile{-1, memory, owns, info->cchBuffer, 0, flags, nullptr, 0, 0};
  return f;
}

HMMIO OpenNamed(LPSTR name, DWORD flags) {
  if (name == nullptr) return nullptr;
  int mode = O_RDONLY;
  if (flags & MMIO_WRITE) mode = O_WRONLY;
  if (flags & MMIO_READWRITE) mode = O_RDWR;
  if (flags & MMIO_CREATE) mode |= O_CREAT | O_TRUNC;
  int fd = open(name, mode | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  char* buffer = nullptr;
  if (!(flags & (MMIO_WRITE | MMIO_READWRITE))) {
    buffer = static_cast<char*>(malloc(kBufferSize));
    if (buffer == nullptr) {
      close(fd);
      return nullptr;
    }
  }
  return new KaldorinMmioFile{fd, nullptr, false, 0, 0, flags, buffer, 0, 0};
}

// Reads from a named file at its logical position, through the buffer.
LONG ReadNamed(KaldorinMmioFile* f, char* dst, LONG n) {
  LONG done = 0;
  while (done < n) {
    int64_t inBuffer = f->pos - f->bufferStart;
    if (f->buffer != nullptr && inBuffer >= 0 && inBuffer < f->bufferLen) {
      LONG take = std::min<LONG>(n - done, f->bufferLen - static_cast<LONG>(inBuffer));
      memcpy(dst + done, f->buffer + inBuffer, take);
      done += take;
      f->pos += take;
      continue;
    }
    LONG want = n - done;
    if (f->buffer == nullptr || want >= kBufferSize) {
      ssize_t r = pread(f->fd, dst + done, want, f->pos);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) break;
      done += static_cast<LONG>(r);
      f->pos += r;
      continue;
    }
    ssize_t r = pread(f->fd, f->buffer, kBufferSize, f->pos);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    f->bufferStart = f->pos;
    f->bufferLen = static_cast<LONG>(r);
    if (r == 0) break;
  }
  return done;
}

// Appends code point `c` to `out` in UTF-8.
void PutUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
    return;
  }
  int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  out->push_back(static_cast<char>(((0xFF00u >> (tail + 1)) & 0xFFu) | (c >> (6 * tail))));
  while (tail-- > 0) out->push_back(static_cast<char>(0x80u | ((c >> (6 * tail)) & 0x3Fu)));
}

// The UTF-8 form of the UTF-16 string `name`; false for an unpaired
// surrogate, which no UTF-8 name can hold.
bool Utf8Name(const WCHAR* name, std::string* out) {
  for (size_t i = 0; name[i] != 0; ++i) {
    uint32_t c = name[i];
    if (c >= 0xD800 && c < 0xE000) {
      const uint32_t low = name[i + 1];
      if (c >= 0xDC00 || low < 0xDC00 || low >= 0xE000) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    PutUtf8(c, out);
  }
  return true;
}

// mmioOpenA and mmioOpenW once the name, if any, is UTF-8.
HMMIO Open(LPSTR name, LPMMIOINFO info, DWORD flags) {
  HMMIO h = (info != nullptr && info->fccIOProc == FOURCC_MEM) ? OpenMemory(info, flags) : OpenNamed(name, flags);
  if (h != nullptr) {
    RegisterOpen(h);
    CountStream(1);
  }
  return h;
}

}  // namespace

extern "C" {

HMMIO mmioOpenA(LPSTR name, LPMMIOINFO info, DWORD flags) {
  if (ShouldFail(kCallMmioOpen) >= 0) return nullptr;
  return Open(name, info, flags);
}

HMMIO mmioOpenW(LPWSTR name, LPMMIOINFO info, DWORD flags) {
  if (ShouldFail(kCallMmioOpen) >= 0) return nullptr;
  std::string utf8;
  if (name != nullptr && !Utf8Name(name, &utf8)) return nullptr;
  return Open(name != nullptr ? &utf8[0] : nullptr, info, flags);
}

LONG mmioRead(HMMIO h, HPSTR buf, LONG n) {
  n = Allowed(kCallMmioRead, h, n);
  if (n < 0) return -1;
  if (IsMemory(h)) {
    LONG take = MemoryBytes(h, n);
    memcpy(buf, h->memory + h->pos, take);
    h->pos += take;
    return take;
  }
  return ReadNamed(h, buf, n);
}

LONG mmioWrite(HMMIO h, const char* buf, LONG n) {
  n = Allowed(kCallMmioWrite, h, n);
  if (n < 0) return -1;
  if (IsMemory(h)) {
    LONG take = MemoryBytes(h, n);
    if (take == 0 && n > 0) return -1;  // a memory file cannot grow
    memcpy(h->memory + h->pos, buf, take);
    h->pos += take;
    return take;
  }
  LONG done = 0;
  while (done < n) {
    ssize_t w = pwrite(h->fd, buf + done, n - done, h->pos);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return done > 0 ? done : -1;
    done += static_cast<LONG>(w);
    h->pos += w;
  }
  h->bufferLen = 0;  // drop any stale read buffer
  return done;
}

LONG mmioSeek(HMMIO h, LONG offset, int origin) {
  if (ShouldFail(kCallMmioSeek) >= 0 || h == nullptr) return -1;
  int64_t base = 0;
  if (origin == SEEK_CUR) {
    base = h->pos;
  } else if (origin == SEEK_END) {
    if (IsMemory(h)) {
      base = h->size;
    } else {
      off_t end = lseek(h->fd, 0, SEEK_END);
      if (end < 0) return -1;
      base = end;
    }
  } else if (origin != SEEK_SET) {
    return -1;
  }
  int64_t target = base + offset;
  // A memory file has no bytes past its end to seek to.
  if (target < 0 || target > 0x7FFFFFFF || (IsMemory(h) && target > h->size)) return -1;
  h->pos = target;
  return static_cast<LONG>(target);
}

MMRESULT mmioGetInfo(HMMIO h, LPMMIOINFO info, UINT) {
  if (ShouldFail(kCallMmioGetInfo) >= 0 || h == nullptr || info == nullptr) return MMIOERR_CANNOTREAD;
  memset(info, 0, sizeof *info);
  info->dwFlags = h->flags;
  info->hmmio = h;
  if (IsMemory(h)) {
    info->fccIOProc = FOURCC_MEM;
    info->cchBuffer = h->size;
    info->pchBuffer = h->memory;
    info->pchNext = h->memory + h->pos;
    info->pchEndRead = h->memory + h->size;
    info->pchEndWrite = h->memory + h->size;
  } else {
    info->cchBuffer = h->buffer != nullptr ? kBufferSize : 0;
    info->pchBuffer = h->buffer;
    info->pchNext = info->pchEndRead = info->pchEndWrite = h->buffer;
    info->lDiskOffset = static_cast<LONG>(h->pos);
    info->lBufOffset = static_cast<LONG>(h->pos);
    info->adwInfo[0] = static_cast<DWORD>(h->fd);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT mmioClose(HMMIO h, UINT) {
  // An injected failure is reported after the file is really closed, as a
  // close that fails to flush still releases the handle.
  bool fail = ShouldFail(kCallMmioClose) >= 0;
  if (!UnregisterOpen(h)) {
    CountBadClose();
    return MMIOERR_CANNOTCLOSE;
  }
  bool ok = true;
  if (!IsMemory(h)) ok = close(h->fd) == 0;
  if (h->ownsMemory) free(h->memory);
  free(h->buffer);
  delete h;
  CountStream(-1);
  return ok && !fail ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

}  // extern "C"
