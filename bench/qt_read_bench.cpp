// Reading an I24B picture through QImageReader (the Qt image plug-in, from
// its file) against decoding the same file, held in memory, with the
// decoder alone (i24b::DecodeImage into a fresh zeroed block allocated as
// the plug-in allocates, and the bare row loop into a bottom-up block as
// glimmet decodes), timed alternately in one run. Both sides map and first
// touch their pixel block alike; the reader also opens, finds the plug-in
// for and reads the file; no side's time includes freeing its block. The
// picture is the middle 12 megapixels (4000 x 3000) of a PNG or BMP
// photograph, encoded with our encoder.
// usage: qtN_read_bench PICTURE [RUNS]
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "image_i24b/i24b_encoder.h"
#include "image_i24b/picture_decoder.h"

namespace {

double Now() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A zeroed block as the plug-in gets one: mapped, aligned for transparent
// huge pages, so that the baselines pay the same for their pages.
struct Block {
  void* mapped;
  size_t size;
  uint8_t* pixels;
};

Block MapBlock(size_t bytes) {
  const size_t huge = size_t{2} << 20;
  Block b = {mmap(nullptr, bytes + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), bytes + huge,
             nullptr};
  if (b.mapped == MAP_FAILED) abort();
  b.pixels = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(b.mapped) + huge - 1) & ~(uintptr_t{huge} - 1));
  madvise(b.pixels, bytes, MADV_HUGEPAGE);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PICTURE [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? atoi(argv[2]) : 9;
  QCoreApplication app(argc, argv);
  QCoreApplication::addLibraryPath(KALDORIN_QT_PLUGIN_DIR);
  QImage source(argv[1]);
  if (source.isNull()) {
    fprintf(stderr, "%s: cannot read the picture\n", argv[1]);
    return 1;
  }
  const int width = std::min(source.width(), 4000);
  const int height = std::min(source.height(), 3000);
  source = source.copy((source.width() - width) / 2, (source.height() - height) / 2, width, height)
               .convertToFormat(QImage::Format_RGB888);
  std::vector<uint8_t> rgb;
  for (int y = 0; y < height; ++y) rgb.insert(rgb.end(), source.constScanLine(y), source.constScanLine(y) + width * 3);
  std::vector<uint8_t> file;
  std::string error;
  if (!i24b::EncodeI24B(rgb.data(), width, height, &file, nullptr, nullptr, nullptr, &error)) {
    fprintf(stderr, "encode: %s\n", error.c_str());
    return 1;
  }
  const QString path = QString::fromLocal8Bit(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") +
                       QString("/qt_read_bench_%1.i24").arg(QCoreApplication::applicationPid());
  QFile out(path);
  if (!out.open(QIODevice::WriteOnly) ||
      out.write(reinterpret_cast<const char*>(file.data()), qint64(file.size())) != qint64(file.size())) {
    fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return 1;
  }
  out.close();

  const i24b::FastTables* fast = i24b::BuildDecodeTables();
  const uint32_t stride = i24b::RowStride(width);
  const size_t bytes = size_t{stride} * height;
  std::vector<double> decodeImage, rowLoop, reader;
  bool same = true;
  for (int run = 0; run < runs; ++run) {
    double t = Now();
    Block block = MapBlock(bytes);
    uint32_t w = 0, h = 0;
    i24b::DecodeImage(*fast, file.data(), file.size(), block.pixels, bytes, &w, &h);
    decodeImage.push_back(Now() - t);
    munmap(block.mapped, block.size);

    t = Now();
    block = MapBlock(bytes);
    const i24b::PixelBlock pixels = {block.pixels, bytes, stride, uint32_t(width), uint32_t(height)};
    i24b::DecodePixels(*fast, i24b::MemoryInput(file.data() + i24b::kHeaderSize, file.size() - i24b::kHeaderSize),
                       pixels, nullptr, 0);
    rowLoop.push_back(Now() - t);
    munmap(block.mapped, block.size);

    t = Now();
    const QImage image = QImageReader(path).read();
    reader.push_back(Now() - t);
    same = same && image.format() == QImage::Format_RGB888 && image == source;
  }
  QFile::remove(path);
  i24b::ReleaseFastTables(const_cast<i24b::FastTables*>(fast));
  if (!same) {
    fprintf(stderr, "QImageReader did not give the encoded pixels\n");
    return 1;
  }
  const double d = Median(decodeImage), l = Median(rowLoop), r = Median(reader);
  printf("Qt %s, %s, %d x %d (%.1f MP), medians of %d runs:\n", qVersion(), argv[1], width, height,
         width * double(height) / 1e6, runs);
  printf("  i24b::DecodeImage (memory, top-down RGB)  %8.1f ms\n", d);
  printf("  row loop alone (memory, bottom-up BGR)    %8.1f ms\n", l);
  printf("  QImageReader (file, the plug-in)          %8.1f ms\n", r);
  printf("  QImageReader / DecodeImage %.3f, QImageReader / row loop %.3f\n", r / d, r / l);
  return 0;
}
