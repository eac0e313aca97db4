// The least time per pixel any decoder of a photograph can take with the
// decoder's tables: a pixel's token lookup, the shift by its length, the
// pair lookup of its next deltas and the shift by theirs, each lookup's
// index being the bits the one before left, with the buffer refilled once
// per pixel, and nothing else. It runs over random bits (or a file's bytes),
// so that no branch or cache effect helps it. Prints MP/s by processor time
// and cycles per pixel at the processor's nominal clock.
//
// Usage: lookup_chain_floor [FILE]
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "image_i24b/fast_tables.h"

int main(int argc, char** argv) {
  std::vector<uint8_t> data;
  if (argc > 1) {
    std::ifstream file(argv[1], std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  if (data.size() < 4096) {
    std::mt19937 random(1);
    data.resize(size_t{64} << 20);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  }
  i24b::FastTables* fast = i24b::BuildDecodeTables();
  if (fast == nullptr) return 1;
  const size_t pixels = 100000000;
  const uint8_t* in = data.data();
  const uint8_t* const wrap = data.data() + data.size() - 64;
  uint64_t bits = 0;
  unsigned count = 0;
  uint32_t sum = 0;
  auto refill = [&]() {
    uint64_t word;
    memcpy(&word, in, sizeof word);
    bits |= __builtin_bswap64(word) >> count;
    in += (63 - count) >> 3;
    count |= 56;
  };
  refill();
  timespec start, end;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
  for (size_t i = 0; i < pixels; ++i) {
    const uint32_t token = fast->token[bits >> (64 - i24b::kTokenTableBits)];
    bits <<= token & i24b::kTokenLengthMask;
    count -= token & i24b::kTokenLengthMask;
    const uint32_t pair = fast->escapePair[bits >> (64 - i24b::kPairTableBits)];
    refill();
    const unsigned used = (pair >> i24b::kPairBothLengthShift) & 15;
    bits <<= used;
    count -= used;
    sum += token ^ pair;
    if (in > wrap) in = data.data();
  }
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
  const double seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
  double mhz = 0;
  if (FILE* info = fopen("/proc/cpuinfo", "r")) {
    char line[256];
    while (mhz == 0 && fgets(line, sizeof line, info) != nullptr) sscanf(line, "cpu MHz : %lf", &mhz);
    fclose(info);
  }
  printf("%.1f MP/s, %.1f cycles a pixel at %.0f MHz (checksum %u)\n", double(pixels) / seconds / 1e6,
         seconds * mhz * 1e6 / double(pixels), mhz, sum);
  i24b::ReleaseFastTables(fast);
  return 0;
}
