#include "qt_imageformats/i24b_qt_handler.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <QIODevice>
#include <QImage>
#include <QImageReader>
#include <QSize>
#include <QVariant>
#include <QtGlobal>

#include "image_i24b/i24b_encoder.h"
#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"

namespace {

void Warn(const char* cause) { qWarning("kaldorin: I24B picture: %s", cause); }

// The header at the device's position, left unread; false when it is not
// I24B's or the device holds fewer bytes.
bool PeekHeader(QIODevice* device, i24b::Header* header) {
  if (device == nullptr) return false;
  const QByteArray head = device->peek(i24b::kHeaderSize);
  if (head.size() != static_cast<int>(i24b::kHeaderSize)) return false;
  unsigned char raw[i24b::kHeaderSize];
  memcpy(raw, head.constData(), sizeof raw);
  return i24b::ParseHeader(raw, header) == kResultOk;
}

// The decoder's reader of a QIODevice.
bool ReadFromDevice(void* source, uint8_t* dst, size_t space, size_t* got) {
  const qint64 n = static_cast<QIODevice*>(source)->read(reinterpret_cast<char*>(dst), qint64(space));
  if (n < 0) return false;
  *got = size_t(n);
  return true;
}

// The decoder's tables, built on the first read and kept while the plug-in
// is loaded; only read once built, so threads share them.
const i24b::FastTables* DecodeTables() {
  static const i24b::FastTables* tables = i24b::BuildDecodeTables();
  return tables;
}

// Pixel blocks come straight from the kernel: zero, as the decoder wants
// them, and from 4 MiB on aligned for transparent huge pages, which makes
// the decoder's first writes to each page much cheaper.
constexpr size_t kHugePage = size_t{2} << 20;

struct MappedPixels {
  void* base;
  size_t size;
};

void ReleasePixels(void* info) {
  auto* mapped = static_cast<MappedPixels*>(info);
  munmap(mapped->base, mapped->size);
  free(mapped);
}

// `bytes` of zero pixels; null when memory runs out. ReleasePixels frees
// the returned record and its block.
MappedPixels* AllocatePixels(size_t bytes) {
  auto* record = static_cast<MappedPixels*>(malloc(sizeof(MappedPixels)));
  if (record == nullptr) return nullptr;
  const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t kept = (bytes + pageSize - 1) / pageSize * pageSize;
  const size_t mapped = kept < (size_t{4} << 20) ? kept : kept + kHugePage;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    free(record);
    return nullptr;
  }
  record->base = p;
  record->size = mapped;
  if (mapped != kept) {
    // Trim to a huge-page boundary at the front and to `kept` at the back.
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned > start) munmap(p, aligned - start);
    const size_t tail = start + mapped - (aligned + kept);
    if (tail != 0) munmap(reinterpret_cast<void*>(aligned + kept), tail);
    record->base = reinterpret_cast<void*>(aligned);
    record->size = kept;
    madvise(record->base, kept, MADV_HUGEPAGE);
  }
  return record;
}

// The most pixel bytes this Qt lets one picture have: Qt 5 counts them in
// an int; Qt 6 has QImageReader's allocation limit (in MiB, 0 for none).
uint64_t PixelByteLimit() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  const int limit = QImageReader::allocationLimit();
  if (limit > 0) return uint64_t(limit) << 20;
  return SIZE_MAX;
#else
  return INT_MAX;
#endif
}

}  // namespace

bool I24BImageHandler::IsI24B(QIODevice* device) {
  i24b::Header header;
  return PeekHeader(device, &header);
}

bool I24BImageHandler::canRead() const {
  if (!IsI24B(device())) return false;
  setFormat("i24b");
  return true;
}

