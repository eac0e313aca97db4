#include "image_i24b/bit_reader.h"

namespace i24b {

const uint8_t* OpenInputWindow(InputWindow* window, const CodedInput& input) {
  OpenReadAhead(window, input.read, input.source, input.data, input.size, window->bytes, 0);
  return RefillInputWindow(window, window->bytes);
}

const uint8_t* RefillInputWindow(InputWindow* window, const uint8_t* in) {
  uint8_t* const bytes = window->bytes;
  // Fill up to a whole chunk; the read-ahead reads on after a short read.
  RefillReadAhead(window, static_cast<size_t>(in - bytes), kWindowChunk, kWindowChunk);
  if (window->ended) {
    // Zero bits follow the data for ever: each refill brings more zeros.
    memset(bytes + window->filled, 0, kWindowBytes - window->filled);
    window->filled = kWindowBytes;
  }
  window->limit = bytes + window->filled - 8;
  return bytes;
}

}  // namespace i24b
