// Pictures in memory and on disk: PNG (where libpng is at hand) and BMP
// files, and the device-independent bitmap that picture plug-ins hand over.
#ifndef KALDORIN_TOOLS_KALDORIN_IMAGE_IO_H
#define KALDORIN_TOOLS_KALDORIN_IMAGE_IO_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// A 24-bit picture, top row first, each pixel red, green, blue.
struct RgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;
};

enum ImageFormat { kFormatUnknown = 0, kFormatPng, kFormatBmp };

// Whether this build reads and writes PNG.
bool HavePng();
// The format named by a file name's extension (.png, .bmp; any case).
ImageFormat FormatFromName(const std::string& path);
// The extension, with its full stop, of the default output format.
const char* DefaultImageExtension();

// Reads a PNG or BMP file (recognised by its content). BMP: 1, 4, 8, 24 and
// 32 bits per pixel, uncompressed, either row order. PNG: any colour type;
// alpha is dropped, 16-bit samples are reduced to 8.
bool ReadImageFile(const std::string& path, RgbImage* image, std::string* error);
// Called while a picture is written with rows done and the total; true
// stops the write, which then fails with the error "cancelled".
typedef bool (*WriteProgress)(uint64_t done, uint64_t total, void* user);

// Writes `image` as `format` to the open file `f` row by row, reporting
// progress (null: none). `error` is the system's cause of a failed write.
bool WriteImageStream(FILE* f, ImageFormat format, const RgbImage& image, WriteProgress progress, void* user,
                      std::string* error);
// Writes `image` to `path` as `format`, in place (for tests and tools that
// need no temporary name).
bool WriteImageFile(const std::string& path, ImageFormat format, const RgbImage& image, std::string* error);

// Converts a handed-over bitmap: `info` holds a BITMAPINFOHEADER (and the
// palette of a paletted picture), `bits` the pixel rows. Every size is
// checked against the two blocks before anything is read.
bool DibToImage(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize, RgbImage* image,
                std::string* error);

#endif
