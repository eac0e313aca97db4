// The decoder's tables derived from the code tables: every entry agrees
// with decoding the same bits through the code tables themselves, and a
// derived build that runs out of memory (on its own, or while glimmet
// loads) leaves nothing behind.
#include <gtest/gtest.h>

#include <vector>

#include "image_i24b/fast_tables.h"
#include "tests/i24b_samples.h"
#include "tests/plugin_host.h"

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

using namespace i24b;

// The stream bits of `value`, `width` bits wide, first bit on top, then
// zeros (missing bits read as zeros).
std::vector<int> StreamBitsOf(uint32_t value, unsigned width) {
  std::vector<int> bits(width + 32, 0);
  for (unsigned b = 0; b < width; ++b) bits[b] = (value >> (width - 1 - b)) & 1;
  return bits;
}

// Decodes one symbol at `*pos` through a code table (first stream bit =
// top bit of its index) and moves `*pos` past it.
CodeEntry DecodeAt(const CodeTable& table, const std::vector<int>& bits, unsigned* pos) {
  uint32_t index = 0;
  for (int b = 0; b < table.maxlen; ++b) index = index << 1 | uint32_t(bits[*pos + b]);
  CodeEntry e = table.entries[index];
  *pos += e.length;
  return e;
}

// Decodes one explicit delta at `*pos` (an escape code, and a far code after
// the far-escape symbol), moves `*pos` past it and returns its escape index.
int DeltaAt(const CodeTableSet& set, const std::vector<int>& bits, unsigned* pos) {
  const CodeEntry escape = DecodeAt(*set.escapeTable, bits, pos);
  if (escape.symbol != kFarEscapeSymbol) return escape.symbol;
  return kFarEscapeSymbol + DecodeAt(*set.farEscapeTable, bits, pos).symbol;
}

class FastTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BuildCodeTableSet(&set_));
    fast_ = BuildFastTables(set_);
    ASSERT_NE(nullptr, fast_);
  }
  void TearDown() override {
    ReleaseFastTables(fast_);
    ReleaseCodeTableSet(&set_);
  }
  CodeTableSet set_ = {};
  FastTables* fast_ = nullptr;
};

// Every entry decodes what the code tables decode from the same bits: the
// main symbol, the offset symbol when it fits, and a pixel's first explicit
// delta (far escapes too) when that fits as well.
TEST_F(FastTablesTest, TokensAgreeWithMainOffsetAndEscapeTables) {
  int heldDeltas = 0;
  for (uint32_t i = 0; i < (1u << kTokenTableBits); ++i) {
    SCOPED_TRACE(i);
    const std::vector<int> bits = StreamBitsOf(i, kTokenTableBits);
    unsigned pos = 0;
    const CodeEntry main = DecodeAt(*set_.mainTable, bits, &pos);
    const CodeEntry offset = DecodeAt(*set_.offsetTable, bits, &pos);
    const unsigned afterOffset = pos;
    const int escape = DeltaAt(set_, bits, &pos);
    const uint32_t token = fast_->token[i];
    if (main.symbol == kLongRunSymbol) {
      EXPECT_EQ(kTokenSlow, token) << "a long run is decoded with the full tables";
      continue;
    }
    ASSERT_EQ(0u, token & 0xE0) << "bits 5-7 must stay clear";
    EXPECT_EQ(main.symbol, (token >> kTokenSymbolShift) & 0xFF);
    if (afterOffset > kTokenTableBits) {
      EXPECT_EQ(0u, token & (kTokenHasOffset | kTokenHasDelta));
      EXPECT_EQ(main.length, token & kTokenLengthMask);
      continue;
    }
    ASSERT_TRUE(token & kTokenHasOffset);
    EXPECT_EQ(offset.symbol, (token >> kTokenOffsetShift) & 15);
    const bool hasExplicit = main.symbol <= kLastPixelSymbol &&
                             (RedDigit(main.symbol) == kExplicitDigit || GreenDigit(main.symbol) == kExplicitDigit ||
                              BlueDigit(main.symbol) == kExplicitDigit);
    const bool held = hasExplicit && pos <= kTokenTableBits;
    EXPECT_EQ(held, (token & kTokenHasDelta) != 0);
    EXPECT_EQ(held ? pos : afterOffset, token & kTokenLengthMask);
    EXPECT_EQ(held ? uint8_t(-EscapeDelta(escape)) : 0u, token >> kTokenDeltaShift);
    heldDeltas += held;
  }
  EXPECT_GT(heldDeltas, 1000) << "most tokens of pixels with explicit deltas hold the first one";
}

