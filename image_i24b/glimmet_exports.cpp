// glimmet's exports: plug-in information, probing, picture information, the
// picture itself and the (unsupported) preview. Each has an ANSI and a wide
// (UTF-16 names) entry point over one implementation.
#include <string.h>

#include "common/movable_block.h"
#include "common/plugin_info.h"
#include "common/source_stream.h"
#include "image_i24b/glimmet_tables.h"
#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"

namespace {

using i24b::kHeaderSize;

const char* const kGlimmetInfo[] = {
    "00IN",
    "KALDORIN I24B to DIB filter ver0.03  by the Kaldorin tools team",
    "*",
    "KALDORIN CG (*.I24)",
    nullptr,
};

// Reads the header at the stream's position and checks it: 0, 2 as
// ParseHeader, 6 for a short read.
ResultCode ReadHeader(SourceStream* stream, i24b::Header* header) {
  unsigned char raw[kHeaderSize];
  ResultCode result = ReadExact(stream, raw, kHeaderSize);
  if (result != kResultOk) return result;
  return i24b::ParseHeader(raw, header);
}

int ProbePicture(SpiDword dw) {
  SourceStream stream;
  if (OpenProbe(dw, &stream) != kResultOk) return 0;
  i24b::Header header;
  int answer = ReadHeader(&stream, &header) == kResultOk ? 1 : 0;
  ResultCode ignored = kResultOk;
  CloseSource(&stream, &ignored);  // the answer does not depend on the close
  return answer;
}

int ReadPictureInfo(SpiName buf, SpiLong len, unsigned int flag, PictureInfo* lpInfo) {
  if (lpInfo == nullptr) return kResultInternalError;
  SourceStream stream;
  ResultCode result = OpenSource(buf, len, flag, &stream);
  if (result != kResultOk) return result;
  i24b::Header header;
  result = ReadHeader(&stream, &header);
  if (result == kResultOk) i24b::FillPictureInfo(header, lpInfo);
  CloseSource(&stream, &result);
  return result;
}

int ReadPicture(SpiName buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                ProgressCallback lpPrgressCallback, SpiLong lData) {
  if (pHBInfo == nullptr || pHBm == nullptr) return kResultInternalError;
  *pHBInfo = nullptr;
  *pHBm = nullptr;
  const i24b::FastTables* fast = LoadedFastTables();
  if (fast == nullptr) return kResultOutOfMemory;

  SourceStream stream;
  ResultCode result = OpenSource(buf, len, flag, &stream);
  if (result != kResultOk) return result;

  i24b::Header header = {};
  result = ReadHeader(&stream, &header);
  HLOCAL info = nullptr;
  HLOCAL pixels = nullptr;
  void* infoPtr = nullptr;
  void* pixelPtr = nullptr;
  i24b::PixelBlock block = {nullptr, 0, i24b::RowStride(header.width), header.width, header.height};
  if (result == kResultOk) {
    // Every position in the block, plus the longest overshoot of a run and
    // the pad bytes after it, must fit in a signed address-sized integer.
    uint64_t imageSize = uint64_t{block.height} * block.stride;
    if (imageSize > 0xFFFFFFFFu || imageSize > static_cast<uint64_t>(INTPTR_MAX) - 1024) {
      result = kResultOutOfMemory;
    } else {
      block.size = static_cast<size_t>(imageSize);
    }
  }
  if (result == kResultOk) result = AllocBlock(sizeof(DibHeader), &info, &infoPtr);
  if (result == kResultOk) {
    DibHeader dib = {};
    dib.biSize = sizeof(DibHeader);
    dib.biWidth = static_cast<int32_t>(block.width);
    dib.biHeight = static_cast<int32_t>(block.height);
    dib.biPlanes = 1;
    dib.biBitCount = header.bitsPerPixel;
    dib.biCompression = 0;  // BI_RGB
    dib.biSizeImage = static_cast<uint32_t>(block.size);
    memcpy(infoPtr, &dib, sizeof dib);
    result = AllocBlock(block.size, &pixels, &pixelPtr);
  }
  if (result == kResultOk) {
    block.base = static_cast<uint8_t*>(pixelPtr);
    const i24b::CodedInput input = {ReadSourceBytes, &stream, nullptr, 0};
    result = i24b::DecodePixels(*fast, input, block, lpPrgressCallback, lData);
  }
  CloseSource(&stream, &result);
  if (result == kResultOk) {
    ReleaseBlock(info, nullptr);
    ReleaseBlock(pixels, nullptr);
    *pHBInfo = info;
    *pHBm = pixels;
  } else {
    ReleaseBlock(info, infoPtr);
    ReleaseBlock(pixels, pixelPtr);
  }
  return result;
}

}  // namespace

SPI_EXPORT int SPI_CALL GetPluginInfo(int infono, LPSTR buf, int buflen) {
  return CopyPluginInfo(kGlimmetInfo, infono, buf, buflen);
}

SPI_EXPORT int SPI_CALL GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
  return CopyPluginInfo(kGlimmetInfo, infono, buf, buflen);
}

SPI_EXPORT int SPI_CALL IsSupported(LPCSTR, SpiDword dw) { return ProbePicture(dw); }

SPI_EXPORT int SPI_CALL IsSupportedW(LPCWSTR, SpiDword dw) { return ProbePicture(dw); }

SPI_EXPORT int SPI_CALL GetPictureInfo(LPCSTR buf, SpiLong len, unsigned int flag, PictureInfo* lpInfo) {
  return ReadPictureInfo(AnsiName(buf), len, flag, lpInfo);
}

SPI_EXPORT int SPI_CALL GetPictureInfoW(LPCWSTR buf, SpiLong len, unsigned int flag, PictureInfo* lpInfo) {
  return ReadPictureInfo(WideName(buf), len, flag, lpInfo);
}

SPI_EXPORT int SPI_CALL GetPicture(LPCSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                   ProgressCallback lpPrgressCallback, SpiLong lData) {
  return ReadPicture(AnsiName(buf), len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}

SPI_EXPORT int SPI_CALL GetPictureW(LPCWSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                    ProgressCallback lpPrgressCallback, SpiLong lData) {
  return ReadPicture(WideName(buf), len, flag, pHBInfo, pHBm, lpPrgressCallback, lData);
}

SPI_EXPORT int SPI_CALL GetPreview(LPCSTR, SpiLong, unsigned int, HLOCAL*, HLOCAL*, ProgressCallback, SpiLong) {
  return kResultNotImplemented;
}

SPI_EXPORT int SPI_CALL GetPreviewW(LPCWSTR, SpiLong, unsigned int, HLOCAL*, HLOCAL*, ProgressCallback, SpiLong) {
  return kResultNotImplemented;
}
