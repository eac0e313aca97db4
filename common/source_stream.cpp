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

}  // namespace

HMMIO OpenNamedFile(SpiName name, DWORD flags) {
  if (name.wide) return mmioOpenW(const_cast<LPWSTR>(static_cast<LPCWSTR>(name.text)), nullptr, flags);
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
