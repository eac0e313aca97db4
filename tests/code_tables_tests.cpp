// The I24B code tables: the codes the build yields (which every encoder must
// share), the completeness of each table, the palette and escape deltas, and
// a build that runs out of memory.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image_i24b/code_tables.h"
#include "image_i24b/i24b_format.h"
#include "image_i24b/picture_decoder.h"
#include "tests/i24b_test_writer.h"

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

using namespace i24b;

// A code as its bits arrive in the stream, e.g. "001".
std::string StreamBits(const TestCode& c) {
  std::string s;
  for (int b = c.length - 1; b >= 0; --b) s += ((c.msb >> b) & 1) ? '1' : '0';
  return s;
}

// Checks that `table` is the direct lookup table of a complete prefix code
// over `count` symbols: every symbol's code fills exactly its 2^(maxlen-L)
// entries (those whose top L bits are the code) and nothing else, so every
// entry holds the one code it begins with.
void ExpectCompleteTable(const CodeTable& table, int count) {
  ASSERT_GE(table.maxlen, 0);
  ASSERT_LE(table.maxlen, 16);
  const uint32_t size = 1u << table.maxlen;
  std::vector<TestCode> codes = CodesOfTable(table);
  std::vector<uint32_t> hits(256, 0);
  int longest = 0;
  for (uint32_t i = 0; i < size; ++i) {
    const CodeEntry& e = table.entries[i];
    ASSERT_LT(e.symbol, count) << "entry " << i;
    ASSERT_LE(e.length, table.maxlen) << "entry " << i;
    // Every entry agrees with the code recorded for its symbol.
    EXPECT_EQ(codes[e.symbol].length, e.length) << "entry " << i;
    EXPECT_EQ(codes[e.symbol].msb, i >> (table.maxlen - e.length)) << "entry " << i;
    ++hits[e.symbol];
    longest = e.length > longest ? e.length : longest;
  }
  EXPECT_EQ(table.maxlen, longest);
  for (int s = 0; s < count; ++s) {
    ASSERT_GE(codes[s].length, 0) << "symbol " << s << " has no code";
    EXPECT_EQ(size >> codes[s].length, hits[s]) << "symbol " << s;
  }
}

struct TableCase {
  const char* name;
  const FrequencyArray* freq;
  CodeTable* CodeTableSet::*slot;
  unsigned maxlen;
};
const TableCase kTables[] = {
    {"MainTable", &kMainFrequencies, &CodeTableSet::mainTable, kMainCodeBits},
    {"LongRunTable", &kLongRunFrequencies, &CodeTableSet::longRunTable, kLongRunCodeBits},
    {"OffsetTable", &kOffsetFrequencies, &CodeTableSet::offsetTable, kOffsetCodeBits},
    {"EscapeTable", &kEscapeFrequencies, &CodeTableSet::escapeTable, kEscapeCodeBits},
    {"FarEscapeTable", &kFarEscapeFrequencies, &CodeTableSet::farEscapeTable, kFarEscapeCodeBits},
};

class CodeTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(BuildCodeTableSet(&set_)); }
  static void TearDownTestSuite() { ReleaseCodeTableSet(&set_); }
  static CodeTableSet set_;
};
CodeTableSet CodeTables::set_;

TEST_F(CodeTables, LongestCodesAndCompleteness) {
  const int counts[] = {kMainSymbols, kLongRunSymbols, kOffsetSymbols, kEscapeSymbols, kFarEscapeSymbols};
  for (int t = 0; t < 5; ++t) {
    SCOPED_TRACE(kTables[t].name);
    EXPECT_EQ(counts[t], kTables[t].freq->count);
    const CodeTable* table = set_.*kTables[t].slot;
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(int(kTables[t].maxlen), table->maxlen);
    ExpectCompleteTable(*table, kTables[t].freq->count);
  }
}

TEST_F(CodeTables, PinnedCodes) {
  std::vector<TestCode> offset = CodesOfTable(*set_.offsetTable);
  const char* offsetCodes[11] = {"1",     "001",   "0000",  "0100",  "0110", "00010",
                                 "00011", "01010", "01011", "01110", "01111"};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(offsetCodes[i], StreamBits(offset[i])) << "offset index " << i;

  std::vector<TestCode> main = CodesOfTable(*set_.mainTable);
  EXPECT_EQ("111", StreamBits(main[0]));
  EXPECT_EQ("001", StreamBits(main[129]));
  EXPECT_EQ("1100", StreamBits(main[216]));
  EXPECT_EQ("011110001", StreamBits(main[239]));
  // The explicit deltas +3, -3 and +4 (escape indices 0, 1, 2).
  std::vector<TestCode> escape = CodesOfTable(*set_.escapeTable);
  EXPECT_EQ("100", StreamBits(escape[0]));
  EXPECT_EQ("101", StreamBits(escape[1]));
  EXPECT_EQ("0001", StreamBits(escape[2]));
}

