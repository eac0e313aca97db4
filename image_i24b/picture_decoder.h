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

// What the first guessed row is when the data holds every bit.
constexpr uint32_t kNoGuessedRow = 0xFFFFFFFFu;

// Decodes every row of the picture from `stream` (positioned at the coded
// data) into `block`, calling `callback` before each row and once at the end
// (when it is not null). Returns 0; 1 when the callback cancels (before a row
// or at the end); 6 when a read error took away bits the picture needed.
// Never reads or writes outside the block: a reference byte outside it reads
// as 0 and a write outside it is dropped.
//
// Data that ends early decodes as if zero bits followed. `firstGuessedRow`,
// when not null, receives the first row (0 = top) that took a bit from past
// the end, or kNoGuessedRow; the rows from there on are guessed.
ResultCode DecodePicture(const FastTables& fast, SourceStream* stream, const PixelBlock& block,
                         ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow = nullptr);

// Decodes the coded data of a `width` x `height` picture (the `size` bytes at
// `data`, after the header) as DecodePicture does, without making the
// pixels: for the first guessed row alone. Results and callback calls as
// DecodePicture's.
ResultCode ScanCodedRows(const FastTables& fast, const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                         ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow);

// The fewest bits any token takes per pixel: the longest run (MainTable
// symbol 239 extended by LongRunTable symbol 101, 126 pixels) with its codes
// (9 and 5 bits) and the shortest offset code (1 bit). No token covers its
// pixels with fewer bits per pixel (tests/code_tables_tests.cpp checks this
// against the tables).
constexpr uint32_t kLongestRunPixels = 126;
constexpr uint32_t kLongestRunBits = 9 + 5 + 1;

// The fewest bytes of coded data that any `width` x `height` picture takes:
// each row's tokens cover at least its pixels, and every row starts afresh.
constexpr uint64_t FewestCodedBytes(uint32_t width, uint32_t height) {
  const uint64_t rowBits = (uint64_t{width} * kLongestRunBits + kLongestRunPixels - 1) / kLongestRunPixels;
  return (rowBits * height + 7) / 8;
}
static_assert(FewestCodedBytes(126, 8) == 15, "eight rows of one longest run each");
static_assert(FewestCodedBytes(127, 1) == 2, "a second token in the row");
static_assert(FewestCodedBytes(65535, 65535) == 63913009, "the largest picture");

#endif
