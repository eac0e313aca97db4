// Our I24B encoder: writes pictures that glimmet decodes to exactly the
// given pixels, choosing each token by its cost in bits.
#ifndef KALDORIN_IMAGE_I24B_ENCODER_H
#define KALDORIN_IMAGE_I24B_ENCODER_H

#include <stdint.h>

#include <string>
#include <vector>

namespace i24b {

struct EncodeStats {
  uint64_t codedBits;     // bits of the coded stream, final padding excluded
  uint64_t singlePixels;  // pixels coded one by one
  uint64_t runs;          // run tokens
  uint64_t runPixels;     // pixels coded by runs
};

// Called before each row; return false to stop (EncodeI24B then returns
// false with error "cancelled").
typedef bool (*EncodeProgress)(uint32_t row, uint32_t height, void* user);

// rgb: top-down rows, width*3 bytes each, R,G,B order. Writes a complete
// I24B file (header + coded stream) into *out. Fails with a message for
// width/height of 0 or above 65535, or height x stride not fitting 32 bits.
// `stats` and `progress` may be null. On failure *out is left empty.
bool EncodeI24B(const uint8_t* rgb, uint32_t width, uint32_t height, std::vector<uint8_t>* out,
                EncodeStats* stats, EncodeProgress progress, void* user, std::string* error);

}  // namespace i24b

#endif