TEST(I24BFormat, PaletteAndEscapeDeltas) {
  struct {
    int index;
    int delta;
  } deltas[] = {{0, 3}, {1, -3}, {2, 4}, {3, -4}, {249, -127}, {250, 128}};
  for (const auto& d : deltas) {
    EXPECT_EQ(d.delta, EscapeDelta(d.index)) << d.index;
    EXPECT_EQ(d.index, EscapeIndex(static_cast<uint8_t>(d.delta))) << d.index;
  }
  // The palette's -2..2 and the explicit deltas cover every byte once.
  std::vector<int> seen(256, 0);
  for (int i = 0; i <= kLastEscapeIndex; ++i) ++seen[static_cast<uint8_t>(EscapeDelta(i))];
  for (int d = -2; d <= 2; ++d) {
    ++seen[static_cast<uint8_t>(d)];
    EXPECT_EQ(d, DigitDelta(DigitOf(static_cast<uint8_t>(d))));
  }
  for (int b = 0; b < 256; ++b) EXPECT_EQ(1, seen[b]) << b;
  // s = 36a + 6b + c gives a - 3, b - 3, c - 3; digit 0 an explicit delta.
  EXPECT_EQ(kExplicitDelta, DigitDelta(RedDigit(0)));
  EXPECT_EQ(kLastPixelSymbol, PixelSymbolOf(5, 5, 5));
  const int s = 36 + 6 * 4 + 5;
  EXPECT_EQ(-2, DigitDelta(RedDigit(s)));
  EXPECT_EQ(1, DigitDelta(GreenDigit(s)));
  EXPECT_EQ(2, DigitDelta(BlueDigit(s)));
  EXPECT_EQ(s, PixelSymbolOf(RedDigit(s), GreenDigit(s), BlueDigit(s)));
}

// The bound behind FewestCodedBytes: no token (a MainTable symbol, a long
// run's LongRunTable symbol, the shortest offset code; explicit deltas only
// add bits) covers its pixels with fewer bits per pixel than the longest
// run does with its codes.
TEST_F(CodeTables, FewestBitsPerPixel) {
  std::vector<TestCode> main = CodesOfTable(*set_.mainTable);
  std::vector<TestCode> longRun = CodesOfTable(*set_.longRunTable);
  std::vector<TestCode> offset = CodesOfTable(*set_.offsetTable);
  int shortestOffset = 99;
  for (int k = 0; k < kOffsetSymbols; ++k) shortestOffset = std::min(shortestOffset, int(offset[k].length));
  auto check = [&](int bits, int pixels, int symbol) {
    EXPECT_GE(uint64_t(bits) * kLongestRunPixels, uint64_t(kLongestRunBits) * pixels) << "main symbol " << symbol;
  };
  for (int s = 0; s < kLongRunSymbol; ++s) check(main[s].length + shortestOffset, s <= kLastPixelSymbol ? 1 : RunPixels(s), s);
  for (int j = 0; j < kLongRunSymbols; ++j) {
    check(main[kLongRunSymbol].length + longRun[j].length + shortestOffset, RunPixels(kLongRunSymbol + j), kLongRunSymbol + j);
  }
  EXPECT_EQ(int(kLongestRunBits), main[kLongRunSymbol].length + longRun[kLongRunSymbols - 1].length + shortestOffset);
}

// Small codes whose shape follows from the merge rule: ties go by symbol,
// an internal node (symbol -1) before a leaf, the lighter node to the left.
TEST(BuildCodeTable, TieBreaks) {
  struct Case {
    std::vector<int32_t> freq;
    std::vector<const char*> codes;
  } cases[] = {
      {{7}, {""}},
      {{5, 5}, {"0", "1"}},
      {{9, 2}, {"1", "0"}},
      // 0 and 1 merge into a node of weight 2 that sorts before leaf 2.
      {{1, 1, 2}, {"00", "01", "1"}},
      // Leaves tie with each other: the lower symbol goes left; the
      // merged node (6) is heavier than leaf 2.
      {{3, 3, 3}, {"10", "11", "0"}},
      {{1, 2, 4, 8}, {"000", "001", "01", "1"}},
  };
  for (const Case& c : cases) {
    CodeTable* table = BuildCodeTable(c.freq.data(), static_cast<int>(c.freq.size()));
    ASSERT_NE(nullptr, table);
    ExpectCompleteTable(*table, static_cast<int>(c.freq.size()));
    std::vector<TestCode> codes = CodesOfTable(*table);
    for (size_t s = 0; s < c.freq.size(); ++s) EXPECT_EQ(c.codes[s], StreamBits(codes[s])) << "symbol " << s;
    ReleaseCodeTable(table);
  }
}

#ifndef _WIN32
// Each heap allocation of the set's build, failed in turn: the build
// reports failure, every slot is null and nothing stays allocated.
TEST(BuildCodeTableSet, OutOfMemory) {
  PlatformResetFaults();
  long before = PlatformLiveHeapAllocs();
  CodeTableSet set;
  ASSERT_TRUE(BuildCodeTableSet(&set));
  ReleaseCodeTableSet(&set);
  long allocations = PlatformCallsMade(kCallHeapAlloc);
  EXPECT_EQ(10, allocations);  // working memory and table, five times
  for (long n = 1; n <= allocations; ++n) {
    PlatformResetFaults();
    PlatformFailCall(kCallHeapAlloc, n, kFaultError);
    memset(&set, 0x5A, sizeof set);
    EXPECT_FALSE(BuildCodeTableSet(&set)) << n;
    EXPECT_EQ(nullptr, set.mainTable);
    EXPECT_EQ(nullptr, set.longRunTable);
    EXPECT_EQ(nullptr, set.offsetTable);
    EXPECT_EQ(nullptr, set.escapeTable);
    EXPECT_EQ(nullptr, set.farEscapeTable);
    EXPECT_EQ(before, PlatformLiveHeapAllocs()) << n;
    EXPECT_EQ(n, PlatformCallsMade(kCallHeapAlloc)) << "the build stops at the failure";
  }
  PlatformResetFaults();
  ReleaseCodeTableSet(&set);
}
#endif

}  // namespace
