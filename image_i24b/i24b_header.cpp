#include "image_i24b/i24b_header.h"

#include "common/little_endian.h"

namespace i24b {

ResultCode ParseHeader(const unsigned char (&raw)[kHeaderSize], Header* header) {
  if (Le32(raw + kMagicAt) != kMagic || Le32(raw + kVersionAt) != kVersion || Le32(raw + kReserved8At) != 0 ||
      Le32(raw + kDepthAt) != kBitsPerPixel || Le32(raw + kReserved20At) != 0) {
    return kResultUnknownFormat;
  }
  header->width = Le16(raw + kWidthAt);
  header->height = Le16(raw + kHeightAt);
  header->bitsPerPixel = kBitsPerPixel;
  return kResultOk;
}

void FillPictureInfo(const Header& header, PictureInfo* info) {
  info->left = 0;
  info->top = 0;
  info->width = header.width;
  info->height = header.height;
  info->x_density = 0;
  info->y_density = 0;
  info->colorDepth = static_cast<int16_t>(header.bitsPerPixel);
  info->hInfo = nullptr;
}

}  // namespace i24b
