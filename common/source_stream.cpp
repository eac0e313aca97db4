#include "common/source_stream.h"

#include <string.h>

namespace {

ResultCode OpenMemoryFile(char* buffer, LONG size, DWORD extraFlags, SourceStream* stream) {
  MMIOINFO info;
  memset(&info, 0, sizeof info);
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = buffer;
  info.cchBuffer = size;
  info.adwInfo[0] = 0;  // growth increment: a memory source never grows
  stream->mmio = mmioOpenA(nullptr, &info, MMIO_READ | MMIO_DENYWRITE | extraFlags);
  return stream->mmio != nullptr ? kResultOk : kResultMemoryError;
}

#ifdef _WIN32
// mmio's own file procedure opens names through the ANSI code page, also
// for mmioOpenW. A wide name is therefore opened with CreateFileW and read
// and written through this procedure, which mmioOpenW is given with the
// file's handle in adwInfo[0] (kernel handles fit 32 bits on 64-bit
// Windows too).
const FOURCC kWideFileProc = mmioFOURCC('K', 'W', 'F', 'H');

HANDLE HandleOf(const MMIOINFO* info) {
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(info->adwInfo[0])));
}

LRESULT CALLBACK WideFileProc(LPSTR infoText, UINT message, LPARAM lParam1, LPARAM lParam2) {
  MMIOINFO* info = reinterpret_cast<MMIOINFO*>(infoText);
  HANDLE file = HandleOf(info);
  switch (message) {
    case MMIOM_OPEN:
      info->lDiskOffset = 0;
      return MMSYSERR_NOERROR;
    case MMIOM_CLOSE:
      return CloseHandle(file) ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
    case MMIOM_READ: {
      DWORD got = 0;
      if (!ReadFile(file, reinterpret_cast<void*>(lParam1), static_cast<DWORD>(lParam2), &got, nullptr)) return -1;
      info->lDiskOffset += static_cast<LONG>(got);
      return static_cast<LRESULT>(got);
    }
    case MMIOM_WRITE:
    case MMIOM_WRITEFLUSH: {
      DWORD put = 0;
      if (!WriteFile(file, reinterpret_cast<const void*>(lParam1), static_cast<DWORD>(lParam2), &put, nullptr)) {
        return -1;
      }
      info->lDiskOffset += static_cast<LONG>(put);
      return static_cast<LRESULT>(put);
    }
    case MMIOM_SEEK: {
      // SEEK_SET, SEEK_CUR and SEEK_END are FILE_BEGIN, FILE_CURRENT and FILE_END.
      DWORD pos = SetFilePointer(file, static_cast<LONG>(lParam1), nullptr, static_cast<DWORD>(lParam2));
      if (pos == INVALID_SET_FILE_POINTER || pos > 0x7FFFFFFFu) return -1;
      info->lDiskOffset = static_cast<LONG>(pos);
      return static_cast<LRESULT>(pos);
    }
    default:
      return 0;
  }
}

HMMIO OpenWideFile(LPCWSTR name, DWORD flags) {
  const bool writes = (flags & (MMIO_WRITE | MMIO_READWRITE)) != 0;
  const DWORD access = (flags & MMIO_READWRITE) ? GENERIC_READ | GENERIC_WRITE : writes ? GENERIC_WRITE : GENERIC_READ;
  const DWORD share = (flags & MMIO_DENYWRITE) ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE file = CreateFileW(name, access, share, nullptr, (flags & MMIO_CREATE) ? CREATE_ALWAYS : OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  MMIOINFO info;
  memset(&info, 0, sizeof info);
  info.fccIOProc = kWideFileProc;
  info.pIOProc = WideFileProc;
  info.adwInfo[0] = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(file));
  // The file exists now: mmio must neither create nor truncate it again.
  HMMIO mmio = mmioOpenW(const_cast<LPWSTR>(name), &info, flags & ~static_cast<DWORD>(MMIO_CREATE));
  if (mmio == nullptr) CloseHandle(file);
  return mmio;
}
#endif

}  // namespace

HMMIO OpenNamedFile(SpiName name, DWORD flags) {
#ifdef _WIN32
  if (name.wide) return OpenWideFile(static_cast<LPCWSTR>(name.text), flags);
#else
  if (name.wide) return mmioOpenW(const_cast<LPWSTR>(static_cast<LPCWSTR>(name.text)), nullptr, flags);
#endif
  return mmioOpenA(const_cast<LPSTR>(static_cast<LPCSTR>(name.text)), nullptr, flags);
}

