#include "tools/kaldorin_image_io.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "common/little_endian.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_png.h"

namespace kaldorin {

namespace {

constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kFileHeaderSize = 14;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}


// Which byte of a 32-bit pixel a colour mask selects, or -1 when the mask is
// not one whole byte.
int MaskByte(uint32_t mask) {
  for (int i = 0; i < 4; ++i) {
    if (mask == 0xFFu << (8 * i)) return i;
  }
  return -1;
}

// The byte of each pixel that holds red, green, blue and alpha (-1: no
// alpha). 24-bit pixels and plain 32-bit ones are blue, green, red (and
// padding); 32-bit bit fields name the bytes, and BITMAPV3 and later headers
// carry an alpha mask.
bool ChannelBytes(const uint8_t* info, size_t infoSize, uint32_t headerSize, uint16_t bitCount, uint32_t compression,
                  int (&channel)[4], std::string* error) {
  constexpr uint32_t kBitFields = 3;
  constexpr uint32_t kMasksInHeader = 52;
  constexpr uint32_t kAlphaMaskInHeader = 56;
  channel[0] = 2;
  channel[1] = 1;
  channel[2] = 0;
  channel[3] = -1;
  if (compression != 0 && !(compression == kBitFields && bitCount == 32)) {
    *error = "compressed or multi-plane bitmaps are not supported";
    return false;
  }
  if (bitCount != 32) return true;
  if (compression == kBitFields) {
    // The masks end the header, or follow a 40-byte one.
    size_t at = headerSize >= kMasksInHeader ? kInfoHeaderSize : headerSize;
    if (at + 12 > infoSize) {
      *error = "bitmap colour masks do not fit the header block";
      return false;
    }
    for (int c = 0; c < 3; ++c) channel[c] = MaskByte(Le32(info + at + 4 * c));
  }
  uint32_t alphaMask = headerSize >= kAlphaMaskInHeader ? Le32(info + 52) : 0;
  if (alphaMask != 0) channel[3] = MaskByte(alphaMask);
  bool distinct = true;
  for (int c = 0; c < 4; ++c) {
    for (int d = c + 1; d < 4; ++d) distinct = distinct && channel[c] != channel[d];
  }
  if (channel[0] < 0 || channel[1] < 0 || channel[2] < 0 || (alphaMask != 0 && channel[3] < 0) || !distinct) {
    *error = "bitmap colour masks other than one distinct byte each are not supported";
    return false;
  }
  return true;
}

// The bitmap described by a BITMAPINFOHEADER (or a later, longer header) at
// `info`, with its pixel rows at `bits`.
bool DecodeDib(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize, RgbImage* image,
               std::string* error) {
  if (infoSize < kInfoHeaderSize) {
    *error = "bitmap header is shorter than 40 bytes";
    return false;
  }
  uint32_t headerSize = Le32(info);
  int32_t width = static_cast<int32_t>(Le32(info + 4));
  int32_t height = static_cast<int32_t>(Le32(info + 8));
  uint16_t planes = Le16(info + 12);
  uint16_t bitCount = Le16(info + 14);
  uint32_t compression = Le32(info + 16);
  uint32_t colorsUsed = Le32(info + 32);
  if (headerSize < kInfoHeaderSize || headerSize > infoSize) {
    *error = "bitmap header size " + std::to_string(headerSize) + " does not fit its block";
    return false;
  }
  if (planes != 1) {
    *error = "compressed or multi-plane bitmaps are not supported";
    return false;
  }
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32) {
    *error = std::to_string(bitCount) + " bits per pixel is not supported";
    return false;
  }
  int channel[4];
  if (!ChannelBytes(info, infoSize, headerSize, bitCount, compression, channel, error)) return false;
  bool topDown = height < 0;
  uint64_t w = width < 0 ? 0 : static_cast<uint64_t>(width);
  uint64_t h = topDown ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
  if (width <= 0 || h == 0 || w > kMaxPictureSide || h > kMaxPictureSide) {
    *error = "bitmap size " + std::to_string(width) + " x " + std::to_string(height) + " is not supported";
    return false;
  }
  uint64_t stride = (w * bitCount + 31) / 32 * 4;
  if (stride * h > bitsSize) {
    *error = "pixel data holds " + std::to_string(bitsSize) + " bytes, the header needs " + std::to_string(stride * h);
    return false;
  }
  const uint8_t* palette = info + headerSize;
  uint64_t paletteColors = 0;
  if (bitCount <= 8) {
    uint64_t maxColors = 1u << bitCount;
    paletteColors = colorsUsed == 0 ? maxColors : std::min<uint64_t>(colorsUsed, maxColors);
    if (paletteColors * 4 > infoSize - headerSize) {
      *error = "palette does not fit the bitmap header block";
      return false;
    }
  }
  image->width = static_cast<uint32_t>(w);
  image->height = static_cast<uint32_t>(h);
  image->rgb.assign(static_cast<size_t>(w * h * 3), 0);
  image->alpha.assign(channel[3] >= 0 ? static_cast<size_t>(w * h) : 0, 0);
  for (uint64_t y = 0; y < h; ++y) {
    const uint8_t* row = bits + stride * (topDown ? y : h - 1 - y);
    uint8_t* out = image->rgb.data() + y * w * 3;
    for (uint64_t x = 0; x < w; ++x, out += 3) {
      if (bitCount >= 24) {
        const uint8_t* px = row + x * (bitCount / 8);
        for (int c = 0; c < 3; ++c) out[c] = px[channel[c]];
        if (channel[3] >= 0) image->alpha[y * w + x] = px[channel[3]];
        continue;
      }
      uint64_t bitPos = x * bitCount;
      unsigned byte = row[bitPos / 8];
      unsigned index = (byte >> (8 - bitCount - bitPos % 8)) & ((1u << bitCount) - 1);
      if (index < paletteColors) {  // indices past the palette stay black
        out[0] = palette[index * 4 + 2];
        out[1] = palette[index * 4 + 1];
        out[2] = palette[index * 4];
      }
    }
  }
  return true;
}

