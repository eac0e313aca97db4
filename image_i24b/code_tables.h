// The five Huffman code tables of I24B, built from the symbol frequencies
// in the order the decoder reads the stream. They serve only to derive the
// decoder's tables (fast_tables.h) and the encoder's code book.
#ifndef KALDORIN_IMAGE_I24B_CODE_TABLES_H
#define KALDORIN_IMAGE_I24B_CODE_TABLES_H

#include <stdint.h>

namespace i24b {

// One entry of a direct lookup table: the length in bits of the code that
// the index begins with, and that code's symbol.
struct CodeEntry {
  uint8_t length;
  uint8_t symbol;
};
static_assert(sizeof(CodeEntry) == 2, "table entries are two bytes");

// A direct lookup table for one code: 2^maxlen entries indexed by the next
// maxlen bits of the stream read as a number, the first bit of the stream
// being the index's top bit (as the decoder's bit buffer holds them).
struct CodeTable {
  int maxlen;
  CodeEntry* entries;
};

// Builds the table of the Huffman code for `count` (1..256) symbol
// frequencies, with the exact merge order and tie-breaks of the format.
// Returns null when memory runs out (nothing stays allocated then).
CodeTable* BuildCodeTable(const int32_t* freq, int count);
void ReleaseCodeTable(CodeTable* table);

// The frequency arrays the five codes are built from.
struct FrequencyArray {
  const int32_t* freq;
  int count;
};
extern const FrequencyArray kMainFrequencies;       // 240 symbols, longest code 13
extern const FrequencyArray kLongRunFrequencies;    // 102 symbols, 11
extern const FrequencyArray kOffsetFrequencies;     // 11 symbols, 5
extern const FrequencyArray kEscapeFrequencies;     // 44 symbols, 8
extern const FrequencyArray kFarEscapeFrequencies;  // 208 symbols, 13

struct CodeTableSet {
  CodeTable* mainTable;
  CodeTable* longRunTable;
  CodeTable* offsetTable;
  CodeTable* escapeTable;
  CodeTable* farEscapeTable;
};

// Builds all five tables in order. On memory
// exhaustion releases what was built, leaves all five slots null and
// returns false.
bool BuildCodeTableSet(CodeTableSet* set);
// Releases the five tables and nulls their slots.
void ReleaseCodeTableSet(CodeTableSet* set);

}  // namespace i24b

#endif
