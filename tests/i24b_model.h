// A slow, plain I24B decoder, the reference of the tests and the fuzzers:
// codes matched bit by bit, tokens and references applied one byte at a
// time, in stream order. Bytes outside the pixel block read as 0 and writes
// outside it are dropped, as in glimmet.
#ifndef KALDORIN_TESTS_I24B_MODEL_H
#define KALDORIN_TESTS_I24B_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace i24b {
namespace model {

// The header check on the first bytes of `data`: 0 when the 24-byte header
// is one glimmet accepts, 2 when a fixed field is wrong, 6 when fewer than
// 24 bytes are there.
int ModelHeaderCheck(const uint8_t* data, size_t size);

// Builds the code lookup from our encoder's code book; false with a message.
// Called once before the first ReferenceDecode.
bool PrepareReferenceDecoder(std::string* error);

// Decodes `coded` (the bytes after the 24-byte header; zero bits follow its
// end) into a bottom-up pixel block of height x stride bytes. False when a
// code word cannot be matched (the block is then incomplete).
bool ReferenceDecode(const uint8_t* coded, size_t codedSize, uint32_t width, uint32_t height,
                     std::vector<uint8_t>* block);

}  // namespace model
}  // namespace i24b

#endif
