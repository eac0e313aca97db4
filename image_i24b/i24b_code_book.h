// The I24B codes from the writer's side: for every symbol of the five fixed
// Huffman codes, the bits to put into the stream, and the cost in bits of
// every component delta a single pixel can carry.
#ifndef KALDORIN_IMAGE_I24B_CODE_BOOK_H
#define KALDORIN_IMAGE_I24B_CODE_BOOK_H

#include <stdint.h>

#include <string>

#include "image_i24b/i24b_format.h"

namespace i24b {

// One code word. `bits` holds the code in stream order with the first stream
// bit as the most significant of its `length` bits, ready for BitWriter.
struct CodeWord {
  uint16_t bits;
  uint8_t length;
};

// How a single pixel carries one component delta (reference byte minus
// target byte, modulo 256): a palette digit 1..5 (deltas -2..2) in the pixel
// symbol, or digit 0 and an explicit escape index 0..250 after the symbol.
struct DeltaCode {
  uint8_t digit;        // 0 = escape
  uint8_t escapeIndex;  // meaningful when digit is 0
  uint8_t escapeBits;   // bits the escape costs (0 for a palette digit)
};

struct I24BCodeBook {
  CodeWord main[kMainSymbols];
  CodeWord longRun[kLongRunSymbols];
  CodeWord offset[kOffsetSymbols];
  CodeWord escape[kEscapeSymbols];
  CodeWord farEscape[kFarEscapeSymbols];
  DeltaCode delta[256];           // indexed by the delta byte
  uint16_t runBits[kMaxRun + 1];  // bits of the run symbol(s) for n = 2..126, offset excluded
};

// Builds the five code tables exactly as the decoder does and reads each
// symbol's code back out of them. False with a message when a table cannot
// be built or does not cover every symbol.
bool BuildI24BCodeBook(I24BCodeBook* book, std::string* error);

}  // namespace i24b

#endif
