// Whole-picture decoding: the pixel block layout and the row loop that
// turns the coded stream into pixels.
#ifndef KALDORIN_IMAGE_I24B_PICTURE_DECODER_H
#define KALDORIN_IMAGE_I24B_PICTURE_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "common/plugin_api.h"
#include "common/source_stream.h"
#include "image_i24b/fast_tables.h"

// The locked pixel block: `height` rows of `stride` bytes, bottom-up.
struct PixelBlock {
  uint8_t* base;
  size_t size;  // height * stride
  uint32_t stride;
  uint32_t width;
  uint32_t height;
};

// Bytes per row: three per pixel, rounded up to a multiple of four.
inline uint32_t RowStride(uint32_t width) { return (3 * width + 3) & ~3u; }

// Decodes every row of the picture from `stream` (positioned at the coded
// data) into `block`, calling `callback` before each row and once at the end
// (when it is not null). Returns 0; 1 when the callback cancels (before a row
// or at the end); 6 when a read error took away bits the picture needed.
// Never reads or writes outside the block: a reference byte outside it reads
// as 0 and a write outside it is dropped.
ResultCode DecodePicture(const FastTables& fast, SourceStream* stream, const PixelBlock& block,
                         ProgressCallback callback, SpiLong lData);

#endif
