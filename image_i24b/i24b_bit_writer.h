// Appends codes to an I24B stream: bits in stream order, the first stream
// bit of each byte being its most significant bit.
#ifndef KALDORIN_IMAGE_I24B_BIT_WRITER_H
#define KALDORIN_IMAGE_I24B_BIT_WRITER_H

#include <stdint.h>

#include <vector>

#include "image_i24b/i24b_code_book.h"

namespace i24b {

struct BitWriter {
  std::vector<uint8_t>* out = nullptr;
  uint64_t acc = 0;    // pending bits, the oldest highest
  int count = 0;       // number of pending bits (< 32 between calls)
  uint64_t total = 0;  // bits written so far
};

// Appends the `length` (0..32) low bits of `bits`, most significant first.
inline void PutBits(BitWriter* w, uint32_t bits, int length) {
  w->acc = (w->acc << length) | (bits & ((uint64_t{1} << length) - 1));
  w->count += length;
  w->total += static_cast<uint64_t>(length);
  if (w->count >= 32) {
    w->count -= 32;
    uint32_t word = static_cast<uint32_t>(w->acc >> w->count);
    w->out->push_back(static_cast<uint8_t>(word >> 24));
    w->out->push_back(static_cast<uint8_t>(word >> 16));
    w->out->push_back(static_cast<uint8_t>(word >> 8));
    w->out->push_back(static_cast<uint8_t>(word));
  }
}

inline void PutCode(BitWriter* w, const CodeWord& c) { PutBits(w, c.bits, c.length); }

// Writes the pending bits, the last byte padded with zero bits.
inline void FlushBits(BitWriter* w) {
  while (w->count >= 8) {
    w->count -= 8;
    w->out->push_back(static_cast<uint8_t>(w->acc >> w->count));
  }
  if (w->count > 0) {
    w->out->push_back(static_cast<uint8_t>(w->acc << (8 - w->count)));
    w->count = 0;
  }
  w->acc = 0;
}

}  // namespace i24b

#endif
