// PNG files through the system's own codec: libpng natively
// (kaldorin_png_libpng.cpp), the Windows Imaging Component on Windows
// (kaldorin_png_wic.cpp). Both follow the contract of ReadImageFile and
// WriteImageStream in kaldorin_image_io.h.
#ifndef KALDORIN_TOOLS_KALDORIN_PNG_H
#define KALDORIN_TOOLS_KALDORIN_PNG_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/kaldorin_image_io.h"

namespace kaldorin {

// Largest side accepted for a picture read from anywhere: what 16-bit
// picture formats can hold, and small enough that sizes never wrap.
constexpr uint32_t kMaxPictureSide = 65535;
// Rows between two progress reports while a picture is written.
constexpr uint32_t kRowsPerReport = 16;

// Reads a whole PNG file held in memory: RGB, and alpha when the file has
// an alpha channel or a tRNS chunk. `error` is the cause alone.
bool ReadPng(const std::vector<uint8_t>& file, RgbImage* image, std::string* error);
// Writes `image` as an 8-bit RGB PNG to `f`, row by row with progress.
bool WritePng(FILE* f, const RgbImage& image, WriteProgress progress, void* user, std::string* error);

// Whether the write stops before row `done`: every kRowsPerReport rows the
// progress callback is asked, and a true answer sets `error` to "cancelled".
bool WriteStopped(WriteProgress progress, void* user, uint64_t done, uint64_t total, std::string* error);
// A 16-bit sample as 8 bits: value * 255 / 65535 rounded to nearest
// (65535 = 255 * 257, so no value falls halfway).
uint8_t Sample16To8(unsigned value);

}  // namespace kaldorin

#endif
