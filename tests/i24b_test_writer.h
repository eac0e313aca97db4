// A small I24B token writer for tests. Its codes come from the decode
// tables themselves: a table entry (L, s) at index i means that symbol s
// has the L-bit code i & (2^L - 1), whose bit 0 is the first stream bit.
// Stream bits fill each byte from its most significant bit down.
#ifndef KALDORIN_TESTS_I24B_TEST_WRITER_H
#define KALDORIN_TESTS_I24B_TEST_WRITER_H

#include <stdint.h>

#include <vector>

#include "image_i24b/code_tables.h"
#include "tests/test_files.h"

struct TestCode {
  uint32_t code = 0;  // bit 0 is the first stream bit
  int length = -1;    // -1: the symbol has no code
  uint32_t msb = 0;   // the same bits, first stream bit most significant
};

// The code of every symbol of `table`.
inline std::vector<TestCode> CodesOfTable(const CodeTable& table) {
  std::vector<TestCode> codes(256);
  for (uint32_t i = 0; i < (1u << table.maxlen); ++i) {
    const CodeEntry& e = table.entries[i];
    uint32_t code = i & ((1u << e.length) - 1);
    uint32_t msb = 0;
    for (int b = 0; b < e.length; ++b) msb |= ((code >> b) & 1u) << (e.length - 1 - b);
    codes[e.symbol] = TestCode{code, e.length, msb};
  }
  return codes;
}

class I24BTestWriter {
 public:
  explicit I24BTestWriter(const CodeTableSet& tables)
      : tables_(tables),
        main_(CodesOfTable(*tables.mainTable)),
        longRun_(CodesOfTable(*tables.longRunTable)),
        offset_(CodesOfTable(*tables.offsetTable)),
        escape_(CodesOfTable(*tables.escapeTable)),
        farEscape_(CodesOfTable(*tables.farEscapeTable)) {}

  // Appends `length` bits of `code`, bit 0 first.
  void Bits(uint32_t code, int length) {
    uint32_t msb = 0;
    for (int b = 0; b < length; ++b) msb |= ((code >> b) & 1u) << (length - 1 - b);
    Put(msb, length);
  }

  // A pixel or run symbol, 0..340 (239 and above through LongRunTable).
  void Symbol(int s) {
    if (s >= 239) {
      Code(main_, 239);
      Code(longRun_, s - 239);
    } else {
      Code(main_, s);
    }
  }
  void Offset(int index) { Code(offset_, index); }

  // One pixel: reference `offsetIndex`, output byte = reference byte minus
  // delta (modulo 256), deltas given for red, green, blue. Deltas -2..2 go
  // into the palette symbol, others are written explicitly.
  void Pixel(int offsetIndex, uint8_t red, uint8_t green, uint8_t blue) {
    uint8_t d[3] = {red, green, blue};
    int digit[3];
    for (int c = 0; c < 3; ++c) {
      int v = static_cast<int8_t>(d[c]);
      digit[c] = (v >= -2 && v <= 2) ? v + 3 : 0;
    }
    Symbol(36 * digit[0] + 6 * digit[1] + digit[2]);
    Offset(offsetIndex);
    for (int c = 0; c < 3; ++c) {
      if (digit[c] == 0) ExplicitDelta(d[c]);
    }
  }

  // A run of `n` pixels (2..126) from reference `offsetIndex`.
  void Run(int n, int offsetIndex) {
    Symbol(n + 214);
    Offset(offsetIndex);
  }

  void ExplicitDelta(uint8_t delta) {
    // Deltas -2..2 have no explicit form; callers never ask for them.
    int index = 0;
    while (index < 250 && tables_.escapeDeltas[index] != delta) ++index;
    if (index < 43) {
      Code(escape_, index);
    } else {
      Code(escape_, 43);
      Code(farEscape_, index - 43);
    }
  }

  // Bits written so far.
  uint64_t bitCount() const { return bytes_.size() * 8 + static_cast<uint64_t>(pendingBits_); }

  // The stream so far; a partial last byte is filled with zero bits.
  Bytes bytes() const {
    Bytes b = bytes_;
    if (pendingBits_ > 0) b.push_back(static_cast<uint8_t>(pending_ << (8 - pendingBits_)));
    return b;
  }

 private:
  void Put(uint32_t msb, int length) {
    pending_ = (pending_ << length) | msb;
    pendingBits_ += length;
    while (pendingBits_ >= 8) {
      pendingBits_ -= 8;
      bytes_.push_back(static_cast<uint8_t>(pending_ >> pendingBits_));
    }
  }
  void Code(const std::vector<TestCode>& codes, int symbol) { Put(codes[symbol].msb, codes[symbol].length); }

  const CodeTableSet& tables_;
  std::vector<TestCode> main_, longRun_, offset_, escape_, farEscape_;
  Bytes bytes_;
  uint64_t pending_ = 0;  // the low pendingBits_ bits are not yet in bytes_
  int pendingBits_ = 0;
};

#endif
