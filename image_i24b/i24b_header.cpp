#include "image_i24b/i24b_header.h"

namespace {

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

constexpr uint32_t kMagic = 0x42343249;  // "I24B"
constexpr uint32_t kVersion = 0x00010000;

}  // namespace

ResultCode CheckI24BHeader(SourceStream* stream, I24BHeader* header) {
  unsigned char raw[kI24BHeaderSize];
  ResultCode result = ReadExact(stream, raw, kI24BHeaderSize);
  if (result != kResultOk) return result;
  return ParseI24BHeader(raw, header);
}

ResultCode ParseI24BHeader(const unsigned char (&raw)[kI24BHeaderSize], I24BHeader* header) {
  if (Le32(raw) != kMagic || Le32(raw + 4) != kVersion || Le32(raw + 8) != 0 || Le32(raw + 16) != 24 ||
      Le32(raw + 20) != 0) {
    return kResultUnknownFormat;
  }
  header->width = Le16(raw + 12);
  header->height = Le16(raw + 14);
  header->bitsPerPixel = 24;
  return kResultOk;
}

void FillPictureInfo(const I24BHeader& header, PictureInfo* info) {
  info->left = 0;
  info->top = 0;
  info->width = header.width;
  info->height = header.height;
  info->x_density = 0;
  info->y_density = 0;
  info->colorDepth = static_cast<int16_t>(header.bitsPerPixel);
  info->hInfo = nullptr;
}
