// The I24B encoder: its code book and bit writer against known codes, its
// argument checks and progress, and round trips through glimmet's GetPicture.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/plugin_api.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"
#include "image_i24b/i24b_bit_writer.h"
#include "image_i24b/i24b_code_book.h"
#include "image_i24b/i24b_encoder.h"

namespace {

using namespace i24b;

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

TEST(Encoder, TwoPixelsWithExplicitDeltas) {
  // Pixels as red, green, blue: FD 03 FC twice.
  const uint8_t rgb[] = {0xFD, 0x03, 0xFC, 0xFD, 0x03, 0xFC};
  std::vector<uint8_t> out;
  i24b::EncodeStats stats;
  std::string error;
  ASSERT_TRUE(i24b::EncodeI24B(rgb, 2, 1, &out, &stats, nullptr, nullptr, &error)) << error;
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
    EXPECT_FALSE(i24b::EncodeI24B(pixel, c.width, c.height, &out, nullptr, nullptr, nullptr, &error))
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
  ASSERT_TRUE(i24b::EncodeI24B(rgb.data(), 4, 5, &out, nullptr, LogProgress, &log, &error)) << error;
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 2, 3, 4}), log.rows);
  EXPECT_EQ(5u, log.height);

  ProgressLog stop;
  stop.stopAt = 2;
  EXPECT_FALSE(i24b::EncodeI24B(rgb.data(), 4, 5, &out, nullptr, LogProgress, &stop, &error));
  EXPECT_EQ("cancelled", error);
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), stop.rows);
  EXPECT_TRUE(out.empty());
}

// Test pictures: top-down R,G,B rows.
struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;
  uint8_t* At(uint32_t x, uint32_t y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

struct Random {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 24); }
};

Image Blank(uint32_t width, uint32_t height) {
  Image img;
  img.width = width;
  img.height = height;
  img.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  return img;
}

Image Noise(uint32_t width, uint32_t height, uint32_t seed) {
  Image img = Blank(width, height);
  Random r{seed};
  for (uint8_t& b : img.rgb) b = r.Byte();
  return img;
}

Image Flat(uint32_t width, uint32_t height, uint8_t red, uint8_t green, uint8_t blue) {
  Image img = Blank(width, height);
  for (size_t i = 0; i < img.rgb.size(); i += 3) {
    img.rgb[i] = red;
    img.rgb[i + 1] = green;
    img.rgb[i + 2] = blue;
  }
  return img;
}

// A smooth gradient with a little noise, like a sky in a photograph.
Image Gradient(uint32_t width, uint32_t height, int noise, uint32_t seed) {
  Image img = Blank(width, height);
  Random r{seed};
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = img.At(x, y);
      int n = noise > 0 ? static_cast<int>(r.Next() % (2 * noise + 1)) - noise : 0;
      p[0] = static_cast<uint8_t>(x * 255 / width + n);
      p[1] = static_cast<uint8_t>(y * 255 / height + n / 2);
      p[2] = static_cast<uint8_t>((x + y) / 3);
    }
  }
  return img;
}

// Rows of single-coloured stretches of 1 to 300 pixels: runs of every length.
Image Stripes(uint32_t width, uint32_t height, uint32_t seed) {
  Image img = Blank(width, height);
  Random r{seed};
  for (uint32_t y = 0; y < height; ++y) {
    uint32_t x = 0;
    while (x < width) {
      uint32_t len = 1 + r.Next() % 300;
      uint8_t c[3] = {r.Byte(), r.Byte(), r.Byte()};
      for (; len > 0 && x < width; --len, ++x) memcpy(img.At(x, y), c, 3);
    }
  }
  return img;
}

// Noise in which every pixel whose neighbour (x + dx, y - dy) lies in the
// picture repeats that neighbour: only that one offset predicts well.
Image Copies(uint32_t width, uint32_t height, int dx, int dy, uint32_t seed) {
  Image img = Noise(width, height, seed);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      int sx = static_cast<int>(x) + dx;
      int sy = static_cast<int>(y) - dy;
      if (sx >= 0 && sx < static_cast<int>(width) && sy >= 0) memcpy(img.At(x, y), img.At(sx, sy), 3);
    }
  }
  return img;
}

// The pixel block glimmet must produce: bottom-up rows of B,G,R padded with
// zeros to a multiple of four bytes.
std::vector<uint8_t> ExpectedBlock(const Image& img) {
  size_t stride = (3 * static_cast<size_t>(img.width) + 3) & ~size_t{3};
  std::vector<uint8_t> block(stride * img.height, 0);
  for (uint32_t y = 0; y < img.height; ++y) {
    uint8_t* out = &block[(img.height - 1 - y) * stride];
    const uint8_t* in = &img.rgb[static_cast<size_t>(y) * img.width * 3];
    for (uint32_t x = 0; x < img.width; ++x) {
      out[3 * x] = in[3 * x + 2];
      out[3 * x + 1] = in[3 * x + 1];
      out[3 * x + 2] = in[3 * x];
    }
  }
  return block;
}

class EncoderRoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadPlugin("glimmet", &plugin_)); }
  static void TearDownTestSuite() { UnloadPlugin(&plugin_); }
  void SetUp() override {
    getPicture = plugin_.Get<GetPictureFn>("GetPicture");
    ASSERT_NE(nullptr, getPicture);
  }

  // Encodes `img`, decodes the file through GetPicture from memory and
  // compares the pixel block; returns the bits per pixel of the coded data.
  double RoundTrip(const std::string& name, const Image& img) {
    std::vector<uint8_t> file;
    i24b::EncodeStats stats;
    std::string error;
    EXPECT_TRUE(i24b::EncodeI24B(img.rgb.data(), img.width, img.height, &file, &stats, nullptr, nullptr, &error))
        << name << ": " << error;
    const uint64_t pixels = static_cast<uint64_t>(img.width) * img.height;
    EXPECT_EQ(pixels, stats.singlePixels + stats.runPixels) << name;
    EXPECT_EQ(24 + (stats.codedBits + 7) / 8, file.size()) << name;

    HLOCAL info = nullptr;
    HLOCAL bits = nullptr;
    int rc = getPicture(reinterpret_cast<LPCSTR>(file.data()), static_cast<SpiLong>(file.size()), kInputMemory,
                        &info, &bits, nullptr, 0);
    EXPECT_EQ(0, rc) << name;
    if (rc == 0) {
      std::vector<uint8_t> expected = ExpectedBlock(img);
      const auto* got = static_cast<const uint8_t*>(LocalLock(bits));
      EXPECT_EQ(expected.size(), static_cast<size_t>(LocalSize(bits))) << name;
      size_t n = expected.size() < LocalSize(bits) ? expected.size() : LocalSize(bits);
      size_t first = 0;
      while (first < n && got[first] == expected[first]) ++first;
      EXPECT_EQ(n, first) << name << ": first differing byte of the pixel block";
      LocalUnlock(bits);
      LocalFree(info);
      LocalFree(bits);
    }
    return static_cast<double>(stats.codedBits) / static_cast<double>(pixels);
  }

  static Plugin plugin_;
  GetPictureFn getPicture = nullptr;
};
Plugin EncoderRoundTrip::plugin_;

TEST_F(EncoderRoundTrip, PicturesOfEveryShape) {
  struct Case {
    std::string name;
    Image img;
    double maxBitsPerPixel;  // catches a search that stops finding what it should
  } cases[] = {
      {"noise 37x23", Noise(37, 23, 1), 40},
      {"flat 300x7", Flat(300, 7, 10, 200, 30), 0.2},
      {"black 64x64", Flat(64, 64, 0, 0, 0), 0.3},
      {"gradient 200x40", Gradient(200, 40, 0, 2), 9},
      {"noisy gradient 180x30", Gradient(180, 30, 2, 3), 12},
      {"stripes 700x12", Stripes(700, 12, 4), 1.5},
      {"width 1", Gradient(1, 97, 3, 5), 24},
      {"width 2", Noise(2, 41, 6), 40},
      {"width 3", Gradient(3, 40, 2, 7), 20},
      {"width 5", Stripes(5, 60, 8), 12},
      {"width 7", Noise(7, 33, 9), 40},
      {"width 3001", Gradient(3001, 3, 3, 10), 14},
      {"tall 1x3000", Gradient(1, 3000, 0, 11), 6},
      {"tall 2x1500", Gradient(2, 1500, 1, 12), 16},
      {"noise 1x1", Noise(1, 1, 13), 40},
  };
  for (const Case& c : cases) {
    double bpp = RoundTrip(c.name, c.img);
    EXPECT_LT(bpp, c.maxBitsPerPixel) << c.name;
  }
}

// Pictures that only one reference offset predicts, for each of the eleven,
// at different places in the move-to-front list; together with noise they
// need every kind of token: runs short and long, far escapes.
TEST_F(EncoderRoundTrip, EveryOffset) {
  for (int p = 0; p < kOffsetSymbols; ++p) {
    const ReferenceOffset& o = kReferenceOffsets[p];
    for (uint32_t width : {1u, 6u, 61u}) {
      std::string name =
          "copies of (" + std::to_string(o.dx) + ", " + std::to_string(o.dy) + ") width " + std::to_string(width);
      Image img = Copies(width, 40, o.dx, o.dy, 20 + p);
      double bpp = RoundTrip(name, img);
      if (width == 61) {
        EXPECT_LT(bpp, 4) << name;
      }
    }
  }
}

// Small pictures of a few colours, black among them: many equal pixels at
// every distance, so references that wrap around the row ends, read pad
// bytes or undecoded zeros, and runs that end at the row's end all get
// chosen somewhere.
TEST_F(EncoderRoundTrip, SmallPicturesOfFewColours) {
  const uint8_t colours[4][3] = {{0, 0, 0}, {255, 255, 255}, {0, 0, 1}, {200, 3, 90}};
  Random r{77};
  for (uint32_t width = 1; width <= 9; ++width) {
    for (uint32_t height = 1; height <= 6; ++height) {
      Image img = Blank(width, height);
      for (size_t i = 0; i < img.rgb.size(); i += 3) memcpy(&img.rgb[i], colours[r.Next() % 4], 3);
      RoundTrip(std::to_string(width) + "x" + std::to_string(height), img);
    }
  }
}

}  // namespace
