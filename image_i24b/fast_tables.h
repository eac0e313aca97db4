// Lookup tables derived from the five code tables for the decoder's hot
// loop. The decoder reads the stream most significant bit first (the first
// bit of the stream is the top bit of its bit buffer), so these tables are
// indexed by the next bits with the first one as the index's top bit. Most
// pixels take two lookups: the token table decodes a MainTable symbol and,
// as far as they fit in the same bits, the OffsetTable symbol and the first
// explicit delta that follow it; the escape pair table decodes the next two
// explicit deltas. Longer codes and far escapes take a slower path.
#ifndef KALDORIN_IMAGE_I24B_FAST_TABLES_H
#define KALDORIN_IMAGE_I24B_FAST_TABLES_H

#include <stdint.h>

#include "image_i24b/code_tables.h"
#include "image_i24b/i24b_format.h"

namespace i24b {

// Width of the token table's index.
constexpr unsigned kTokenTableBits = 13;

// A token table entry: a MainTable symbol, when it fits in the same bits the
// OffsetTable symbol after it, and when a pixel's first explicit delta fits
// too, that delta. The length comes first, so that the entry itself can be
// the shift count.
constexpr uint32_t kTokenLengthMask = 0x1F;      // bits 0-4: bits taken by this entry
constexpr unsigned kTokenSymbolShift = 8;        // bits 8-15: MainTable symbol
constexpr uint32_t kTokenHasDelta = 1u << 16;    // the first explicit delta is decoded too
constexpr unsigned kTokenPlanShift = 8;          // bits 8-16: the pixel's plan (PixelPlan below)
constexpr uint32_t kTokenPlanMask = 0x1FF;
constexpr unsigned kTokenOffsetShift = 17;       // bits 17-20: offset index, when present
constexpr uint32_t kTokenHasOffset = 1u << 21;   // the offset index is decoded too
constexpr uint32_t kTokenSlow = 1u << 22;        // a long run: decode with the full tables
                                                 // (nothing else is set)
constexpr unsigned kTokenDeltaShift = 24;        // bits 24-31: the first explicit delta's byte to add

// An EscapeTable entry: the code's length, the byte to add (the negated
// delta), and whether a FarEscapeTable symbol follows.
constexpr uint32_t kEscapeLengthMask = 0xF;
constexpr unsigned kEscapeAddShift = 8;
constexpr uint32_t kEscapeFar = 1u << 16;

// Width of the escape pair table's index.
constexpr unsigned kPairTableBits = 11;

// An escape pair entry: the next two explicit deltas, as far as they fit in
// the index's bits and are not far escapes.
constexpr unsigned kPairBothLengthShift = 0;      // bits 0-3: both codes' length
constexpr uint32_t kPairFirstMissing = 1u << 6;   // the first is a far escape
constexpr uint32_t kPairSecondMissing = 1u << 7;  // the second is a far escape or does not fit
constexpr unsigned kPairFirstAddShift = 8;        // bits 8-15: the first delta's byte to add
constexpr unsigned kPairSecondAddShift = 16;      // bits 16-23: the second's
constexpr unsigned kPairFirstLengthShift = 24;    // bits 24-27: the first code's length
constexpr uint32_t kPairAlways = 1u << 4;         // set in every entry: a plan that tests it
                                                  // always takes the slow path
constexpr unsigned kPairNoLengthShift = 28;       // bits 28-31: zero (no delta taken)

// How a pixel is finished once its token is read: a pixel symbol
// (0..kLastPixelSymbol), and whether the token entry held its first explicit
// delta. Components are lanes of a little-endian word: blue bits 0-7, green
// 8-15, red 16-23; lane 24 is the fourth byte, which no pixel keeps.
struct PixelPlan {
  uint32_t add;             // the palette deltas, negated, in their lanes (0 in a lane with an explicit delta)
  uint8_t tokenLane;        // lane of the delta the token entry holds; 24 if it holds none
  uint8_t restLane[3];      // lanes of the explicit deltas after the token, in stream order; 24 past the last
  uint8_t pairLengthShift;  // where a pair entry holds the length of the first one or two of those
                            // (kPairNoLengthShift when none or three follow)
  uint8_t unused0;
  uint8_t restCount;        // explicit deltas after the token (0..3)
  uint8_t unused;
  uint32_t pairMissing;     // the pair entry's flags that send the pixel to the slow path
};
static_assert(sizeof(PixelPlan) == 16, "pixel plans are 16 bytes");
constexpr unsigned kPlans = kTokenPlanMask + 1;

// The plan index of pixel symbol `s` with or without its first delta held.
constexpr unsigned PlanIndex(unsigned s, bool tokenHasDelta) {
  return s | (tokenHasDelta ? kTokenHasDelta >> kTokenPlanShift : 0);
}

// Moving entry k of the move-to-front list (eleven 4-bit entries, front in
// the low bits) to the front: entries above k stay, entries below move up.
struct MoveToFrontMasks {
  uint64_t keep;
  uint64_t moved;
};
// The same for a list kept in two 32-bit words (entries 0-7 and 8-10): for
// k below 8 the masks of the first word, else those of the second.
struct MoveToFrontHalfMasks {
  uint32_t keep;
  uint32_t moved;
};

struct FastTables {
  uint32_t token[1u << kTokenTableBits];
  uint32_t escape[1u << kEscapeCodeBits];         // EscapeTable by its next bits
  uint32_t escapePair[1u << kPairTableBits];
  uint8_t offset[1u << kOffsetCodeBits];          // OffsetTable by its next bits: length << 4 | symbol
  CodeEntry main[1u << kMainCodeBits];            // MainTable by its next bits
  CodeEntry longRun[1u << kLongRunCodeBits];      // LongRunTable by its next bits
  CodeEntry farEscape[1u << kFarEscapeCodeBits];  // FarEscapeTable by its next bits
  PixelPlan plan[kPlans];                         // by the token entry's bits 8-16
  uint8_t escapeAdd[kLastEscapeIndex + 1];        // explicit deltas by escape index, negated
  MoveToFrontMasks moveToFront[kOffsetSymbols];
  MoveToFrontHalfMasks moveToFrontHalf[kOffsetSymbols];
  // The processor runs SSE2 code: on 32-bit x86 builds the decoder then
  // takes its SSE2 build (picture_decoder.h). Set by BuildFastTables.
  bool sse2;
};
static_assert(kOffsetSymbols <= 16 && kOffsetCodeBits < 16, "an offset entry packs length and symbol in 4 bits each");
static_assert(4 * kOffsetSymbols <= 64, "the move-to-front list fits one 64-bit word");
static_assert(kEscapeCodeBits <= kEscapeLengthMask, "an escape entry's length fits its field");
static_assert(kTokenTableBits == kMainCodeBits, "the token table holds every main code but the long-run symbol's");

// Builds the derived tables from a complete set, as one general-heap
// allocation. Returns null when memory runs out.
FastTables* BuildFastTables(const CodeTableSet& set);
// Builds the code tables, derives the decoder's tables from them and
// releases the code tables again: the decoder reads only the derived ones.
// Null when memory runs out (nothing stays allocated then).
FastTables* BuildDecodeTables();
void ReleaseFastTables(FastTables* tables);

}  // namespace i24b

#endif