// The next two explicit deltas, far escapes too, as far as they fit.
TEST_F(FastTablesTest, EscapePairsAgreeWithEscapeTables) {
  int farHeld = 0;
  for (uint32_t i = 0; i < (1u << kPairTableBits); ++i) {
    SCOPED_TRACE(i);
    const std::vector<int> bits = StreamBitsOf(i, kPairTableBits);
    unsigned pos = 0;
    const int first = DeltaAt(set_, bits, &pos);
    const unsigned firstLength = pos;
    const int second = DeltaAt(set_, bits, &pos);
    const uint32_t pair = fast_->escapePair[i];
    ASSERT_TRUE(pair & kPairAlways);
    ASSERT_EQ(0u, pair >> kPairNoLengthShift);
    if (firstLength > kPairTableBits) {
      EXPECT_TRUE(pair & kPairFirstMissing);
      EXPECT_TRUE(pair & kPairSecondMissing);
      continue;
    }
    EXPECT_FALSE(pair & kPairFirstMissing);
    EXPECT_EQ(uint8_t(-EscapeDelta(first)), (pair >> kPairFirstAddShift) & 0xFF);
    EXPECT_EQ(firstLength, (pair >> kPairFirstLengthShift) & 15);
    farHeld += first >= kFarEscapeSymbol;
    if (pos > kPairTableBits) {
      EXPECT_TRUE(pair & kPairSecondMissing);
    } else {
      EXPECT_FALSE(pair & kPairSecondMissing);
      EXPECT_EQ(uint8_t(-EscapeDelta(second)), (pair >> kPairSecondAddShift) & 0xFF);
      EXPECT_EQ(pos, (pair >> kPairBothLengthShift) & 15);
    }
  }
  EXPECT_GT(farHeld, 0) << "short far escapes are held";
}

TEST_F(FastTablesTest, EscapesAgreeWithEscapeTable) {
  for (uint32_t i = 0; i < 256; ++i) {
    SCOPED_TRACE(i);
    const std::vector<int> bits = StreamBitsOf(i, 8);
    unsigned pos = 0;
    const CodeEntry e = DecodeAt(*set_.escapeTable, bits, &pos);
    const uint32_t entry = fast_->escape[i];
    EXPECT_EQ(e.length, entry & kEscapeLengthMask);
    EXPECT_EQ(e.symbol == kFarEscapeSymbol, (entry & kEscapeFar) != 0);
    if (e.symbol != kFarEscapeSymbol) {
      EXPECT_EQ(uint8_t(-EscapeDelta(e.symbol)), (entry >> kEscapeAddShift) & 0xFF);
    }
  }
}

// Each plan spreads the palette deltas into their lanes and names the lanes
// of the explicit deltas: the one its token holds, then the rest in stream
// order (red, green, blue).
TEST_F(FastTablesTest, PixelPlansSpreadThePalette) {
  for (int s = 0; s <= kLastPixelSymbol; ++s) {
    const int delta[3] = {DigitDelta(RedDigit(s)), DigitDelta(GreenDigit(s)), DigitDelta(BlueDigit(s))};
    const unsigned lane[3] = {16, 8, 0};
    std::vector<unsigned> explicitLanes;
    for (int c = 0; c < 3; ++c) {
      if (delta[c] == kExplicitDelta) explicitLanes.push_back(lane[c]);
    }
    for (bool held : {false, true}) {
      if (held && explicitLanes.empty()) continue;
      SCOPED_TRACE(::testing::Message() << "symbol " << s << (held ? ", first delta held" : ""));
      const PixelPlan& p = fast_->plan[PlanIndex(unsigned(s), held)];
      for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(delta[c] == kExplicitDelta ? 0 : uint8_t(-delta[c]), uint8_t(p.add >> lane[c]));
      }
      EXPECT_EQ(0u, p.add >> 24);
      EXPECT_EQ(held ? explicitLanes[0] : 24u, p.tokenLane);
      const std::vector<unsigned> rest(explicitLanes.begin() + held, explicitLanes.end());
      EXPECT_EQ(rest.size(), p.restCount);
      for (unsigned j = 0; j < 3; ++j) EXPECT_EQ(j < rest.size() ? rest[j] : 24u, p.restLane[j]);
      // The pair entry's flags and length field that match the deltas after the token.
      const uint32_t missing[4] = {0, kPairFirstMissing, kPairFirstMissing | kPairSecondMissing, kPairAlways};
      EXPECT_EQ(missing[rest.size()], p.pairMissing);
      const unsigned lengthShift[4] = {kPairNoLengthShift, kPairFirstLengthShift, kPairBothLengthShift,
                                       kPairNoLengthShift};
      EXPECT_EQ(lengthShift[rest.size()], p.pairLengthShift);
    }
  }
}

#ifndef _WIN32
TEST(FastTablesOutOfMemory, BuildFailsCleanly) {
  CodeTableSet set;
  ASSERT_TRUE(BuildCodeTableSet(&set));
  const long before = PlatformLiveHeapAllocs();
  PlatformResetFaults();
  PlatformFailCall(kCallHeapAlloc, 1, kFaultError);
  EXPECT_EQ(nullptr, BuildFastTables(set));
  EXPECT_TRUE(PlatformFaultFired());
  EXPECT_EQ(before, PlatformLiveHeapAllocs());
  PlatformResetFaults();
  ReleaseCodeTableSet(&set);
}

// glimmet loaded while the derived tables' allocation (the eleventh, after
// two for each code table) fails: the code tables go too, and GetPicture
// refuses with 4. The plug-in is loaded nowhere else in this program.
TEST(FastTablesOutOfMemory, GlimmetLoadFails) {
  ASSERT_EQ(0, PlatformLiveHeapAllocs());
  PlatformResetFaults();
  PlatformFailCall(kCallHeapAlloc, 11, kFaultError);
  Plugin glimmet;
  ASSERT_TRUE(LoadPlugin("glimmet", &glimmet));
  EXPECT_TRUE(PlatformFaultFired());
  EXPECT_EQ(11, PlatformCallsMade(kCallHeapAlloc));
  EXPECT_EQ(0, PlatformLiveHeapAllocs()) << "tables left allocated";
  PlatformResetFaults();

  auto getPicture = glimmet.Get<GetPictureFn>("GetPicture");
  ASSERT_NE(nullptr, getPicture);
  Bytes image = MakeI24B(2, 1, {0xE6, 0x51, 0x24});
  HLOCAL info = nullptr;
  HLOCAL pixels = nullptr;
  EXPECT_EQ(4, getPicture(reinterpret_cast<LPCSTR>(image.data()), static_cast<SpiLong>(image.size()), kInputMemory,
                          &info, &pixels, nullptr, 0));
  EXPECT_EQ(nullptr, pixels);
  EXPECT_EQ(Resources(), LiveResources());
  UnloadPlugin(&glimmet);
  EXPECT_EQ(0, PlatformLiveHeapAllocs());

  // Loaded with memory to spare, it keeps the derived tables alone.
  ASSERT_TRUE(LoadPlugin("glimmet", &glimmet));
  EXPECT_EQ(1, PlatformLiveHeapAllocs()) << "the code tables outlived the derivation";
  UnloadPlugin(&glimmet);
  EXPECT_EQ(0, PlatformLiveHeapAllocs());
}
#endif

}  // namespace
