// Pictures in memory and on disk: PNG and BMP files, and the
// device-independent bitmap that picture plug-ins hand over.
#ifndef KALDORIN_TOOLS_KALDORIN_IMAGE_IO_H
#define KALDORIN_TOOLS_KALDORIN_IMAGE_IO_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace kaldorin {

// A 24-bit picture, top row first, each pixel red, green, blue. `alpha`
// holds each pixel's opacity (255: opaque) when the file has an alpha
// channel or a transparent colour, and is empty otherwise; the colours are
// never premultiplied.
struct RgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;
  std::vector<uint8_t> alpha;
};

enum ImageFormat { kFormatUnknown = 0, kFormatPng, kFormatBmp };

// The format named by a file name's extension (.png, .bmp; any case).
ImageFormat FormatFromName(const std::string& path);
// The extension, with its full stop, of the default output format.
const char* DefaultImageExtension();

// Reads a PNG or BMP file (recognised by its content; "-" is standard input). BMP: 1, 4, 8, 24 and
// 32 bits per pixel, uncompressed (32-bit also with byte-aligned bit fields),
// either row order; a 32-bit BMP has alpha only when its header gives an
// alpha mask (BITMAPV3 and later headers), otherwise its fourth byte is
// padding. PNG: any colour type and bit depth, expanded to RGB without gamma
// changes: grey below 8 bits is scaled exactly (2-bit * 85, 4-bit * 17),
// 16-bit samples become value * 255 / 65535 rounded, and an alpha channel or
// tRNS colour fills `alpha`.
bool ReadImageFile(const std::string& path, RgbImage* image, std::string* error);
// How many pixels are not fully opaque.
uint64_t CountNotOpaque(const RgbImage& image);
// Composites the picture over `background` (red, green, blue) and drops the
// alpha: (a * colour + (255 - a) * background + 127) / 255 per channel.
void CompositeOver(RgbImage* image, const uint8_t (&background)[3]);

// Called while a picture is written with rows done and the total; true
// stops the write, which then fails with the error "cancelled".
typedef bool (*WriteProgress)(uint64_t done, uint64_t total, void* user);

// Writes `image` as `format` to the open file `f` row by row, reporting
// progress (null: none). `error` is the system's cause of a failed write.
bool WriteImageStream(FILE* f, ImageFormat format, const RgbImage& image, WriteProgress progress, void* user,
                      std::string* error);
// Writes `image` to `path` as `format`, in place (for tests and tools that
// need no temporary name). The alpha, if any, is not written.
bool WriteImageFile(const std::string& path, ImageFormat format, const RgbImage& image, std::string* error);

// Converts a handed-over bitmap: `info` holds a BITMAPINFOHEADER (and the
// palette of a paletted picture), `bits` the pixel rows. Every size is
// checked against the two blocks before anything is read.
bool DibToImage(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize, RgbImage* image,
                std::string* error);

}  // namespace kaldorin

#endif