bool ReadBmp(const std::vector<uint8_t>& file, RgbImage* image, std::string* error) {
  if (file.size() < kFileHeaderSize + kInfoHeaderSize) {
    *error = "BMP file is truncated";
    return false;
  }
  uint32_t pixelOffset = Le32(file.data() + 10);
  if (pixelOffset < kFileHeaderSize + kInfoHeaderSize || pixelOffset > file.size()) {
    *error = "BMP pixel offset lies outside the file";
    return false;
  }
  const uint8_t* info = file.data() + kFileHeaderSize;
  return DecodeDib(info, pixelOffset - kFileHeaderSize, file.data() + pixelOffset, file.size() - pixelOffset, image,
                   error);
}

bool WriteFailed(std::string* error) {
  *error = errno != 0 ? strerror(errno) : "write error";
  return false;
}

bool WriteBmp(FILE* f, const RgbImage& image, WriteProgress progress, void* user, std::string* error) {
  uint64_t stride = (static_cast<uint64_t>(image.width) * 3 + 3) / 4 * 4;
  uint64_t pixelBytes = stride * image.height;
  uint64_t fileSize = kFileHeaderSize + kInfoHeaderSize + pixelBytes;
  if (fileSize > 0x7FFFFFFFu || image.width > 0x7FFFFFFFu || image.height > 0x7FFFFFFFu) {
    *error = "picture is too large for a BMP file";
    return false;
  }
  uint8_t headers[kFileHeaderSize + kInfoHeaderSize] = {};
  uint8_t* p = headers;
  p[0] = 'B';
  p[1] = 'M';
  PutLe32(p + 2, static_cast<uint32_t>(fileSize));
  PutLe32(p + 10, static_cast<uint32_t>(kFileHeaderSize + kInfoHeaderSize));
  uint8_t* h = p + kFileHeaderSize;
  PutLe32(h, static_cast<uint32_t>(kInfoHeaderSize));
  PutLe32(h + 4, image.width);
  PutLe32(h + 8, image.height);  // positive: rows stored bottom-up, as viewers expect
  PutLe16(h + 12, 1);
  PutLe16(h + 14, 24);
  PutLe32(h + 20, static_cast<uint32_t>(pixelBytes));
  errno = 0;
  if (fwrite(headers, 1, sizeof headers, f) != sizeof headers) return WriteFailed(error);
  std::vector<uint8_t> row(static_cast<size_t>(stride), 0);
  for (uint32_t done = 0; done < image.height; ++done) {
    if (WriteStopped(progress, user, done, image.height, error)) return false;
    const uint8_t* in = image.rgb.data() + static_cast<size_t>(image.height - 1 - done) * image.width * 3;
    for (uint32_t x = 0; x < image.width; ++x) {
      row[x * 3] = in[x * 3 + 2];
      row[x * 3 + 1] = in[x * 3 + 1];
      row[x * 3 + 2] = in[x * 3];
    }
    if (fwrite(row.data(), 1, row.size(), f) != row.size()) return WriteFailed(error);
  }
  if (progress != nullptr) progress(image.height, image.height, user);
  return true;
}

}  // namespace