ResultCode OpenSource(SpiName buf, SpiLong len, unsigned int flag, SourceStream* stream) {
  switch (flag & kFlagInputMask) {
    case kInputMemory: {
      // mmio sizes are 32-bit: a larger image cannot be opened.
      if (len < 0 || len > 0x7FFFFFFF) {
        stream->mmio = nullptr;
        return kResultMemoryError;
      }
      char* memory = static_cast<char*>(const_cast<void*>(buf.text));
      return OpenMemoryFile(memory, static_cast<LONG>(len), memory == nullptr ? MMIO_ALLOCBUF : 0, stream);
    }
    case kInputFile: {
      stream->mmio = OpenNamedFile(buf, MMIO_READ | MMIO_ALLOCBUF | MMIO_DENYWRITE);
      if (stream->mmio == nullptr) return kResultReadError;
      if (len != 0) {
        bool reachable = len > 0 && len <= 0x7FFFFFFF;
        if (!reachable || mmioSeek(stream->mmio, static_cast<LONG>(len), SEEK_SET) == -1) {
          mmioClose(stream->mmio, 0);
          stream->mmio = nullptr;
          return kResultReadError;
        }
      }
      return kResultOk;
    }
    default:
      return kResultInternalError;
  }
}

ResultCode OpenProbe(SpiDword dw, SourceStream* stream) {
  if ((dw & ~static_cast<SpiDword>(0xFFFF)) != 0) {
    return OpenMemoryFile(reinterpret_cast<char*>(dw), kProbeSize, 0, stream);
  }
  ResultCode result = OpenMemoryFile(nullptr, kProbeSize, MMIO_ALLOCBUF, stream);
  if (result != kResultOk) return result;

  MMIOINFO info;
  memset(&info, 0, sizeof info);
  bool ok = mmioGetInfo(stream->mmio, &info, 0) == MMSYSERR_NOERROR && info.pchBuffer != nullptr;
  DWORD got = 0;
  if (ok) {
    memset(info.pchBuffer, 0, kProbeSize);
    HANDLE file = reinterpret_cast<HANDLE>(dw);
    ok = ReadFile(file, info.pchBuffer, kProbeSize, &got, nullptr) != FALSE && got <= static_cast<DWORD>(kProbeSize);
    // Put the host's handle back where it was.
    if (ok) ok = SetFilePointer(file, -static_cast<LONG>(got), nullptr, FILE_CURRENT) != INVALID_SET_FILE_POINTER;
  }
  if (!ok) {
    mmioClose(stream->mmio, 0);
    stream->mmio = nullptr;
    return kResultReadError;
  }
  return kResultOk;
}

ResultCode ReadExact(SourceStream* stream, void* dst, LONG n) {
  LONG got = mmioRead(stream->mmio, static_cast<HPSTR>(dst), n);
  return got == n ? kResultOk : kResultReadError;
}

ResultCode ReadSome(SourceStream* stream, void* dst, LONG n, LONG* got) {
  LONG r = mmioRead(stream->mmio, static_cast<HPSTR>(dst), n);
  if (r < 0 || r > n) {
    *got = 0;
    return kResultReadError;
  }
  *got = r;
  return kResultOk;
}

bool ReadSourceBytes(void* source, uint8_t* dst, size_t space, size_t* got) {
  LONG n = 0;
  const LONG ask = space < 0x7FFFFFFF ? static_cast<LONG>(space) : 0x7FFFFFFF;
  const bool ok = ReadSome(static_cast<SourceStream*>(source), dst, ask, &n) == kResultOk;
  *got = static_cast<size_t>(n);
  return ok;
}

ResultCode SourceBytesLeft(SourceStream* stream, int64_t* left) {
  LONG at = 0;
  if (TellSource(stream, &at) != kResultOk) return kResultReadError;
  const LONG end = mmioSeek(stream->mmio, 0, SEEK_END);
  if (end < 0 || SeekSource(stream, at) != kResultOk) return kResultReadError;
  *left = end > at ? end - at : 0;
  return kResultOk;
}

ResultCode SeekSource(SourceStream* stream, LONG pos) {
  return mmioSeek(stream->mmio, pos, SEEK_SET) == pos ? kResultOk : kResultReadError;
}

ResultCode TellSource(SourceStream* stream, LONG* pos) {
  LONG r = mmioSeek(stream->mmio, 0, SEEK_CUR);
  if (r < 0) return kResultReadError;
  *pos = r;
  return kResultOk;
}

void CloseSource(SourceStream* stream, ResultCode* result) {
  bool closed = stream->mmio != nullptr && mmioClose(stream->mmio, 0) == MMSYSERR_NOERROR;
  stream->mmio = nullptr;
  if (!closed && *result == kResultOk) *result = kResultReadError;
}
