// The plug-in API shared by both plug-ins and by hosts: exported function
// types, result codes, flag bits and the host records PictureInfo and
// fileInfo.
//
// A 32-bit build uses the classic layout (PictureInfo 26 bytes, fileInfo 428
// bytes, 32-bit lengths). A 64-bit build uses the layout that 64-bit hosts of
// this API expect: lengths, callback data and IsSupported's dw are
// pointer-sized, and so are the member position, sizes and time stamp.
#ifndef KALDORIN_COMMON_PLUGIN_API_H
#define KALDORIN_COMMON_PLUGIN_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include "platform/win_compat.h"
#endif

#define SPI_CALL WINAPI

// The file extension of plug-ins that a host of this build's pointer width
// loads: 64-bit Windows hosts look for ".sph", 32-bit ones (and this
// project's native builds) for ".spi".
#if defined(_WIN64)
#define SPI_PLUGIN_EXTENSION ".sph"
#else
#define SPI_PLUGIN_EXTENSION ".spi"
#endif

// A length, file offset or callback datum: `long` on 32-bit hosts, pointer
// sized on 64-bit ones.
typedef intptr_t SpiLong;
// IsSupported's second argument: a probe buffer address or a file handle.
typedef uintptr_t SpiDword;

// Result codes of the data exports. Codes 3 and 7 exist in the API but
// these plug-ins never produce them.
typedef int32_t ResultCode;
enum : ResultCode {
  kResultNotImplemented = -1,
  kResultOk = 0,
  kResultCancelled = 1,
  kResultUnknownFormat = 2,
  kResultOutOfMemory = 4,
  kResultMemoryError = 5,
  kResultReadError = 6,
  kResultInternalError = 8,
};

// Bits of the `flag` argument.
enum : unsigned {
  kFlagInputMask = 0x7u,       // bits 0-2: input type
  kInputFile = 0u,             // buf is a file name, len an offset
  kInputMemory = 1u,           // buf is a memory image, len its size
  kFlagIgnoreCase = 0x80u,     // bit 7: GetFileInfo compares names without case
  kFlagOutputMask = 0x700u,    // bits 8-10: GetFile's output type
  kFlagOutputShift = 8u,
};

typedef int(SPI_CALL* ProgressCallback)(int nNum, int nDenom, SpiLong lData);

#pragma pack(push, 1)

struct PictureInfo {
  int32_t left;
  int32_t top;
  uint32_t width;
  uint32_t height;
  uint16_t x_density;
  uint16_t y_density;
  int16_t colorDepth;
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint8_t pad[2];
#endif
  HLOCAL hInfo;
};

struct fileInfo {
  unsigned char method[8];
  uintptr_t position;
  uintptr_t compsize;
  uintptr_t filesize;
  uintptr_t timestamp;
  char path[200];
  char filename[200];
  uint32_t crc;
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint8_t pad[4];
#endif
};

// fileInfo of the wide exports (GetArchiveInfoW, GetFileInfoW): the same
// record with `path` and `filename` in UTF-16.
struct fileInfoW {
  unsigned char method[8];
  uintptr_t position;
  uintptr_t compsize;
  uintptr_t filesize;
  uintptr_t timestamp;
  WCHAR path[200];
  WCHAR filename[200];
  uint32_t crc;
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint8_t pad[4];
#endif
};

#pragma pack(pop)

// The records as hosts of this build's pointer width lay them out: sizes
// and the offsets of the fields after the first pointer-sized one. (64-bit:
// hInfo follows two pad bytes.)
struct SpiRecordLayout {
  size_t pictureInfo, hInfo, fileInfo, timestamp, path, filename, crc;
};
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr SpiRecordLayout kSpiRecordLayout = {32, 24, 448, 32, 40, 240, 440};
#else
constexpr SpiRecordLayout kSpiRecordLayout = {26, 22, 428, 20, 24, 224, 424};
#endif
static_assert(sizeof(PictureInfo) == kSpiRecordLayout.pictureInfo, "PictureInfo size");
static_assert(offsetof(PictureInfo, hInfo) == kSpiRecordLayout.hInfo, "hInfo offset");
static_assert(sizeof(fileInfo) == kSpiRecordLayout.fileInfo, "fileInfo size");
static_assert(offsetof(fileInfo, timestamp) == kSpiRecordLayout.timestamp, "timestamp offset");
static_assert(offsetof(fileInfo, path) == kSpiRecordLayout.path, "path offset");
static_assert(offsetof(fileInfo, filename) == kSpiRecordLayout.filename, "filename offset");
static_assert(offsetof(fileInfo, crc) == kSpiRecordLayout.crc, "crc offset");
#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(fileInfoW) == 848, "fileInfoW size");
#else
static_assert(sizeof(fileInfoW) == 828, "fileInfoW size");
#endif
static_assert(sizeof(WCHAR) == 2, "wide names are UTF-16");
static_assert(offsetof(fileInfoW, path) == kSpiRecordLayout.path, "fileInfoW path offset");
static_assert(offsetof(fileInfoW, filename) == kSpiRecordLayout.path + 400, "fileInfoW filename offset");
static_assert(offsetof(PictureInfo, width) == 8 && offsetof(PictureInfo, colorDepth) == 20,
              "PictureInfo field offsets");
