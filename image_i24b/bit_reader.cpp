#include "image_i24b/bit_reader.h"

namespace i24b {
namespace {

// Up to `space` bytes from the window's input: false on a read error.
bool ReadMore(InputWindow* window, uint8_t* dst, size_t space, size_t* got) {
  CodedInput& input = window->input;
  if (input.read != nullptr) return input.read(input.source, dst, space, got);
  const size_t n = input.size < space ? input.size : space;
  if (n != 0) memcpy(dst, input.data, n);
  input.data += n;
  input.size -= n;
  *got = n;
  return true;
}

}  // namespace

const uint8_t* OpenInputWindow(InputWindow* window, const CodedInput& input) {
  window->input = input;
  window->validEnd = window->bytes;
  window->limit = window->bytes;
  window->base = 0;
  window->delivered = 0;
  window->ended = false;
  window->failed = false;
  return RefillInputWindow(window, window->bytes);
}

const uint8_t* RefillInputWindow(InputWindow* window, const uint8_t* in) {
  uint8_t* const bytes = window->bytes;
  size_t keep = static_cast<size_t>(window->validEnd - in);
  memmove(bytes, in, keep);
  window->base += static_cast<uint64_t>(in - bytes);
  window->validEnd = bytes + keep;
  // Fill up to a whole chunk; a short read is not the end, only a read that
  // delivers nothing is.
  while (!window->ended && window->validEnd < bytes + kWindowChunk) {
    size_t got = 0;
    const size_t space = static_cast<size_t>(bytes + kWindowChunk - window->validEnd);
    if (!ReadMore(window, window->validEnd, space, &got)) {
      window->failed = true;
      window->ended = true;
    } else if (got == 0) {
      window->ended = true;
    } else {
      window->validEnd += got;
      window->delivered += static_cast<uint64_t>(got);
    }
  }
  if (window->ended) {
    // Zero bits follow the data for ever: each refill brings more zeros.
    memset(window->validEnd, 0, static_cast<size_t>(bytes + kWindowBytes - window->validEnd));
    window->validEnd = bytes + kWindowBytes;
  }
  window->limit = window->validEnd - 8;
  return bytes;
}

}  // namespace i24b
