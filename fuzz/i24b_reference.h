// A slow, plain I24B decoder used as the fuzzers' reference: codes matched
// bit by bit, tokens and references applied one byte at a time, exactly in
// the order the format describes. Bytes outside the pixel block read as 0
// and writes outside it are dropped, as in glimmet.
#ifndef KALDORIN_FUZZ_I24B_REFERENCE_H
#define KALDORIN_FUZZ_I24B_REFERENCE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr size_t kI24BHeaderSize = 24;

// The header check on the first bytes of `data`: 0 when the 24-byte header
// is one glimmet accepts, 2 when a fixed field is wrong, 6 when fewer than
// 24 bytes are there.
int ModelHeaderCheck(const uint8_t* data, size_t size);

// Builds the code lookup from our encoder's code book; false with a message.
bool PrepareReferenceDecoder(std::string* error);

// Decodes `coded` (the bytes after the 24-byte header) into a bottom-up
// pixel block of height x stride bytes. False when a code word cannot be
// matched (the block is then incomplete).
bool ReferenceDecode(const uint8_t* coded, size_t codedSize, uint32_t width, uint32_t height,
                     std::vector<uint8_t>* block);

#endif
