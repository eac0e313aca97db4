#include "bench/bench_inputs.h"

#include <png.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#define QOI_IMPLEMENTATION
#include <qoi.h>

#include "image_i24b/i24b_encoder.h"
#include "tools/kaldorin_image_io.h"

namespace fs = std::filesystem;

using namespace kaldorin;  // the tool's picture files and helpers under test

namespace {

bool ReadBytes(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

void PngWrite(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void PngFlush(png_structp) {}

struct PngSource {
  const uint8_t* data;
  size_t size;
  size_t pos;
};
void PngRead(png_structp png, png_bytep dst, png_size_t n) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (src->size - src->pos < n) png_error(png, "truncated");
  memcpy(dst, src->data + src->pos, n);
  src->pos += n;
}

}  // namespace

bool EncodePng(const BenchPicture& picture, std::vector<uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  out->clear();
  png_set_write_fn(png, out, PngWrite, PngFlush);
  png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < picture.height; ++y) {
    png_write_row(png, const_cast<png_bytep>(picture.rgb.data() + size_t{y} * picture.width * 3));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The classic libpng reading loop, row by row into the caller's buffer.
bool DecodePng(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* rgb) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  PngSource src{bytes.data(), bytes.size(), 0};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &src, PngRead);
  png_read_info(png, info);
  png_uint_32 w = png_get_image_width(png, info);
  png_uint_32 h = png_get_image_height(png, info);
  png_read_update_info(png, info);
  size_t rowBytes = png_get_rowbytes(png, info);
  rgb->resize(rowBytes * h);
  for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, rgb->data() + rowBytes * y, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return w > 0;
}

namespace {

constexpr uint32_t kCropWidth = 640;
constexpr uint32_t kCropHeight = 480;

// The middle width x height pixels of `p`, named for its size.
BenchPicture CropMiddle(const BenchPicture& p, uint32_t width, uint32_t height) {
  BenchPicture crop;
  crop.name = p.name + "-crop" + std::to_string(width) + "x" + std::to_string(height);
  crop.width = width;
  crop.height = height;
  const size_t left = (p.width - width) / 2;
  const size_t top = (p.height - height) / 2;
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = p.rgb.data() + ((top + y) * p.width + left) * 3;
    crop.rgb.insert(crop.rgb.end(), row, row + size_t{width} * 3);
  }
  return crop;
}

// The I24B (cached in `cacheFolder`, remade when older than `source`), PNG
// and QOI encodings of `p`.
bool PrepareEncodings(const fs::path& source, const std::string& cacheFolder, BenchPicture* p, std::string* error) {
  std::error_code ec;
  p->i24bPath = (fs::path(cacheFolder) / (p->name + ".i24")).string();
  if (!ReadBytes(p->i24bPath, &p->i24b) || fs::last_write_time(p->i24bPath, ec) < fs::last_write_time(source, ec)) {
    i24b::EncodeStats stats;
    if (!i24b::EncodeI24B(p->rgb.data(), p->width, p->height, &p->i24b, &stats, nullptr, nullptr, error)) return false;
    if (!WriteBytes(p->i24bPath, p->i24b)) {
      *error = "cannot write " + p->i24bPath;
      return false;
    }
  }
  if (!EncodePng(*p, &p->png)) {
    *error = "libpng could not encode " + p->name;
    return false;
  }
  qoi_desc desc{p->width, p->height, 3, QOI_SRGB};
  int qoiSize = 0;
  void* qoi = qoi_encode(p->rgb.data(), &desc, &qoiSize);
  if (qoi == nullptr) {
    *error = "QOI could not encode " + p->name;
    return false;
  }
  p->qoi.assign(static_cast<uint8_t*>(qoi), static_cast<uint8_t*>(qoi) + qoiSize);
  free(qoi);
  return true;
}

}  // namespace

bool LoadBenchPictures(const std::string& folder, const std::string& cacheFolder,
                       std::vector<BenchPicture>* pictures, std::string* error) {
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext == ".png" || ext == ".bmp") files.push_back(entry.path());
  }
  if (ec || files.empty()) {
    *error = "no PNG or BMP pictures in " + folder;
    return false;
  }
  std::sort(files.begin(), files.end());
  fs::create_directories(cacheFolder, ec);
  for (const fs::path& file : files) {
    BenchPicture p;
    p.name = file.stem().string();
    RgbImage image;
    if (!ReadImageFile(file.string(), &image, error)) return false;
    p.width = image.width;
    p.height = image.height;
    p.rgb = std::move(image.rgb);
    // Pictures of everyday size: the middle 640x480 of every larger one.
    BenchPicture crop;
    const bool cropped = p.width >= kCropWidth && p.height >= kCropHeight && p.Pixels() > kCropWidth * kCropHeight;
    if (cropped) crop = CropMiddle(p, kCropWidth, kCropHeight);
    if (!PrepareEncodings(file, cacheFolder, &p, error)) return false;
    pictures->push_back(std::move(p));
    if (cropped) {
      if (!PrepareEncodings(file, cacheFolder, &crop, error)) return false;
      pictures->push_back(std::move(crop));
    }
  }
  return true;
}
