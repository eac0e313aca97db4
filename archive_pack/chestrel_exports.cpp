// chestrel's exports: its information strings and the archive exports, each
// of which opens its source, lets pack_directory.h do the directory work and
// closes the source before returning. Each export has an ANSI and a wide
// (UTF-16 names) entry point over one implementation.
#include <string.h>

#include "archive_pack/pack_directory.h"
#include "archive_pack/pack_extract.h"
#include "common/movable_block.h"
#include "common/plugin_api.h"
#include "common/plugin_info.h"
#include "common/source_stream.h"
#include "common/windows_names.h"

namespace {

const char* const kChestrelInfo[] = {
    "00AM",  "Chestrel - KALDORIN Archive extract library ver0.03  by the Kaldorin tools team",
    "*.PAK", "KALDORIN Archive (*.PAK)",
    "*.DAT", "KALDORIN Archive (*.DAT)",
    nullptr,
};

// The name GetFile gives a member that the host handed over as memory.
const char kMemoryMemberName[] = "noname";

int ProbeArchive(SpiDword dw) {
  SourceStream stream;
  if (OpenProbe(dw, &stream) != kResultOk) return 0;
  ResultCode result = pack::ProbeDirectory(&stream);
  ResultCode closing = kResultOk;
  CloseSource(&stream, &closing);
  return result == kResultOk ? 1 : 0;
}

// GetArchiveInfo with a listing of `Record`s.
template <class Record>
int ListArchive(SpiName buf, SpiLong len, unsigned int flag, HLOCAL* lphInf) {
  if (lphInf == nullptr) return kResultInternalError;
  *lphInf = nullptr;
  SourceStream stream;
  ResultCode result = OpenSource(buf, len, flag, &stream);
  if (result != kResultOk) return result;
  HLOCAL listing = nullptr;
  result = pack::ListDirectory<Record>(&stream, &listing);
  CloseSource(&stream, &result);
  // The host gets the listing only with a success.
  if (result == kResultOk) {
    *lphInf = listing;
  } else if (listing != nullptr) {
    LocalFree(listing);
  }
  return result;
}

template <class Record>
int FindMember(SpiName buf, SpiLong len, SpiName filename, unsigned int flag, Record* lpInfo) {
  if (filename.text == nullptr) return kResultInternalError;
  SourceStream stream;
  ResultCode result = OpenSource(buf, len, flag, &stream);
  if (result != kResultOk) return result;
  const bool atFileStart = (flag & kFlagInputMask) == kInputFile && len == 0;
  result = pack::FindByName(&stream, filename, (flag & kFlagIgnoreCase) != 0, atFileStart, lpInfo);
  CloseSource(&stream, &result);
  return result;
}

int ExtractMember(SpiName src, SpiLong len, SpiName dest, unsigned int flag, ProgressCallback lpPrgressCallback,
                  SpiLong lData) {
  if (dest.text == nullptr) return kResultInternalError;
  SourceStream stream;
  ResultCode result = OpenSource(src, len, flag, &stream);
  if (result != kResultOk) return result;

  fileInfo member;
  memset(&member, 0, sizeof member);
  if ((flag & kFlagInputMask) == kInputFile) {
    // The directory is read from byte 0 of the file; the lookup puts the
    // stream back at byte `len`, the member's first byte.
    result = pack::FindByPosition(&stream, len, &member);
    // A member that ends past the file is refused before its block is
    // allocated: the file cannot fill it.
    int64_t left = 0;
    if (result == kResultOk && (SourceBytesLeft(&stream, &left) != kResultOk ||
                                static_cast<uint64_t>(member.filesize) > static_cast<uint64_t>(left))) {
      result = kResultReadError;
    }
  } else {
    pack::FillMemberRecord(0, 0, kMemoryMemberName, true, &member);
    member.filesize = static_cast<uintptr_t>(len);
  }
  // Bytes past 2 GiB cannot be reached through 32-bit mmio positions.
  if (result == kResultOk &&
      static_cast<uint64_t>(member.position) + static_cast<uint64_t>(member.filesize) > pack::kLargestMemberEnd) {
    result = kResultReadError;
  }

  const bool toMemory = (flag & kFlagOutputMask) != 0;
#ifdef _WIN32
  // Windows would open a device (a serial port, the printer, NUL) for such
  // a name: refused before anything is read or opened.
  if (result == kResultOk && !toMemory &&
      winname::IsDeviceName(member.filename, strlen(member.filename))) {
    result = kResultInternalError;
  }
#endif
  pack::MemberData data = {nullptr, nullptr, 0};
  if (result == kResultOk) {
    result = pack::ReadMember(&stream, member.filesize, !toMemory, lpPrgressCallback, lData, &data);
  }
  if (result == kResultOk && !toMemory) result = pack::WriteMemberFile(dest, member.filename, data.data, data.size);
  CloseSource(&stream, &result);
  // The source is closed before the block is handed over, so that the host's
  // handle changes only with a success.
  if (result == kResultOk && toMemory) {
    *static_cast<HLOCAL*>(const_cast<void*>(dest.text)) = data.handle;
    ReleaseBlock(data.handle, nullptr);
  } else {
    ReleaseBlock(data.handle, data.data);
  }
  return result;
}

}  // namespace

SPI_EXPORT int SPI_CALL GetPluginInfo(int infono, LPSTR buf, int buflen) {
  return CopyPluginInfo(kChestrelInfo, infono, buf, buflen);
}

SPI_EXPORT int SPI_CALL GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
  return CopyPluginInfo(kChestrelInfo, infono, buf, buflen);
}

SPI_EXPORT int SPI_CALL IsSupported(LPCSTR, SpiDword dw) { return ProbeArchive(dw); }

SPI_EXPORT int SPI_CALL IsSupportedW(LPCWSTR, SpiDword dw) { return ProbeArchive(dw); }

SPI_EXPORT int SPI_CALL GetArchiveInfo(LPCSTR buf, SpiLong len, unsigned int flag, HLOCAL* lphInf) {
  return ListArchive<fileInfo>(AnsiName(buf), len, flag, lphInf);
}

SPI_EXPORT int SPI_CALL GetArchiveInfoW(LPCWSTR buf, SpiLong len, unsigned int flag, HLOCAL* lphInf) {
  return ListArchive<fileInfoW>(WideName(buf), len, flag, lphInf);
}

SPI_EXPORT int SPI_CALL GetFileInfo(LPCSTR buf, SpiLong len, LPCSTR filename, unsigned int flag, fileInfo* lpInfo) {
  return FindMember(AnsiName(buf), len, AnsiName(filename), flag, lpInfo);
}

SPI_EXPORT int SPI_CALL GetFileInfoW(LPCWSTR buf, SpiLong len, LPCWSTR filename, unsigned int flag,
                                     fileInfoW* lpInfo) {
  return FindMember(WideName(buf), len, WideName(filename), flag, lpInfo);
}

SPI_EXPORT int SPI_CALL GetFile(LPCSTR src, SpiLong len, LPSTR dest, unsigned int flag,
                                ProgressCallback lpPrgressCallback, SpiLong lData) {
  return ExtractMember(AnsiName(src), len, AnsiName(dest), flag, lpPrgressCallback, lData);
}

SPI_EXPORT int SPI_CALL GetFileW(LPCWSTR src, SpiLong len, LPWSTR dest, unsigned int flag,
                                 ProgressCallback lpPrgressCallback, SpiLong lData) {
  return ExtractMember(WideName(src), len, WideName(dest), flag, lpPrgressCallback, lData);
}
