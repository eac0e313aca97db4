// The loader's one call into the I24B decoder core: a whole file in memory
// decoded into a GdkPixbuf's pixel rows.
#ifndef KALDORIN_GDK_PIXBUF_I24B_PIXBUF_DECODE_H
#define KALDORIN_GDK_PIXBUF_I24B_PIXBUF_DECODE_H

#include <stddef.h>
#include <stdint.h>

#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"

// Decodes the I24B file of `size` bytes at `data` (header included, already
// checked into `header`) into `pixels`: top-down rows of RowStride(width)
// bytes, red, green, blue, as a 24-bit RGB GdkPixbuf holds them
// (`pixelBytes` in all, every one written). Returns 0; 4 when the decoder's
// tables cannot be built; 8 when the rows do not fit. `*firstGuessedRow`
// as i24b::DecodeImage gives it.
ResultCode DecodeIntoPixbuf(const uint8_t* data, size_t size, const i24b::Header& header, uint8_t* pixels,
                            size_t pixelBytes, uint32_t* firstGuessedRow);

#endif
