// PNG through libpng (native builds).
#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include "tools/kaldorin_png.h"

namespace kaldorin {

namespace {

// One PNG read from memory. libpng reports errors through PngError, which
// jumps back to ReadPngGuarded with the message.
struct PngJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  jmp_buf jump;
  char message[200] = "";
  std::vector<uint8_t> rows;
  RgbImage* image = nullptr;
  std::string error;
};

void PngError(png_structp png, png_const_charp message) {
  PngJob* job = static_cast<PngJob*>(png_get_error_ptr(png));
  snprintf(job->message, sizeof job->message, "%s", message);
  longjmp(job->jump, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep out, size_t count) {
  PngJob* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (count > job->size - job->pos) png_error(png, "file is truncated");
  memcpy(out, job->data + job->pos, count);
  job->pos += count;
}

// An 8- or 16-bit (big-endian) sample to 8 bits.
uint8_t Sample8(const uint8_t* samples, size_t i, int depth) {
  if (depth == 8) return samples[i];
  return Sample16To8(static_cast<unsigned>(samples[2 * i] << 8 | samples[2 * i + 1]));
}

// Row `y` of the transformed picture (RGB or RGBA, 8 or 16 bits) into the image.
void StorePngRow(const uint8_t* row, uint32_t y, int channels, int depth, RgbImage* image) {
  size_t first = static_cast<size_t>(y) * image->width;
  for (uint32_t x = 0; x < image->width; ++x) {
    size_t at = static_cast<size_t>(x) * channels;
    uint8_t* out = &image->rgb[(first + x) * 3];
    for (int c = 0; c < 3; ++c) out[c] = Sample8(row, at + c, depth);
    if (channels == 4) image->alpha[first + x] = Sample8(row, at + 3, depth);
  }
}

// Palettes and grey become RGB and every transparent colour an alpha
// channel; 16-bit samples stay 16-bit here and are scaled by StorePngRow.
// No gamma transformation is asked for, so libpng applies none.
bool ReadPngPixels(PngJob* job) {
  png_structp png = job->png;
  png_infop info = job->info;
  png_read_info(png, info);
  png_uint_32 width = png_get_image_width(png, info);
  png_uint_32 height = png_get_image_height(png, info);
  if (width == 0 || height == 0 || width > kMaxPictureSide || height > kMaxPictureSide) {
    job->error = "PNG size " + std::to_string(width) + " x " + std::to_string(height) + " is not supported";
    return false;
  }
  png_set_expand(png);
  png_set_gray_to_rgb(png);
  int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  int depth = png_get_bit_depth(png, info);
  int channels = png_get_channels(png, info);
  size_t rowBytes = png_get_rowbytes(png, info);
  if ((depth != 8 && depth != 16) || (channels != 3 && channels != 4) ||
      rowBytes != static_cast<size_t>(width) * channels * depth / 8) {
    job->error = "PNG colour type " + std::to_string(png_get_color_type(png, info)) + " is not supported";
    return false;
  }
  RgbImage* image = job->image;
  image->width = width;
  image->height = height;
  image->rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  image->alpha.assign(channels == 4 ? static_cast<size_t>(width) * height : 0, 0);
  // An interlaced picture builds up over the passes in a whole-picture buffer.
  bool interlaced = passes > 1;
  job->rows.assign(rowBytes * (interlaced ? height : 1), 0);
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) {
      uint8_t* row = job->rows.data() + (interlaced ? y * rowBytes : 0);
      png_read_row(png, row, nullptr);
      if (!interlaced) StorePngRow(row, y, channels, depth, image);
    }
  }
  for (png_uint_32 y = 0; interlaced && y < height; ++y) {
    StorePngRow(job->rows.data() + y * rowBytes, y, channels, depth, image);
  }
  png_read_end(png, nullptr);
  return true;
}

bool ReadPngGuarded(PngJob* job) {
  if (setjmp(job->jump) != 0) return false;
  return ReadPngPixels(job);
}

// libpng reports errors through a long jump; the message is kept for the
// caller.
struct PngWriteState {
  std::string message;
  int savedErrno = 0;
};

void PngWriteError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngWriteState*>(png_get_error_ptr(png));
  state->message = message;
  state->savedErrno = errno;
  png_longjmp(png, 1);
}

void PngWriteWarning(png_structp, png_const_charp) {}

}  // namespace

bool ReadPng(const std::vector<uint8_t>& file, RgbImage* image, std::string* error) {
  PngJob job;
  job.data = file.data();
  job.size = file.size();
  job.image = image;
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, PngError, PngWarning);
  if (job.png != nullptr) job.info = png_create_info_struct(job.png);
  if (job.info == nullptr) {
    png_destroy_read_struct(&job.png, nullptr, nullptr);
    *error = "PNG: out of memory";
    return false;
  }
  png_set_read_fn(job.png, &job, PngRead);
  bool ok = ReadPngGuarded(&job);
  png_destroy_read_struct(&job.png, &job.info, nullptr);
  if (!ok) *error = job.error.empty() ? std::string("PNG: ") + job.message : job.error;
  return ok;
}

bool WritePng(FILE* f, const RgbImage& image, WriteProgress progress, void* user, std::string* error) {
  if (image.width > 0x7FFFFFFFu / 3) {
    *error = "picture is too wide for a PNG file";
    return false;
  }
  PngWriteState state;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngWriteError, PngWriteWarning);
  if (png == nullptr) {
    *error = "out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  volatile bool cancelled = false;  // set after setjmp
  if (info == nullptr) {
    state.message = "out of memory";
  } else if (setjmp(png_jmpbuf(png)) == 0) {
    errno = 0;
    png_init_io(png, f);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t done = 0; done < image.height && !cancelled; ++done) {
      cancelled = WriteStopped(progress, user, done, image.height, error);
      if (!cancelled) png_write_row(png, image.rgb.data() + static_cast<size_t>(done) * image.width * 3);
    }
    if (!cancelled) png_write_end(png, info);
    if (!cancelled && progress != nullptr) progress(image.height, image.height, user);
    png_destroy_write_struct(&png, &info);
    return !cancelled;
  }
  png_destroy_write_struct(&png, &info);
  // A failed write shows as libpng's own message; the system's cause is
  // more useful when there is one.
  *error = state.savedErrno != 0 ? strerror(state.savedErrno) : "PNG: " + state.message;
  return false;
}

}  // namespace kaldorin