bool I24BImageHandler::read(QImage* image) {
  QIODevice* in = device();
  i24b::Header header;
  if (!PeekHeader(in, &header)) {
    Warn("not an I24B picture: the header is not I24B's or is cut short");
    return false;
  }
  if (header.width == 0 || header.height == 0) {
    Warn("the header gives no pixels (a width or height of 0)");
    return false;
  }
  // Nothing is read or allocated for a picture the file cannot hold. Files
  // and other devices that know their size are decoded as they are read,
  // through the decoder's small window; a stream is read whole first, to
  // learn whether it holds enough. (A file read whole would cost a buffer
  // as large: under Qt 6, whose readAll rounds it up to a power of two, a
  // fresh mapping for every large file that the kernel faults in and zeroes
  // page by page, which took as long as half the decode.)
  const uint64_t needed = i24b::FewestCodedBytes(header.width, header.height);
  char cause[160];
  const char* tooShort = "ends early: a %u x %u picture needs at least %llu bytes of coded data, the file has %llu";
  QByteArray held;
  i24b::CodedInput input = {ReadFromDevice, in, nullptr, 0};
  uint64_t coded = 0;
  if (in->isSequential()) {
    held = in->readAll();
    if (size_t(held.size()) >= i24b::kHeaderSize) coded = size_t(held.size()) - i24b::kHeaderSize;
  } else {
    const qint64 left = in->size() - in->pos() - qint64{i24b::kHeaderSize};
    if (left > 0) coded = uint64_t(left);
  }
  if (coded < needed) {
    snprintf(cause, sizeof cause, tooShort, header.width, header.height, static_cast<unsigned long long>(needed),
             static_cast<unsigned long long>(coded));
    Warn(cause);
    return false;
  }
  if (in->isSequential()) {
    input = i24b::MemoryInput(reinterpret_cast<const uint8_t*>(held.constData()) + i24b::kHeaderSize, coded);
  } else if (in->skip(qint64{i24b::kHeaderSize}) != qint64{i24b::kHeaderSize}) {
    Warn("cannot read the file");
    return false;
  }
  // QImage::Format_RGB888 rows are padded to 32 bits, as the decoder's are.
  const uint32_t stride = i24b::RowStride(header.width);
  const uint64_t pixelBytes = uint64_t{stride} * header.height;
  if (pixelBytes > PixelByteLimit()) {
    snprintf(cause, sizeof cause, "a %u x %u picture is larger than Qt's limit for one image", header.width,
             header.height);
    Warn(cause);
    return false;
  }
  const i24b::FastTables* fast = DecodeTables();
  MappedPixels* pixels = fast != nullptr ? AllocatePixels(size_t(pixelBytes)) : nullptr;
  if (pixels == nullptr) {
    Warn("out of memory for the pixels");
    return false;
  }
  // The image owns the block from here: ReleasePixels runs when its last copy goes.
  QImage decoded(static_cast<uchar*>(pixels->base), header.width, header.height, int(stride), QImage::Format_RGB888,
                 ReleasePixels, pixels);
  if (decoded.isNull()) {
    ReleasePixels(pixels);
    Warn("out of memory for the pixels");
    return false;
  }
  uint32_t firstGuessedRow = i24b::kNoGuessedRow;
  const ResultCode result = i24b::DecodeRgbRows(*fast, input, header.width, header.height,
                                                static_cast<uint8_t*>(pixels->base), &firstGuessedRow);
  if (result != kResultOk) {
    snprintf(cause, sizeof cause, "cannot read the file (the decoder's result %d)", static_cast<int>(result));
    Warn(cause);
    return false;
  }
  if (firstGuessedRow != i24b::kNoGuessedRow) {
    snprintf(cause, sizeof cause, "ends early: rows %u to %u of %u are guessed", firstGuessedRow + 1,
             static_cast<unsigned>(header.height), static_cast<unsigned>(header.height));
    Warn(cause);
    return false;
  }
  *image = decoded;
  return true;
}

bool I24BImageHandler::write(const QImage& image) {
  if (image.isNull()) {
    Warn("no picture to write");
    return false;
  }
  char cause[160];
  if (image.hasAlphaChannel()) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    unsigned long long seeThrough = 0;
    for (int y = 0; y < argb.height(); ++y) {
      const QRgb* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
      for (int x = 0; x < argb.width(); ++x) seeThrough += qAlpha(row[x]) != 255;
    }
    if (seeThrough != 0) {
      snprintf(cause, sizeof cause,
               "%llu of the %llu pixels are not fully opaque and I24B has no transparency; "
               "composite the picture over a background first",
               seeThrough, static_cast<unsigned long long>(argb.width()) * unsigned(argb.height()));
      Warn(cause);
      return false;
    }
  }
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  if (rgb.isNull()) {
    Warn("out of memory for the pixels");
    return false;
  }
  // The encoder takes rows without padding.
  const size_t rowBytes = size_t(rgb.width()) * 3;
  std::vector<uint8_t> packed(rowBytes * size_t(rgb.height()));
  for (int y = 0; y < rgb.height(); ++y) memcpy(&packed[rowBytes * size_t(y)], rgb.constScanLine(y), rowBytes);
  std::vector<uint8_t> file;
  std::string error;
  if (!i24b::EncodeI24B(packed.data(), uint32_t(rgb.width()), uint32_t(rgb.height()), &file, nullptr, nullptr,
                        nullptr, &error)) {
    Warn(error.c_str());
    return false;
  }
  if (device() == nullptr ||
      device()->write(reinterpret_cast<const char*>(file.data()), qint64(file.size())) != qint64(file.size())) {
    Warn("cannot write the file");
    return false;
  }
  return true;
}

QVariant I24BImageHandler::option(ImageOption option) const {
  i24b::Header header;
  if (option == Size) {
    if (PeekHeader(device(), &header)) return QSize(header.width, header.height);
  } else if (option == ImageFormat) {
    return QImage::Format_RGB888;
  }
  return QVariant();
}

bool I24BImageHandler::supportsOption(ImageOption option) const {
  return option == Size || option == ImageFormat;
}
