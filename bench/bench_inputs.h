// The inputs of the benchmarks: sample pictures prepared in every format
// that is timed, and archives built for the extraction timings.
#ifndef KALDORIN_BENCH_BENCH_INPUTS_H
#define KALDORIN_BENCH_BENCH_INPUTS_H

#include <stdint.h>

#include <string>
#include <vector>

struct BenchPicture {
  std::string name;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;   // top-down R,G,B
  std::vector<uint8_t> i24b;  // our encoder's file
  std::string i24bPath;       // the same bytes on disk
  std::vector<uint8_t> png;   // libpng, default compression
  std::vector<uint8_t> qoi;   // the QOI reference encoder
  uint64_t Pixels() const { return uint64_t{width} * height; }
  uint64_t DibBytes() const { return uint64_t{(width * 3 + 3) & ~3u} * height; }
};

// Reads every PNG and BMP picture of `folder`, adds the middle 640x480 of
// each larger one, and prepares the encodings of all of them,
// keeping encoded I24B files in `cacheFolder` between runs.
bool LoadBenchPictures(const std::string& folder, const std::string& cacheFolder,
                       std::vector<BenchPicture>* pictures, std::string* error);

// PNG bytes of an RGB picture at libpng's default compression, and back.
bool EncodePng(const BenchPicture& picture, std::vector<uint8_t>* out);
bool DecodePng(const std::vector<uint8_t>& png, std::vector<uint8_t>* rgb);

#endif
