// Round-trip fuzz target: the input becomes a small picture, our encoder
// writes it as I24B and glimmet's GetPicture must give back exactly those
// pixels. Where the plain glimmet target mostly feeds the decoder noise, this
// one drives it through the streams a real encoder writes: long runs from
// every neighbour, overlapping copies, explicit deltas, moves in the
// offset list. A mismatch is a bug in the decoder or in the encoder.
//
// Input: byte 0 picks the width (1 to 48), byte 1 how pixels are made (bit
// 0: from a four-colour palette, so that runs are common; otherwise raw
// RGB); the remaining bytes are the pixels, row by row, up to 48 rows.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image_i24b/i24b_encoder.h"

namespace {

constexpr uint32_t kMaxWidth = 48;
constexpr uint32_t kMaxHeight = 48;

GetPictureFn gGetPicture = nullptr;

// Top-down RGB pixels made from the input.
std::vector<uint8_t> MakePixels(const uint8_t* data, size_t size, uint32_t width, bool palette, uint32_t* height) {
  const size_t perPixel = palette ? 1 : 3;
  size_t rows = size / perPixel / width;
  if (rows == 0) rows = 1;
  if (rows > kMaxHeight) rows = kMaxHeight;
  *height = static_cast<uint32_t>(rows);
  std::vector<uint8_t> rgb(size_t{width} * rows * 3, 0);
  // The palette is the first 12 bytes, the pixels index it two bits at a time.
  uint8_t colours[4][3] = {{0, 0, 0}, {255, 255, 255}, {200, 10, 40}, {7, 130, 7}};
  size_t at = 0;
  if (palette && size >= 12) {
    memcpy(colours, data, 12);
    at = 12;
  }
  for (size_t i = 0; i < size_t{width} * rows; ++i) {
    uint8_t* p = &rgb[i * 3];
    if (palette) {
      const size_t byte = at + i / 4;
      const int index = byte < size ? (data[byte] >> (2 * (i % 4))) & 3 : 0;
      memcpy(p, colours[index], 3);
    } else if (i * 3 + 2 < size) {
      memcpy(p, data + i * 3, 3);
    }
  }
  return rgb;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  void* module = LoadPluginOrDie("glimmet");
  gGetPicture = reinterpret_cast<GetPictureFn>(ExportOrDie(module, "GetPicture"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  if (inputSize < 2) return 0;
  const uint32_t width = 1 + input[0] % kMaxWidth;
  const bool palette = (input[1] & 1) != 0;
  uint32_t height = 0;
  const std::vector<uint8_t> rgb = MakePixels(input + 2, inputSize - 2, width, palette, &height);

  std::vector<uint8_t> file;
  std::string error;
  if (!i24b::EncodeI24B(rgb.data(), width, height, &file, nullptr, nullptr, nullptr, &error)) {
    FuzzFail("the encoder refused a small picture", error.c_str());
  }

  const LiveCounts before = CountLive();
  HLOCAL info = nullptr;
  HLOCAL pixels = nullptr;
  const int rc = gGetPicture(reinterpret_cast<LPCSTR>(file.data()), static_cast<SpiLong>(file.size()),
                             kInputMemory, &info, &pixels, nullptr, 0);
  FUZZ_CHECK(rc == kResultOk, "GetPicture decodes what the encoder wrote");
  const size_t stride = (size_t{width} * 3 + 3) & ~size_t{3};
  FUZZ_CHECK(LocalSize(pixels) == stride * height, "the pixel block holds height x stride bytes");
  const uint8_t* block = static_cast<const uint8_t*>(LocalLock(pixels));
  FUZZ_CHECK(block != nullptr, "the pixel block can be locked");
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = block + size_t{height - 1 - y} * stride;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* want = &rgb[(size_t{y} * width + x) * 3];
      const uint8_t* got = row + size_t{x} * 3;
      if (got[0] != want[2] || got[1] != want[1] || got[2] != want[0]) {
        char detail[160];
        snprintf(detail, sizeof detail, "%ux%u picture, pixel (%u, %u): decoded RGB %02x%02x%02x, encoded %02x%02x%02x",
                 width, height, x, y, got[2], got[1], got[0], want[0], want[1], want[2]);
        FuzzFail("the decoded picture differs from the encoded one", detail);
      }
    }
  }
  LocalUnlock(pixels);
  FUZZ_CHECK(LocalFree(info) == nullptr && LocalFree(pixels) == nullptr, "the host can free both blocks");
  CheckNoLeak(before, "GetPicture leaked");
  return 0;
}
