// The 24-byte I24B header: the check every image export applies, and the
// picture information it yields.
#ifndef KALDORIN_IMAGE_I24B_HEADER_H
#define KALDORIN_IMAGE_I24B_HEADER_H

#include <stdint.h>

#include "common/plugin_api.h"
#include "image_i24b/i24b_format.h"

namespace i24b {

struct Header {
  uint16_t width;
  uint16_t height;
  uint16_t bitsPerPixel;
};

// Checks 24 bytes of header: 0 with `*header` filled; 2 when the magic
// "I24B", version 0x00010000, 24 bits per pixel or either reserved word
// (which must be 0) differ. Width and height may be anything, 0 included.
ResultCode ParseHeader(const unsigned char (&raw)[kHeaderSize], Header* header);

// Fills the host's record from a checked header.
void FillPictureInfo(const Header& header, PictureInfo* info);

}  // namespace i24b

#endif
