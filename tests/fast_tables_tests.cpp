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

TEST_F(FastTablesTest, TokensAgreeWithMainAndOffsetTables) {
  for (uint32_t i = 0; i < (1u << kTokenTableBits); ++i) {
    SCOPED_TRACE(i);
    const std::vector<int> bits = StreamBitsOf(i, kTokenTableBits);
    unsigned pos = 0;
    const CodeEntry main = DecodeAt(*set_.mainTable, bits, &pos);
    const CodeEntry offset = DecodeAt(*set_.offsetTable, bits, &pos);
    const uint32_t token = fast_->token[i];
    if (main.symbol == kLongRunSymbol) {
      EXPECT_EQ(kTokenSlow, token) << "a long run is decoded with the full tables";
      continue;
    }
    ASSERT_EQ(0u, token & 0xE0) << "bits 5-7 must stay clear";
    EXPECT_EQ(main.symbol, (token >> kTokenSymbolShift) & 0xFF);
    if (pos <= kTokenTableBits) {
      ASSERT_TRUE(token & kTokenHasOffset);
      EXPECT_EQ(offset.symbol, (token >> kTokenOffsetShift) & 15);
      EXPECT_EQ(pos, token & kTokenLengthMask);
    } else {
      EXPECT_FALSE(token & kTokenHasOffset);
      EXPECT_EQ(main.length, token & kTokenLengthMask);
    }
  }
}

TEST_F(FastTablesTest, EscapePairsAgreeWithEscapeTable) {
  for (uint32_t i = 0; i < (1u << kPairTableBits); ++i) {
    SCOPED_TRACE(i);
    const std::vector<int> bits = StreamBitsOf(i, kPairTableBits);
    unsigned pos = 0;
    const CodeEntry first = DecodeAt(*set_.escapeTable, bits, &pos);
    const CodeEntry second = DecodeAt(*set_.escapeTable, bits, &pos);
    const uint32_t pair = fast_->escapePair[i];
    ASSERT_EQ(0u, pair & 0x30) << "bits 4-5 must stay clear";
    if (first.symbol == kFarEscapeSymbol) {
      EXPECT_TRUE(pair & kPairFirstMissing);
      EXPECT_TRUE(pair & kPairSecondMissing);
      continue;
    }
    EXPECT_FALSE(pair & kPairFirstMissing);
    EXPECT_EQ(uint8_t(-EscapeDelta(first.symbol)), (pair >> kPairFirstAddShift) & 0xFF);
    EXPECT_EQ(first.length, (pair >> kPairFirstLengthShift) & 15);
    EXPECT_EQ(0u, pair >> kPairNoLengthShift);
    if (second.symbol == kFarEscapeSymbol || pos > kPairTableBits) {
      EXPECT_TRUE(pair & kPairSecondMissing);
    } else {
      EXPECT_FALSE(pair & kPairSecondMissing);
      EXPECT_EQ(uint8_t(-EscapeDelta(second.symbol)), (pair >> kPairSecondAddShift) & 0xFF);
      EXPECT_EQ(pos, (pair >> kPairBothLengthShift) & 15);
    }
  }
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

TEST_F(FastTablesTest, PixelSymbolsSpreadThePalette) {
  for (int s = 0; s <= kLastPixelSymbol; ++s) {
    SCOPED_TRACE(s);
    const i24b::PixelSymbol& p = fast_->pixel[s];
    const int delta[3] = {DigitDelta(RedDigit(s)), DigitDelta(GreenDigit(s)), DigitDelta(BlueDigit(s))};
    const unsigned lane[3] = {16, 8, 0};
    unsigned explicitDeltas = 0;
    for (int c = 0; c < 3; ++c) {
      const uint8_t added = uint8_t(p.add >> lane[c]);
      if (delta[c] == kExplicitDelta) {
        EXPECT_EQ(0, added);
        EXPECT_EQ(lane[c], p.laneShift[explicitDeltas++]);
      } else {
        EXPECT_EQ(uint8_t(-delta[c]), added);
      }
    }
    EXPECT_EQ(explicitDeltas, ExplicitDeltaCount(p));
    EXPECT_EQ(0u, p.add >> 24);
    EXPECT_EQ(explicitDeltas == 3 ? kEscapeLengthMask | kEscapeFar : 0u, p.thirdMask);
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