bool WriteStopped(WriteProgress progress, void* user, uint64_t done, uint64_t total, std::string* error) {
  if (progress == nullptr || done % kRowsPerReport != 0 || !progress(done, total, user)) return false;
  *error = "cancelled";
  return true;
}

uint8_t Sample16To8(unsigned value) { return static_cast<uint8_t>((value * 255 + 32767) / 65535); }

ImageFormat FormatFromName(const std::string& path) {
  std::string lower = Lower(path);
  if (EndsWith(lower, ".png")) return kFormatPng;
  if (EndsWith(lower, ".bmp")) return kFormatBmp;
  return kFormatUnknown;
}

const char* DefaultImageExtension() { return ".png"; }

bool ReadImageFile(const std::string& path, RgbImage* image, std::string* error) {
  std::vector<uint8_t> file;
  if (!ReadInput(path, 0, &file, error)) return false;
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (file.size() >= 8 && memcmp(file.data(), kPngSignature, 8) == 0) {
    return ReadPng(file, image, error);
  }
  if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M') return ReadBmp(file, image, error);
  *error = "not a PNG or BMP file";
  return false;
}

uint64_t CountNotOpaque(const RgbImage& image) {
  uint64_t count = 0;
  for (uint8_t a : image.alpha) count += a != 255;
  return count;
}

void CompositeOver(RgbImage* image, const uint8_t (&background)[3]) {
  for (size_t i = 0; i < image->alpha.size(); ++i) {
    unsigned a = image->alpha[i];
    uint8_t* px = &image->rgb[i * 3];
    for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>((a * px[c] + (255 - a) * background[c] + 127) / 255);
  }
  image->alpha.clear();
}

bool WriteImageStream(FILE* f, ImageFormat format, const RgbImage& image, WriteProgress progress, void* user,
                      std::string* error) {
  if (image.width == 0 || image.height == 0) {
    *error = "picture is empty";
    return false;
  }
  if (format == kFormatBmp) return WriteBmp(f, image, progress, user, error);
  if (format == kFormatPng) return WritePng(f, image, progress, user, error);
  *error = "unknown picture format";
  return false;
}

bool WriteImageFile(const std::string& path, ImageFormat format, const RgbImage& image, std::string* error) {
  FILE* f = OpenFile(path, "wb");
  if (f == nullptr) {
    *error = strerror(errno);
    return false;
  }
  bool ok = WriteImageStream(f, format, image, nullptr, nullptr, error);
  errno = 0;
  if (fclose(f) != 0 && ok) {
    ok = false;
    *error = errno != 0 ? strerror(errno) : "write error";
  }
  return ok;
}

bool DibToImage(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize, RgbImage* image,
                std::string* error) {
  return DecodeDib(info, infoSize, bits, bitsSize, image, error);
}

}  // namespace kaldorin
