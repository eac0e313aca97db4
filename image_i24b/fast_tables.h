// Lookup tables derived from the five code tables for the decoder's hot
// loop. The decoder reads the stream most significant bit first (the first
// bit of the stream is the top bit of its bit buffer), so these tables are
// indexed by the next bits with the first one as the index's top bit. The
// token table decodes a MainTable symbol and, when it fits in the same
// bits, the OffsetTable symbol that follows it, in one lookup.
#ifndef KALDORIN_IMAGE_I24B_FAST_TABLES_H
#define KALDORIN_IMAGE_I24B_FAST_TABLES_H

#include <stdint.h>

#include "image_i24b/code_tables.h"

// Width of the token table's index.
constexpr unsigned kTokenTableBits = 12;

// A token table entry.
constexpr uint32_t kTokenSymbolMask = 0xFF;     // bits 0-7: MainTable symbol
constexpr unsigned kTokenLengthShift = 8;       // bits 8-15: bits taken by this entry
constexpr unsigned kTokenOffsetShift = 16;      // bits 16-19: offset index, when present
constexpr uint32_t kTokenHasOffset = 1u << 20;  // the offset index is decoded too
constexpr uint32_t kTokenSlow = 1u << 21;       // a longer main code or a long run: decode
                                                // with the full tables (nothing else is set)

// An EscapeTable entry: the byte to add (the negated delta), the code's
// length, and whether a FarEscapeTable symbol follows.
constexpr uint32_t kEscapeAddMask = 0xFF;
constexpr unsigned kEscapeLengthShift = 8;
constexpr uint32_t kEscapeFar = 1u << 16;

// What a pixel symbol (0..215) asks of its components. Components are
// lanes of a little-endian word: blue bits 0-7, green 8-15, red 16-23.
struct PixelSymbol {
  uint32_t add;         // the palette deltas, negated, in their lanes (0 in a lane with an explicit delta)
  uint8_t escapes;      // explicit deltas that follow (0..3)
  uint8_t laneShift[3]; // bit position of the lane that the 1st, 2nd, 3rd explicit delta goes to; 32 if none
};
static_assert(sizeof(PixelSymbol) == 8, "pixel symbols are 8 bytes");

struct FastTables {
  uint32_t token[1u << kTokenTableBits];
  uint32_t escape[256];      // EscapeTable by the next 8 bits
  uint8_t offset[32];        // OffsetTable by the next 5 bits: length << 4 | symbol
  CodeEntry main[8192];      // MainTable by the next 13 bits
  CodeEntry longRun[2048];   // LongRunTable by the next 11 bits
  CodeEntry farEscape[8192]; // FarEscapeTable by the next 13 bits
  PixelSymbol pixel[216];
  uint8_t escapeAdd[251];    // EscapeDeltas, negated
};

// Builds the derived tables from a complete set, as one general-heap
// allocation. Returns null when memory runs out.
FastTables* BuildFastTables(const CodeTableSet& set);
void ReleaseFastTables(FastTables* tables);

#endif
