// The I24B encoder: its code book and bit writer against known codes, its
// argument checks and progress, and round trips through glimmet's GetPicture.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/plugin_host.h"
#include "tests/test_files.h"
#include "tools/i24b_bit_writer.h"
#include "tools/i24b_code_book.h"
#include "tools/i24b_encoder.h"

namespace {

// Stream bits of a code word, first bit first, as "0"/"1" characters.
std::string BitString(const CodeWord& c) {
  std::string s;
  for (int b = c.length - 1; b >= 0; --b) s += ((c.bits >> b) & 1) ? '1' : '0';
  return s;
}

TEST(EncoderCodeBook, KnownCodes) {
  I24BCodeBook book;
  std::string error;
  ASSERT_TRUE(BuildI24BCodeBook(&book, &error)) << error;
  const char* offsets[kOffsetSymbols] = {"1",     "001",   "0000",  "0100",  "0110", "00010",
                                         "00011", "01010", "01011", "01110", "01111"};
  for (int k = 0; k < kOffsetSymbols; ++k) EXPECT_EQ(offsets[k], BitString(book.offset[k])) << "offset " << k;
  struct {
    int symbol;
    const char* bits;
  } mains[] = {{0, "111"}, {129, "001"}, {216, "1100"}, {239, "011110001"}};
  for (const auto& m : mains) EXPECT_EQ(m.bits, BitString(book.main[m.symbol])) << "main " << m.symbol;

  // Escape indices as the decoder maps them to deltas: 0 -> +3, 1 -> -3,
  // 2 -> +4, 249 -> -127, 250 -> 0x80; the palette covers -2..2.
  struct {
    uint8_t delta;
    int digit;
    int escapeIndex;
  } deltas[] = {{0, 3, 0}, {1, 4, 0}, {2, 5, 0}, {254, 1, 0}, {255, 2, 0},  {3, 0, 0},
                {253, 0, 1}, {4, 0, 2}, {129, 0, 249}, {128, 0, 250}, {45, 0, 84}};
  for (const auto& d : deltas) {
    EXPECT_EQ(d.digit, book.delta[d.delta].digit) << int{d.delta};
    if (d.digit == 0) {
      EXPECT_EQ(d.escapeIndex, book.delta[d.delta].escapeIndex) << int{d.delta};
    }
  }
  // An escape index from 43 on costs the escape symbol 43 plus a far code.
  EXPECT_EQ(book.escape[0].length, book.delta[3].escapeBits);
  EXPECT_EQ(book.escape[43].length + book.farEscape[250 - 43].length, book.delta[128].escapeBits);
  EXPECT_EQ(book.main[216].length, book.runBits[2]);
  EXPECT_EQ(book.main[239].length + book.longRun[101].length, book.runBits[126]);
}

TEST(EncoderBitWriter, PacksFirstBitHighAndPadsWithZeros) {
  std::vector<uint8_t> out;
  BitWriter w;
  w.out = &out;
  // 111 001 100 101 0001 001 001 (+ two pad bits) = E6 51 24.
  const CodeWord codes[] = {{7, 3}, {1, 3}, {4, 3}, {5, 3}, {1, 4}, {1, 3}, {1, 3}};
  for (const CodeWord& c : codes) PutCode(&w, c);
  EXPECT_EQ(22u, w.total);
  FlushBits(&w);
  EXPECT_EQ((std::vector<uint8_t>{0xE6, 0x51, 0x24}), out);

  // Long enough to pass through the 32-bit flush.
  out.clear();
  w = BitWriter();
  w.out = &out;
  for (int i = 0; i < 5; ++i) PutBits(&w, 0x1A5, 9);  // 110100101 x5 = 45 bits
  FlushBits(&w);
  EXPECT_EQ((std::vector<uint8_t>{0xD2, 0xE9, 0x74, 0xBA, 0x5D, 0x28}), out);
}

TEST(Encoder, TwoByOneExample) {
  // Pixels as red, green, blue: FD 03 FC twice.
  const uint8_t rgb[] = {0xFD, 0x03, 0xFC, 0xFD, 0x03, 0xFC};
  std::vector<uint8_t> out;
  EncodeStats stats;
  std::string error;
  ASSERT_TRUE(EncodeI24B(rgb, 2, 1, &out, &stats, nullptr, nullptr, &error)) << error;
  ASSERT_EQ(27u, out.size());
  const uint8_t header[24] = {'I', '2', '4', 'B', 0, 0, 1, 0, 0, 0, 0, 0, 2, 0, 1, 0, 24, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(header, out.data(), 24));
  EXPECT_EQ((std::vector<uint8_t>{0xE6, 0x51, 0x24}), std::vector<uint8_t>(out.begin() + 24, out.end()));
  EXPECT_EQ(22u, stats.codedBits);
  EXPECT_EQ(2u, stats.singlePixels);
  EXPECT_EQ(0u, stats.runs);
}

TEST(Encoder, RefusesSizesTheFormatCannotHold) {
  const uint8_t pixel[3] = {1, 2, 3};
  struct {
    uint32_t width;
    uint32_t height;
  } cases[] = {{0, 1}, {1, 0}, {65536, 1}, {1, 65536}, {65535, 21846}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& c : cases) {
    std::vector<uint8_t> out(5, 0);
    std::string error;
    EXPECT_FALSE(EncodeI24B(pixel, c.width, c.height, &out, nullptr, nullptr, nullptr, &error))
        << c.width << "x" << c.height;
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(out.empty());
  }
}

struct ProgressLog {
  std::vector<uint32_t> rows;
  uint32_t height = 0;
  uint32_t stopAt = 0xFFFFFFFFu;
};

bool LogProgress(uint32_t row, uint32_t height, void* user) {
  auto* log = static_cast<ProgressLog*>(user);
  log->rows.push_back(row);
  log->height = height;
  return row != log->stopAt;
}

TEST(Encoder, ProgressBeforeEachRowAndCancellation) {
  std::vector<uint8_t> rgb(4 * 5 * 3, 7);
  std::vector<uint8_t> out;
  std::string error;
  ProgressLog log;
  ASSERT_TRUE(EncodeI24B(rgb.data(), 4, 5, &out, nullptr, LogProgress, &log, &error)) << error;
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 2, 3, 4}), log.rows);
  EXPECT_EQ(5u, log.height);

  ProgressLog stop;
  stop.stopAt = 2;
  EXPECT_FALSE(EncodeI24B(rgb.data(), 4, 5, &out, nullptr, LogProgress, &stop, &error));
  EXPECT_EQ("cancelled", error);
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), stop.rows);
  EXPECT_TRUE(out.empty());
}

}  // namespace
