#include "gdk_pixbuf/i24b_pixbuf_decode.h"

#include <string.h>

#include "common/source_stream.h"
#include "image_i24b/code_tables.h"
#include "image_i24b/fast_tables.h"

namespace {

// The decoder's tables, built on the first decode and kept while the module
// is loaded (gdk-pixbuf never unloads a loader).
const FastTables* DecodeTables() {
  static const FastTables* tables = [] {
    CodeTableSet set = {};
    FastTables* fast = BuildCodeTableSet(&set) ? BuildFastTables(set) : nullptr;
    ReleaseCodeTableSet(&set);
    return fast;
  }();
  return tables;
}

// The decoder writes bottom-up rows of blue, green, red: turn them into
// top-down rows of red, green, blue in place.
void ToTopDownRgb(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t rowstride) {
  for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
    uint8_t* a = pixels + size_t{top} * rowstride;
    uint8_t* b = pixels + size_t{bottom} * rowstride;
    for (uint32_t x = 0; x < width; ++x, a += 3, b += 3) {
      const uint8_t a0 = a[0], a1 = a[1], a2 = a[2];
      a[0] = b[2];
      a[1] = b[1];
      a[2] = b[0];
      b[0] = a2;
      b[1] = a1;
      b[2] = a0;
    }
  }
  if (height % 2 != 0) {
    uint8_t* p = pixels + size_t{height / 2} * rowstride;
    for (uint32_t x = 0; x < width; ++x, p += 3) {
      const uint8_t blue = p[0];
      p[0] = p[2];
      p[2] = blue;
    }
  }
}

}  // namespace

ResultCode DecodeIntoPixbuf(const uint8_t* data, size_t size, const I24BHeader& header, uint8_t* pixels,
                            size_t pixelBytes, uint32_t rowstride, uint32_t* firstGuessedRow) {
  const FastTables* fast = DecodeTables();
  if (fast == nullptr) return kResultOutOfMemory;
  if (rowstride != RowStride(header.width) || pixelBytes < size_t{rowstride} * header.height ||
      size > static_cast<size_t>(INT32_MAX)) {
    return kResultInternalError;
  }
  SourceStream stream;
  ResultCode result = OpenSource(reinterpret_cast<LPCSTR>(data), static_cast<SpiLong>(size), 1, &stream);
  if (result != kResultOk) return result;
  unsigned char headerBytes[kI24BHeaderSize];
  result = ReadExact(&stream, headerBytes, kI24BHeaderSize);
  const PixelBlock block = {pixels, size_t{rowstride} * header.height, rowstride, header.width, header.height};
  if (result == kResultOk) result = DecodePicture(*fast, &stream, block, nullptr, 0, firstGuessedRow);
  CloseSource(&stream, &result);
  if (result == kResultOk) ToTopDownRgb(pixels, header.width, header.height, rowstride);
  return result;
}
