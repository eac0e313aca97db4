#include "gdk_pixbuf/i24b_pixbuf_decode.h"

#include "image_i24b/fast_tables.h"

namespace {

// The decoder's tables, built on the first decode and kept while the module
// is loaded (gdk-pixbuf never unloads a loader).
const i24b::FastTables* DecodeTables() {
  static const i24b::FastTables* tables = i24b::BuildDecodeTables();
  return tables;
}

}  // namespace

ResultCode DecodeIntoPixbuf(const uint8_t* data, size_t size, const i24b::Header& header, uint8_t* pixels,
                            size_t pixelBytes, uint32_t* firstGuessedRow) {
  const i24b::FastTables* fast = DecodeTables();
  if (fast == nullptr) return kResultOutOfMemory;
  uint32_t width = 0;
  uint32_t height = 0;
  const ResultCode result = i24b::DecodeImage(*fast, data, size, pixels, pixelBytes, &width, &height, firstGuessedRow);
  if (result != kResultOk) return result == kResultOutOfMemory ? kResultInternalError : result;
  return width == header.width && height == header.height ? kResultOk : kResultInternalError;
}