static_assert(offsetof(fileInfo, position) == 8, "position follows the 8-byte method");

// The information block a picture plug-in hands over: a BITMAPINFOHEADER,
// little-endian and packed (the same 40 bytes on every build).
#pragma pack(push, 1)
struct DibHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(DibHeader) == 40, "BITMAPINFOHEADER is 40 bytes");

// Signatures of the exports, as a host calls them.
extern "C" {
typedef int(SPI_CALL* GetPluginInfoFn)(int infono, LPSTR buf, int buflen);
typedef int(SPI_CALL* IsSupportedFn)(LPCSTR filename, SpiDword dw);
typedef int(SPI_CALL* GetPictureInfoFn)(LPCSTR buf, SpiLong len, unsigned int flag, PictureInfo* lpInfo);
typedef int(SPI_CALL* GetPictureFn)(LPCSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                    ProgressCallback lpPrgressCallback, SpiLong lData);
typedef int(SPI_CALL* GetPreviewFn)(LPCSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                    ProgressCallback lpPrgressCallback, SpiLong lData);
typedef int(SPI_CALL* GetArchiveInfoFn)(LPCSTR buf, SpiLong len, unsigned int flag, HLOCAL* lphInf);
typedef int(SPI_CALL* GetFileInfoFn)(LPCSTR buf, SpiLong len, LPCSTR filename, unsigned int flag,
                                     fileInfo* lpInfo);
typedef int(SPI_CALL* GetFileFn)(LPCSTR src, SpiLong len, LPSTR dest, unsigned int flag,
                                 ProgressCallback lpPrgressCallback, SpiLong lData);

// The wide variants: file names are UTF-16 (WCHAR is char16_t natively);
// memory input, flags and results are those of the ANSI exports.
typedef int(SPI_CALL* GetPluginInfoWFn)(int infono, LPWSTR buf, int buflen);
typedef int(SPI_CALL* IsSupportedWFn)(LPCWSTR filename, SpiDword dw);
typedef int(SPI_CALL* GetPictureInfoWFn)(LPCWSTR buf, SpiLong len, unsigned int flag, PictureInfo* lpInfo);
typedef int(SPI_CALL* GetPictureWFn)(LPCWSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                     ProgressCallback lpPrgressCallback, SpiLong lData);
typedef int(SPI_CALL* GetPreviewWFn)(LPCWSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                     ProgressCallback lpPrgressCallback, SpiLong lData);
typedef int(SPI_CALL* GetArchiveInfoWFn)(LPCWSTR buf, SpiLong len, unsigned int flag, HLOCAL* lphInf);
typedef int(SPI_CALL* GetFileInfoWFn)(LPCWSTR buf, SpiLong len, LPCWSTR filename, unsigned int flag,
                                      fileInfoW* lpInfo);
typedef int(SPI_CALL* GetFileWFn)(LPCWSTR src, SpiLong len, LPWSTR dest, unsigned int flag,
                                  ProgressCallback lpPrgressCallback, SpiLong lData);
}

// A name argument of either kind of export: an ANSI or a UTF-16 string (or,
// for memory input, the memory image, whichever export it came through).
// The implementations take this, so that the A and W exports share them.
struct SpiName {
  const void* text;
  bool wide;
};
inline SpiName AnsiName(LPCSTR text) { return SpiName{text, false}; }
inline SpiName WideName(LPCWSTR text) { return SpiName{text, true}; }

// Export markers: on Windows the .def files name the exports; natively the
// plug-ins are built with hidden visibility and these are the only symbols
// they show.
#ifdef _WIN32
#define SPI_EXPORT extern "C"
#else
#define SPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif
