#include "image_i24b/fast_tables.h"

#include <string.h>
#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include "common/general_heap.h"

namespace i24b {
namespace {

void CopyEntries(const CodeTable& table, CodeEntry* out) {
  memcpy(out, table.entries, sizeof(CodeEntry) << table.maxlen);
}

// The `n` bits of the `width`-bit index `i` that follow its first `used`
// bits, first bit on top. Bits past the index read as zeros: an entry is
// built for codes that fit in the index, which are the same whatever follows.
uint32_t BitsAfter(uint32_t i, unsigned width, unsigned used, unsigned n) {
  const unsigned restWidth = width - used;
  const uint32_t rest = i & ((1u << restWidth) - 1);
  return restWidth >= n ? rest >> (restWidth - n) : rest << (n - restWidth);
}

// One explicit delta (an escape code, and after the far-escape symbol a far
// code) in the `width`-bit index `i` after its first `used` bits: false when
// it does not fit in them; else its byte to add and the bits it takes. Needs
// the escape, far-escape and escape-add entries.
bool DeltaAfter(const FastTables& t, uint32_t i, unsigned width, unsigned used, uint32_t* add, unsigned* length) {
  const uint32_t e = t.escape[BitsAfter(i, width, used, kEscapeCodeBits)];
  const unsigned escapeLength = e & kEscapeLengthMask;
  if (used + escapeLength > width) return false;
  if ((e & kEscapeFar) == 0) {
    *add = (e >> kEscapeAddShift) & 0xFF;
    *length = escapeLength;
    return true;
  }
  const CodeEntry far = t.farEscape[BitsAfter(i, width, used + escapeLength, kFarEscapeCodeBits)];
  if (used + escapeLength + far.length > width) return false;
  *add = t.escapeAdd[kFarEscapeSymbol + far.symbol];
  *length = escapeLength + far.length;
  return true;
}

// Whether the processor runs SSE2 code (every x86-64 processor does).
bool ProcessorHasSse2() {
#if defined(__x86_64__)
  return true;
#elif defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
#else
  return false;
#endif
}

// The lane of each component in a pixel's word, red first (the order of a
// pixel symbol's digits and of its explicit deltas in the stream).
constexpr uint8_t kComponentLane[3] = {16, 8, 0};

// Lanes of the explicit deltas of pixel symbol `s`, in stream order; returns
// how many. Its palette deltas, negated, in their lanes go to `*paletteAdd`.
unsigned ExplicitLanes(int s, uint8_t lanes[3], uint32_t* paletteAdd) {
  const int digits[3] = {RedDigit(s), GreenDigit(s), BlueDigit(s)};
  unsigned n = 0;
  *paletteAdd = 0;
  for (int c = 0; c < 3; ++c) {
    if (digits[c] == kExplicitDigit) {
      lanes[n++] = kComponentLane[c];
    } else {
      *paletteAdd |= uint32_t{static_cast<uint8_t>(-DigitDelta(digits[c]))} << kComponentLane[c];
    }
  }
  return n;
}

// Needs the offset, escape, far-escape and escape-add entries. The token
// index is exactly as wide as the longest main code (fast_tables.h), so
// entry i of the main table is the main code at the top of index i.
void FillTokens(const CodeTableSet& set, FastTables* t) {
  for (uint32_t i = 0; i < (1u << kTokenTableBits); ++i) {
    const CodeEntry m = set.mainTable->entries[i];
    if (m.symbol == kLongRunSymbol) {
      t->token[i] = kTokenSlow;
      continue;
    }
    uint32_t entry = uint32_t{m.symbol} << kTokenSymbolShift;
    unsigned length = m.length;
    const uint8_t offset = t->offset[BitsAfter(i, kTokenTableBits, length, kOffsetCodeBits)];
    if (length + (offset >> 4) <= kTokenTableBits) {
      length += offset >> 4;
      entry |= uint32_t{offset & 15u} << kTokenOffsetShift | kTokenHasOffset;
      uint8_t lanes[3] = {24, 24, 24};
      uint32_t paletteAdd;
      uint32_t add = 0;
      unsigned deltaLength = 0;
      if (m.symbol <= kLastPixelSymbol && ExplicitLanes(m.symbol, lanes, &paletteAdd) != 0 &&
          DeltaAfter(*t, i, kTokenTableBits, length, &add, &deltaLength)) {
        length += deltaLength;
        entry |= kTokenHasDelta | add << kTokenDeltaShift;
      }
    }
    t->token[i] = entry | length;
  }
}

// Needs what DeltaAfter needs.
void FillEscapePairs(FastTables* t) {
  for (uint32_t i = 0; i < (1u << kPairTableBits); ++i) {
    uint32_t entry = kPairAlways;
    uint32_t firstAdd = 0;
    unsigned firstLength = 0;
    if (!DeltaAfter(*t, i, kPairTableBits, 0, &firstAdd, &firstLength)) {
      entry |= kPairFirstMissing | kPairSecondMissing;
    } else {
      entry |= firstAdd << kPairFirstAddShift | firstLength << kPairFirstLengthShift;
      uint32_t secondAdd = 0;
      unsigned secondLength = 0;
      if (!DeltaAfter(*t, i, kPairTableBits, firstLength, &secondAdd, &secondLength)) {
        entry |= kPairSecondMissing;
      } else {
        entry |= secondAdd << kPairSecondAddShift | (firstLength + secondLength) << kPairBothLengthShift;
      }
    }
    t->escapePair[i] = entry;
  }
}

void FillPixelPlans(FastTables* t) {
  for (int s = 0; s <= kLastPixelSymbol; ++s) {
    uint8_t lanes[3] = {24, 24, 24};
    uint32_t paletteAdd;
    const unsigned explicitDeltas = ExplicitLanes(s, lanes, &paletteAdd);
    for (unsigned held = 0; held <= 1 && held <= explicitDeltas; ++held) {
      PixelPlan p = {};
      p.add = paletteAdd;
      p.tokenLane = held ? lanes[0] : 24;
      p.restCount = static_cast<uint8_t>(explicitDeltas - held);
      for (unsigned j = 0; j < 3; ++j) p.restLane[j] = held + j < explicitDeltas ? lanes[held + j] : 24;
      const uint8_t lengthShift[4] = {kPairNoLengthShift, kPairFirstLengthShift, kPairBothLengthShift,
                                      kPairNoLengthShift};
      const uint32_t missing[4] = {0, kPairFirstMissing, kPairFirstMissing | kPairSecondMissing, kPairAlways};
      p.pairLengthShift = lengthShift[p.restCount];
      p.pairMissing = missing[p.restCount];
      t->plan[PlanIndex(static_cast<unsigned>(s), held != 0)] = p;
    }
  }
}

}  // namespace

FastTables* BuildFastTables(const CodeTableSet& set) {
  if (set.mainTable == nullptr || set.mainTable->maxlen != int{kMainCodeBits} ||
      set.longRunTable->maxlen != int{kLongRunCodeBits} || set.offsetTable->maxlen != int{kOffsetCodeBits} ||
      set.escapeTable->maxlen != int{kEscapeCodeBits} || set.farEscapeTable->maxlen != int{kFarEscapeCodeBits}) {
    return nullptr;
  }
  auto* t = static_cast<FastTables*>(HeapAllocate(sizeof(FastTables)));
  if (t == nullptr) return nullptr;
  memset(t, 0, sizeof *t);
  for (int i = 0; i <= kLastEscapeIndex; ++i) t->escapeAdd[i] = static_cast<uint8_t>(-EscapeDelta(i));
  for (uint32_t i = 0; i < (1u << kOffsetCodeBits); ++i) {
    CodeEntry e = set.offsetTable->entries[i];
    t->offset[i] = static_cast<uint8_t>(e.length << 4 | e.symbol);
  }
  for (uint32_t i = 0; i < (1u << kEscapeCodeBits); ++i) {
    CodeEntry e = set.escapeTable->entries[i];
    uint32_t entry = e.length;
    entry |= e.symbol == kFarEscapeSymbol ? kEscapeFar : uint32_t{t->escapeAdd[e.symbol]} << kEscapeAddShift;
    t->escape[i] = entry;
  }
  CopyEntries(*set.mainTable, t->main);
  CopyEntries(*set.longRunTable, t->longRun);
  CopyEntries(*set.farEscapeTable, t->farEscape);
  FillTokens(set, t);
  FillEscapePairs(t);
  for (int k = 0; k < kOffsetSymbols; ++k) {
    const uint64_t throughK = (uint64_t{16} << (4 * k)) - 1;
    t->moveToFront[k] = MoveToFrontMasks{~throughK, throughK & ~uint64_t{15}};
    const unsigned half = k < 8 ? 0 : 32;
    t->moveToFrontHalf[k] = MoveToFrontHalfMasks{static_cast<uint32_t>(t->moveToFront[k].keep >> half),
                                                  static_cast<uint32_t>(t->moveToFront[k].moved >> half)};
  }
  FillPixelPlans(t);
  t->sse2 = ProcessorHasSse2();
  return t;
}

FastTables* BuildDecodeTables() {
  CodeTableSet set;
  if (!BuildCodeTableSet(&set)) return nullptr;
  FastTables* fast = BuildFastTables(set);
  ReleaseCodeTableSet(&set);
  return fast;
}

void ReleaseFastTables(FastTables* tables) { HeapRelease(tables); }

}  // namespace i24b
