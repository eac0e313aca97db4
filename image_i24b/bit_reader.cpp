#include "image_i24b/bit_reader.h"

namespace {

const uint8_t* OpenWindow(InputWindow* window, SourceStream* stream, const uint8_t* data, size_t size) {
  window->stream = stream;
  window->memory = data;
  window->memoryLeft = size;
  window->validEnd = window->bytes;
  window->limit = window->bytes;
  window->base = 0;
  window->delivered = 0;
  window->ended = false;
  window->failed = false;
  return RefillInputWindow(window, window->bytes);
}

// Up to `space` bytes from the window's source: false on a read error.
bool ReadMore(InputWindow* window, uint8_t* dst, LONG space, LONG* got) {
  if (window->stream != nullptr) return ReadSome(window->stream, dst, space, got) == kResultOk;
  size_t n = window->memoryLeft < static_cast<size_t>(space) ? window->memoryLeft : static_cast<size_t>(space);
  if (n != 0) memcpy(dst, window->memory, n);
  window->memory += n;
  window->memoryLeft -= n;
  *got = static_cast<LONG>(n);
  return true;
}

}  // namespace

const uint8_t* OpenInputWindow(InputWindow* window, SourceStream* stream) {
  return OpenWindow(window, stream, nullptr, 0);
}

const uint8_t* OpenMemoryWindow(InputWindow* window, const uint8_t* data, size_t size) {
  return OpenWindow(window, nullptr, data, size);
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
    LONG got = 0;
    LONG space = static_cast<LONG>(bytes + kWindowChunk - window->validEnd);
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
