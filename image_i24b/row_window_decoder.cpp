// Decoding through a window of rows. The row decoder addresses one block of
// bottom-up rows; here the block's base moves so that the few rows it
// touches around the current one lie in a small window, which stays in
// the processor's cache: the picture is never held whole. A row is handed
// on once the rows decoded after it can no longer reach it.
#include <string.h>

#include "image_i24b/decode_rows.h"
#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"

namespace i24b {

namespace {

// The farthest a reference lies ahead of its pixel, in bytes.
constexpr int64_t FarthestReference(int64_t stride) {
  int64_t farthest = 0;
  for (const ReferenceOffset& o : kReferenceOffsets) {
    if (ReferenceDistance(o, stride) > farthest) farthest = ReferenceDistance(o, stride);
  }
  return farthest;
}
static_assert(FarthestReference(4) == 11 && FarthestReference(400) == 803, "two rows up and one pixel on");

// How far a row's decoding reaches past its own start, in bytes: from its
// last pixel, the farthest reference and a longest run copied from there
// (a word read of a pixel's reference reaches less), and a longest run
// written past the row's end (less again), with a few bytes to spare.
constexpr uint64_t ReachAbove(uint32_t stride) {
  return stride + static_cast<uint64_t>(FarthestReference(stride)) + 3 * uint64_t{kMaxRun} + 8;
}

// Rows of no pixels (a picture 0 pixels wide) reach nothing.
uint32_t RowsAbove(uint32_t stride) {
  return stride == 0 ? 1 : static_cast<uint32_t>((ReachAbove(stride) + stride - 1) / stride);
}
uint32_t RowsBelow(uint32_t stride) {
  return stride == 0 ? 1 : static_cast<uint32_t>((kUnwrittenReach + stride - 1) / stride);
}

// Block rows are counted from the bottom (row 0 is the picture's last);
// the window holds block rows first .. first + rows - 1.
struct SlidingRows {
  uint8_t* window;
  uint32_t rows;
  uint32_t first;
  uint32_t stride;
  uint32_t height;
  uint32_t above;
  uint32_t below;
  TakeRow take;
  void* context;

  uint8_t* RowAt(uint32_t blockRow) const { return window + size_t{blockRow - first} * stride; }

  // Points the block's base where block row `first` is the window's first.
  // The base itself may lie before the window; every position the row
  // decoder adds to it falls inside.
  void Aim(PixelBlock& block) const {
    block.base = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(window) - uintptr_t{first} * stride);
  }

  // Before picture row `r` (block row b): the row `above` rows over it is
  // final; if the rows below b have left the window, the rows b reaches
  // above move to the window's top. Rows of no bytes (a picture 0 pixels
  // wide, whose window may have no memory) never move.
  I24B_ALWAYS_INLINE void BeforeRow(PixelBlock& block, uint32_t r) {
    const uint32_t b = height - 1 - r;
    if (r >= above) take(context, r - above, RowAt(b + above));
    const uint32_t lowest = b >= below ? b - below : 0;
    if (lowest >= first || stride == 0) return;
    const uint32_t kept = height - b < above ? height - b : above;
    const uint32_t newFirst = b + kept > rows ? b + kept - rows : 0;
    memmove(window + size_t{b - newFirst} * stride, RowAt(b), size_t{kept} * stride);
    first = newFirst;
    Aim(block);
  }

  // The rows still in the window, top first.
  void AfterRows(const PixelBlock&) {
    const uint32_t last = height < above ? height : above;
    for (uint32_t r = height - last; r < height; ++r) take(context, r, RowAt(height - 1 - r));
  }
};

}  // namespace

uint32_t FewestWindowRows(uint32_t width) {
  const uint32_t stride = RowStride(width);
  return RowsAbove(stride) + RowsBelow(stride);
}

ResultCode DecodeThroughWindow(const FastTables& fast, const CodedInput& input, uint32_t width, uint32_t height,
                               uint8_t* window, uint32_t windowRows, TakeRow take, void* context,
                               ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
  const uint32_t stride = RowStride(width);
  if (windowRows < FewestWindowRows(width)) return kResultOutOfMemory;
  SlidingRows rows = {window,       windowRows, height > windowRows ? height - windowRows : 0,
                      stride,       height,     RowsAbove(stride),
                      RowsBelow(stride), take,  context};
  PixelBlock block = {nullptr, size_t{height} * stride, stride, width, height};
  rows.Aim(block);
#if defined(__wasm__)
  // WebAssembly: the tables at a fixed address, so that every lookup
  // addresses them by a constant, which frees a register in the hot loop.
  // Copied once per set of tables (the module runs on one thread; tables
  // built again at the same address are the same tables).
  static FastTables fixed;
  static const FastTables* copied = nullptr;
  if (copied != &fast) {
    memcpy(&fixed, &fast, sizeof fixed);
    copied = &fast;
  }
  return DecodeRows<true, NativeBitWord>(fixed, input, block, callback, lData, firstGuessedRow, rows);
#else
  return DecodeRows<true, NativeBitWord>(fast, input, block, callback, lData, firstGuessedRow, rows);
#endif
}

}  // namespace i24b
