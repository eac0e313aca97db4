// I24B headers and small pictures for tests.
#ifndef KALDORIN_TESTS_I24B_SAMPLES_H
#define KALDORIN_TESTS_I24B_SAMPLES_H

#include "tests/test_files.h"

struct I24BHeaderFields {
  uint32_t magic = 0x42343249;  // "I24B"
  uint32_t version = 0x00010000;
  uint32_t reserved8 = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t bitsPerPixel = 24;
  uint32_t reserved20 = 0;
};

inline Bytes MakeI24BHeader(const I24BHeaderFields& f) {
  Bytes b;
  PutLe32(&b, f.magic);
  PutLe32(&b, f.version);
  PutLe32(&b, f.reserved8);
  PutLe16(&b, f.width);
  PutLe16(&b, f.height);
  PutLe32(&b, f.bitsPerPixel);
  PutLe32(&b, f.reserved20);
  return b;
}

inline Bytes MakeI24B(uint16_t width, uint16_t height, const Bytes& coded) {
  I24BHeaderFields f;
  f.width = width;
  f.height = height;
  Bytes b = MakeI24BHeader(f);
  b.insert(b.end(), coded.begin(), coded.end());
  return b;
}

#endif
