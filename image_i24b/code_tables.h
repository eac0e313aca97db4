// The five Huffman code tables of I24B and the small fixed tables that the
// bit reader and the picture reconstruction use. The plug-in builds one
// CodeTableSet at load and only reads it afterwards.
#ifndef KALDORIN_IMAGE_I24B_CODE_TABLES_H
#define KALDORIN_IMAGE_I24B_CODE_TABLES_H

#include <stdint.h>

// One entry of a direct lookup table: the length in bits of the code that
// the index begins with, and that code's symbol.
struct CodeEntry {
  uint8_t length;
  uint8_t symbol;
};
static_assert(sizeof(CodeEntry) == 2, "table entries are two bytes");

// A direct lookup table for one code: 2^maxlen entries indexed by the next
// maxlen bits of the stream, the first bit of the stream being bit 0.
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
  uint16_t mask[16];           // entry k = 2^k - 1
  uint8_t bitReverse[256];     // each byte with its bits reversed
  int8_t deltaRed[216];        // DeltaPalette: a - 3 for s = 36a + 6b + c
  int8_t deltaGreen[216];      //               b - 3
  int8_t deltaBlue[216];       //               c - 3 (-3: an explicit delta follows)
  uint8_t escapeDeltas[251];   // EscapeDeltas, as bytes (deltas work modulo 256)
};

// Builds all five tables in order and fills the fixed tables. On memory
// exhaustion releases what was built, leaves all five slots null and
// returns false.
bool BuildCodeTableSet(CodeTableSet* set);
// Releases the five tables and nulls their slots.
void ReleaseCodeTableSet(CodeTableSet* set);

#endif
