// Whole-picture decoding: the row loop that turns the coded stream into
// pixels, the same loop measuring rows without making pixels, and a decode
// of a whole file in memory that needs neither the plug-in nor the platform.
#ifndef KALDORIN_IMAGE_I24B_PICTURE_DECODER_H
#define KALDORIN_IMAGE_I24B_PICTURE_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "common/plugin_api.h"
#include "image_i24b/bit_reader.h"
#include "image_i24b/fast_tables.h"
#include "image_i24b/i24b_format.h"

namespace i24b {

// The locked pixel block: `height` rows of `stride` bytes, bottom-up.
struct PixelBlock {
  uint8_t* base;
  size_t size;  // height * stride
  uint32_t stride;
  uint32_t width;
  uint32_t height;
};

// What the first guessed row is when the data holds every bit.
constexpr uint32_t kNoGuessedRow = 0xFFFFFFFFu;

// Decodes every row of the picture from `input` (the coded data after the
// header) into `block`, calling `callback` before each row and once at the end
// (when it is not null). Returns 0; 1 when the callback cancels (before a row
// or at the end); 6 when a read error took away bits the picture needed.
// Never reads or writes outside the block: a reference byte outside it reads
// as 0 and a write outside it is dropped.
//
// The block need not be cleared: every row decoded is written whole, pad
// bytes included, and the bytes a row's references can read before any row
// writes them (the last few of its own row and of the rows below) are
// cleared before the row, so they read as 0 whatever the block held: the
// pixels are those of a zero-filled block. Rows not decoded (after a cancel
// or a read error) are left as they are, but for those few bytes.
//
// Data that ends early decodes as if zero bits followed. `firstGuessedRow`,
// when not null, receives the first row (0 = top) that took a bit from past
// the end, or kNoGuessedRow; the rows from there on are guessed.
ResultCode DecodePixels(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                        ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow = nullptr);

// DecodePixels with a 32-bit bit buffer, as 32-bit processors decode, on any
// processor: so that tests of 64-bit builds hold both buffers to one result.
//
// On 32-bit x86 builds both have two builds, one for processors with SSE2
// and one without, and take the one `fast.sse2` names (BuildFastTables
// sets it by the processor; tests may clear it). Elsewhere there is one.
ResultCode DecodePixelsNarrow(const FastTables& fast, const CodedInput& input, const PixelBlock& block,
                              ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow = nullptr);

// Decodes the coded data of a `width` x `height` picture (the `size` bytes at
// `data`, after the header) as DecodePixels does, without making the
// pixels: for the first guessed row alone. Results and callback calls as
// DecodePixels'.
ResultCode ScanCodedRows(const FastTables& fast, const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                         ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow);

// Decodes a whole I24B file held in memory (`size` bytes at `data`, header
// included) into `rgb`: top-down rows of RowStride(width) bytes, red, green,
// blue, each row padded with zero bytes (the layout of a 24-bit RGB
// GdkPixbuf). Needs no plug-in and no platform call. `*width` and `*height`
// receive the picture's size first; `rgbSize` must be at least height x
// stride. `rgb` need not be cleared (a reused buffer gives the same pixels):
// the first height x stride bytes are all written. Returns 0; 2 when the header is not I24B's (or is cut short); 4
// when `rgbSize` is too small (nothing is written then). Data that ends early
// decodes as DecodePixels has it; `firstGuessedRow` as there.
ResultCode DecodeImage(const FastTables& fast, const uint8_t* data, size_t size, uint8_t* rgb, size_t rgbSize,
                       uint32_t* width, uint32_t* height, uint32_t* firstGuessedRow = nullptr);

// Decodes the coded data of a `width` x `height` picture from `input` (the
// data after the header, in memory or read in chunks from a stream) into
// `rgb`, height x RowStride(width) bytes laid out as DecodeImage's. Results
// and `firstGuessedRow` as DecodePixels'.
ResultCode DecodeRgbRows(const FastTables& fast, const CodedInput& input, uint32_t width, uint32_t height,
                         uint8_t* rgb, uint32_t* firstGuessedRow = nullptr);

// Decoding through a window of rows, for callers that need the picture's
// rows one by one rather than its whole block: `take` receives each row
// once no later row can change it, top row first, `width` pixels blue,
// green, red at `bgr`, followed by at least RowStride(width) - 3 x width
// readable bytes of the window (the row's pad and more).
typedef void (*TakeRow)(void* context, uint32_t row, const uint8_t* bgr);

// The fewest rows of RowStride(width) bytes the window of a picture
// `width` pixels wide must hold: the rows a row's pixels and runs may
// read or write, above and below it: 5 from 130 pixels wide on, more for
// narrower pictures (104 for one pixel wide).
uint32_t FewestWindowRows(uint32_t width);

// Decodes the coded data of a `width` x `height` picture from `input` as
// DecodePixels does, keeping only `windowRows` rows (at least
// FewestWindowRows(width); more rows move less) in `window`, which holds
// windowRows x RowStride(width) bytes and need not be cleared. Every row
// goes to `take`, in order, when the result is 0; after a cancel or a read
// error the rows not yet given are not given. Results, callback calls and
// `firstGuessedRow` as DecodePixels'; 4 when the window is too small
// (nothing is decoded then).
ResultCode DecodeThroughWindow(const FastTables& fast, const CodedInput& input, uint32_t width, uint32_t height,
                               uint8_t* window, uint32_t windowRows, TakeRow take, void* context,
                               ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow = nullptr);

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
static_assert(kLongestRunPixels == kMaxRun, "the longest run");
static_assert(kLongestRunBits * kMaxSide < UINT32_MAX, "one row's fewest bits fit 32 bits");

}  // namespace i24b

#endif
