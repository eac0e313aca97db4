// A small I24B token writer for tests. Its codes come from the decode
// tables themselves: a table entry (L, s) at index i means that symbol s
// has the L-bit code formed by the top L bits of i, the first stream bit
// on top. Stream bits fill each byte from its most significant bit down.
#ifndef KALDORIN_TESTS_I24B_TEST_WRITER_H
#define KALDORIN_TESTS_I24B_TEST_WRITER_H

#include <stdint.h>

#include <vector>

#include "image_i24b/code_tables.h"
#include "image_i24b/i24b_format.h"
#include "tests/test_files.h"

struct TestCode {
  int length = -1;   // -1: the symbol has no code
  uint32_t msb = 0;  // the code, first stream bit most significant
};

// The code of every symbol of `table`.
inline std::vector<TestCode> CodesOfTable(const i24b::CodeTable& table) {
  std::vector<TestCode> codes(256);
  for (uint32_t i = 0; i < (1u << table.maxlen); ++i) {
    const i24b::CodeEntry& e = table.entries[i];
    codes[e.symbol] = TestCode{e.length, i >> (table.maxlen - e.length)};
  }
  return codes;
}

class I24BTestWriter {
 public:
  explicit I24BTestWriter(const i24b::CodeTableSet& tables)
      : main_(CodesOfTable(*tables.mainTable)),
        longRun_(CodesOfTable(*tables.longRunTable)),
        offset_(CodesOfTable(*tables.offsetTable)),
        escape_(CodesOfTable(*tables.escapeTable)),
        farEscape_(CodesOfTable(*tables.farEscapeTable)) {}

  // A pixel or run symbol, 0..340 (kLongRunSymbol and above through LongRunTable).
  void Symbol(int s) {
    if (s >= i24b::kLongRunSymbol) {
      Code(main_, i24b::kLongRunSymbol);
      Code(longRun_, s - i24b::kLongRunSymbol);
    } else {
      Code(main_, s);
    }
  }
  void Offset(int index) { Code(offset_, index); }

  // One pixel: reference `offsetIndex`, output byte = reference byte minus
  // delta (modulo 256), deltas given for red, green, blue. Deltas -2..2 go
  // into the palette symbol, others are written explicitly.
  void Pixel(int offsetIndex, uint8_t red, uint8_t green, uint8_t blue) {
    const uint8_t d[3] = {red, green, blue};
    Symbol(i24b::PixelSymbolOf(i24b::DigitOf(red), i24b::DigitOf(green), i24b::DigitOf(blue)));
    Offset(offsetIndex);
    for (uint8_t delta : d) {
      if (i24b::DigitOf(delta) == i24b::kExplicitDigit) ExplicitDelta(delta);
    }
  }

  // A run of `n` pixels (2..126) from reference `offsetIndex`.
  void Run(int n, int offsetIndex) {
    Symbol(i24b::RunSymbol(n));
    Offset(offsetIndex);
  }

  void ExplicitDelta(uint8_t delta) {
    // Deltas -2..2 have no explicit form; callers never ask for them.
    const int index = i24b::EscapeIndex(delta);
    if (index < i24b::kFarEscapeSymbol) {
      Code(escape_, index);
    } else {
      Code(escape_, i24b::kFarEscapeSymbol);
      Code(farEscape_, index - i24b::kFarEscapeSymbol);
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

  std::vector<TestCode> main_, longRun_, offset_, escape_, farEscape_;
  Bytes bytes_;
  uint64_t pending_ = 0;  // the low pendingBits_ bits are not yet in bytes_
  int pendingBits_ = 0;
};

#endif
