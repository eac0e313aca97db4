// The 24-byte I24B header: the check every image export applies, and the
// picture information it yields.
#ifndef KALDORIN_IMAGE_I24B_HEADER_H
#define KALDORIN_IMAGE_I24B_HEADER_H

#include <stdint.h>

#include "common/plugin_api.h"
#include "common/source_stream.h"

constexpr LONG kI24BHeaderSize = 24;

struct I24BHeader {
  uint16_t width;
  uint16_t height;
  uint16_t bitsPerPixel;
};

// Reads 24 bytes at the stream's position and checks them. 0 with `*header`
// filled; 6 for a short read; 2 when the magic "I24B", version 0x00010000,
// 24 bits per pixel or either reserved word (which must be 0) differ. Width
// and height may be anything, 0 included.
ResultCode CheckI24BHeader(SourceStream* stream, I24BHeader* header);
// The same check of 24 bytes already read: 0 or 2.
ResultCode ParseI24BHeader(const unsigned char (&raw)[kI24BHeaderSize], I24BHeader* header);

// Fills the host's record from a checked header.
void FillPictureInfo(const I24BHeader& header, PictureInfo* info);

#endif
