// A run's copy inside the pixel block, and the reference bytes the decoder
// reads near the block's edges. A run copies first byte first, so that a
// source overlapping its destination repeats itself; the paths below give
// that result with word copies wherever the source words they read are
// already final. Internal linkage, as decode_rows.h.
#ifndef KALDORIN_IMAGE_I24B_RUN_COPY_H
#define KALDORIN_IMAGE_I24B_RUN_COPY_H

#include <stdint.h>
#include <string.h>

#include "image_i24b/bit_reader.h"
#include "image_i24b/picture_decoder.h"

namespace i24b {
namespace {

// A reference byte at block position `pos`: 0 outside the block.
I24B_ALWAYS_INLINE uint8_t ReferenceByte(const PixelBlock& block, intptr_t pos) {
  return static_cast<size_t>(pos) < block.size ? block.base[pos] : 0;
}

I24B_ALWAYS_INLINE void CopyBytes(uint8_t* d, const uint8_t* s, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
}

// `n` >= 8 bytes from `s` to `d` in words, where every source word is either
// untouched by the copy or already final. The last word ends with the run,
// over bytes already equal.
I24B_ALWAYS_INLINE void CopyWords(uint8_t* d, const uint8_t* s, size_t n) {
  for (size_t i = 0; i + 8 <= n; i += 8) memcpy(d + i, s + i, 8);
  memcpy(d + n - 8, s + n - 8, 8);
}

// The pixel before the run, repeated (the commonest run): stores of one
// pattern word, with no loads of the bytes being written.
I24B_ALWAYS_INLINE void RepeatPixel(uint8_t* d, size_t n) {
  uint32_t pixel;
  memcpy(&pixel, d - 3, sizeof pixel);
  pixel &= 0xFFFFFF;
  const uint64_t pattern = pixel | uint64_t{pixel} << 24 | uint64_t{pixel} << 48;  // bytes 0 1 2 0 1 2 0 1
  if (n < 8) {
    memcpy(d, &pattern, n);  // only a run of two pixels (6 bytes)
    return;
  }
  for (size_t i = 0; i + 8 <= n; i += 6) memcpy(d + i, &pattern, 8);
  // The last word ends with the run, so it starts with byte 1 of a pixel.
  const uint64_t last = pattern >> 8 | uint64_t{pixel >> 16} << 56;  // bytes 1 2 0 1 2 0 1 2
  memcpy(d + n - 8, &last, 8);
}

// The `back` (1 to 7) bytes before the run, repeated. The run repeats with
// any multiple of that period too; from a period of 8 on, word copies from
// that far back read only final bytes.
I24B_ALWAYS_INLINE void RepeatBytesBefore(uint8_t* d, size_t back, size_t n) {
  const size_t period = back * (8 / back + 1);
  if (n < period + 8) {
    CopyBytes(d, d - back, n);
    return;
  }
  CopyBytes(d, d - back, period);
  CopyWords(d + period, d, n - period);
}

// Copies a run of `n` bytes from block position `ref` to `dst`. Near the
// block's edges, bytes outside it read as 0 and writes outside it are dropped.
I24B_ALWAYS_INLINE void CopyRun(const PixelBlock& block, size_t dst, intptr_t ref, size_t n) {
  if (ref < 0 || static_cast<size_t>(ref) + n > block.size || dst + n > block.size) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t v = ReferenceByte(block, ref + static_cast<intptr_t>(i));
      if (dst + i < block.size) block.base[dst + i] = v;
    }
    return;
  }
  uint8_t* const d = block.base + dst;
  const uint8_t* const s = block.base + ref;
  const intptr_t distance = ref - static_cast<intptr_t>(dst);
  if (distance == -3) {
    RepeatPixel(d, n);
  } else if (distance <= -8 || distance >= 8) {
    // The source words lie wholly before the run (final) or after it.
    if (n >= 8) CopyWords(d, s, n);
    else CopyBytes(d, s, n);
  } else if (distance < 0) {
    RepeatBytesBefore(d, static_cast<size_t>(-distance), n);
  } else {
    // A source 0 to 7 bytes ahead: only in pictures a few pixels wide.
    CopyBytes(d, s, n);
  }
}

}  // namespace
}  // namespace i24b

#endif
