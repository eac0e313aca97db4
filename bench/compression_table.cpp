// Bits per pixel of our I24B encoder against PNG (libpng's default level),
// QOI and raw 24-bit pixels, on every picture of a folder. Prints a
// Markdown table.
#include <stdio.h>

#include <string>
#include <vector>

#include "bench/bench_inputs.h"

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? argv[1] : "build/sample-images";
  std::string cache = argc > 2 ? argv[2] : "build/sample-images/i24b";
  std::vector<BenchPicture> pictures;
  std::string error;
  if (!LoadBenchPictures(folder, cache, &pictures, &error)) {
    fprintf(stderr, "compression_table: %s\n", error.c_str());
    return 1;
  }
  printf("| picture | size | I24B (ours) | PNG (libpng default) | QOI | raw |\n|---|---|---|---|---|---|\n");
  for (const BenchPicture& p : pictures) {
    double pixels = static_cast<double>(p.Pixels());
    printf("| %s | %ux%u | %.2f | %.2f | %.2f | 24.00 |\n", p.name.c_str(), p.width, p.height,
           8.0 * p.i24b.size() / pixels, 8.0 * p.png.size() / pixels, 8.0 * p.qoi.size() / pixels);
  }
  printf("\nBits per pixel, whole files (headers included).\n");
  return 0;
}
