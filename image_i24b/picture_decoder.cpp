#include "image_i24b/picture_decoder.h"

#include <string.h>

#include "image_i24b/decode_rows.h"
#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder_sse2.h"

namespace i24b {

namespace {

// The pixels with a `Word` bit buffer; on 32-bit x86, where that word is
// always 32 bits, the SSE2 build when the processor has SSE2.
template <typename Word>
ResultCode DecodePixelsWith(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                            ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
#if defined(I24B_DECODER_SSE2_BUILD)
  static_assert(sizeof(Word) == 4, "the SSE2 build decodes with a 32-bit buffer");
  if (fast.sse2) return DecodePixelsSse2(fast, input, block, callback, lData, firstGuessedRow);
#endif
  return DecodeRows<true, Word>(fast, input, block, callback, lData, firstGuessedRow);
}

}  // namespace

ResultCode DecodePixels(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                        ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
  return DecodePixelsWith<NativeBitWord>(fast, input, block, callback, lData, firstGuessedRow);
}

ResultCode DecodePixelsNarrow(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                              ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
  return DecodePixelsWith<uint32_t>(fast, input, block, callback, lData, firstGuessedRow);
}

ResultCode ScanCodedRows(const FastTables& fast, const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                         ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
  const PixelBlock block = {nullptr, 0, RowStride(width), width, height};
  return DecodeRows<false, NativeBitWord>(fast, MemoryInput(data, size), block, callback, lData, firstGuessedRow);
}

ResultCode DecodeImage(const FastTables& fast, const uint8_t* data, size_t size, uint8_t* rgb, size_t rgbSize,
                       uint32_t* width, uint32_t* height, uint32_t* firstGuessedRow) {
  unsigned char raw[kHeaderSize];
  Header header;
  if (size < kHeaderSize) return kResultUnknownFormat;
  memcpy(raw, data, kHeaderSize);
  if (ParseHeader(raw, &header) != kResultOk) return kResultUnknownFormat;
  *width = header.width;
  *height = header.height;
  if (rgbSize < size_t{header.height} * RowStride(header.width)) return kResultOutOfMemory;
  return DecodeRgbRows(fast, MemoryInput(data + kHeaderSize, size - kHeaderSize), header.width, header.height, rgb,
                       firstGuessedRow);
}

ResultCode DecodeRgbRows(const FastTables& fast, const CodedInput& input, uint32_t width, uint32_t height,
                         uint8_t* rgb, uint32_t* firstGuessedRow) {
  const PixelBlock block = {rgb, size_t{height} * RowStride(width), RowStride(width), width, height};
  const ResultCode result = DecodePixels(fast, input, block, nullptr, 0, firstGuessedRow);
  // The block is bottom-up blue, green, red: turn it top-down red, green, blue.
  for (uint32_t top = 0, bottom = block.height; top < bottom; ++top) {
    --bottom;
    uint8_t* a = rgb + size_t{top} * block.stride;
    uint8_t* b = rgb + size_t{bottom} * block.stride;
    for (size_t i = 0; i < size_t{3} * block.width; i += 3) {
      const uint8_t pa[3] = {a[i], a[i + 1], a[i + 2]};
      a[i] = b[i + 2];
      a[i + 1] = b[i + 1];
      a[i + 2] = b[i];
      b[i] = pa[2];
      b[i + 1] = pa[1];
      b[i + 2] = pa[0];
    }
  }
  return result;
}

}  // namespace i24b
