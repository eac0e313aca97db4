// glimmet's GetPicture as a host calls it: hand-worked pictures, every way a
// reference or a write can leave the pixel block, random token streams
// checked against the reference decoder (tests/i24b_model.h), end of data
// and a large picture; the decoder core's report of the first row that data
// ending early left to guesswork; and the decode of a whole file in memory
// without the plug-in.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"
#include "tests/i24b_model.h"
#include "tests/i24b_samples.h"
#include "tests/i24b_test_writer.h"
#include "tests/plugin_host.h"

namespace {

using namespace i24b;

// Progress calls seen by RecordProgress, which cancels at nNum == gCancelAt.
struct ProgressCall {
  int num;
  int denom;
  SpiLong data;
  bool operator==(const ProgressCall& o) const { return num == o.num && denom == o.denom && data == o.data; }
};
std::vector<ProgressCall> gCalls;
int gCancelAt = -1;

int SPI_CALL RecordProgress(int num, int denom, SpiLong data) {
  gCalls.push_back(ProgressCall{num, denom, data});
  return num == gCancelAt ? 1 : 0;
}

struct Decoded {
  ResultCode result = -99;
  DibHeader dib = {};
  Bytes pixels;
  size_t blockSize = 0;
};

// kWideFile and kWideMemory go through GetPictureW, the file named
// `wideName` (UTF-8, any script; folders with '/').
enum class Source { kMemory, kFile, kWideFile, kWideMemory };

class GlimmetDecode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoadPlugin("glimmet", &plugin_));
    ASSERT_TRUE(BuildCodeTableSet(&tables_));
    fast_ = BuildFastTables(tables_);
    ASSERT_NE(nullptr, fast_);
    std::string error;
    ASSERT_TRUE(model::PrepareReferenceDecoder(&error)) << error;
  }
  static void TearDownTestSuite() {
    ReleaseFastTables(fast_);
    fast_ = nullptr;
    ReleaseCodeTableSet(&tables_);
    UnloadPlugin(&plugin_);
  }
  void SetUp() override {
    getPicture = plugin_.Get<GetPictureFn>("GetPicture");
    getPictureW = plugin_.Get<GetPictureWFn>("GetPictureW");
    ASSERT_NE(nullptr, getPicture);
    ASSERT_NE(nullptr, getPictureW);
    gCalls.clear();
    gCancelAt = -1;
    before = LiveResources();
  }
  void TearDown() override { EXPECT_EQ(before, LiveResources()) << "a block or stream leaked"; }

  // Runs GetPicture on `image` and takes over the blocks it hands out.
  Decoded Decode(const Bytes& image, Source source = Source::kMemory, ProgressCallback callback = RecordProgress,
                 SpiLong lData = 77) {
    Decoded d;
    HLOCAL info = reinterpret_cast<HLOCAL>(1);
    HLOCAL pixels = reinterpret_cast<HLOCAL>(1);
    if (source == Source::kMemory) {
      d.result = getPicture(reinterpret_cast<LPCSTR>(image.data()), static_cast<SpiLong>(image.size()), kInputMemory,
                            &info, &pixels, callback, lData);
    } else if (source == Source::kWideMemory) {
      d.result = getPictureW(reinterpret_cast<LPCWSTR>(image.data()), static_cast<SpiLong>(image.size()), kInputMemory,
                             &info, &pixels, callback, lData);
    } else {
      // Behind a few foreign bytes, to read from a file offset.
      Bytes file(13, 0xEE);
      file.insert(file.end(), image.begin(), image.end());
      if (source == Source::kWideFile) {
        const std::u16string path = dir.WideFile(wideName);
        EXPECT_TRUE(WriteWholeFile(path, file));
        d.result = getPictureW(AsWide(path), 13, kInputFile, &info, &pixels, callback, lData);
      } else {
        std::string path = dir.Write("picture.i24", file);
        d.result = getPicture(path.c_str(), 13, kInputFile, &info, &pixels, callback, lData);
      }
    }
    if (d.result != kResultOk) {
      EXPECT_EQ(nullptr, info) << "handle left after a failure";
      EXPECT_EQ(nullptr, pixels) << "handle left after a failure";
      return d;
    }
    EXPECT_EQ(40u, LocalSize(info));
    void* p = LocalLock(info);
    EXPECT_NE(nullptr, p);
    if (p != nullptr) memcpy(&d.dib, p, sizeof d.dib);
    LocalUnlock(info);
    d.blockSize = LocalSize(pixels);
    p = LocalLock(pixels);
    EXPECT_NE(nullptr, p);
    if (p != nullptr) d.pixels.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + d.blockSize);
    LocalUnlock(pixels);
    EXPECT_EQ(nullptr, LocalFree(info));
    EXPECT_EQ(nullptr, LocalFree(pixels));
    return d;
  }

  I24BTestWriter Writer() const { return I24BTestWriter(tables_); }

  // The first guessed row as DecodeImage reports it (the picture decoded
  // from memory) and as ScanCodedRows does.
  std::pair<uint32_t, uint32_t> FirstGuessedRows(const Bytes& image) {
    std::pair<uint32_t, uint32_t> rows(0, 0);
    unsigned char raw[kHeaderSize];
    memcpy(raw, image.data(), kHeaderSize);
    Header header = {};
    EXPECT_EQ(kResultOk, ParseHeader(raw, &header));
    Bytes pixels(size_t{RowStride(header.width)} * header.height);
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_EQ(kResultOk,
              DecodeImage(*fast_, image.data(), image.size(), pixels.data(), pixels.size(), &width, &height, &rows.first));
    EXPECT_EQ(kResultOk, ScanCodedRows(*fast_, image.data() + kHeaderSize, image.size() - kHeaderSize, header.width,
                                       header.height, nullptr, 0, &rows.second));
    return rows;
  }

  static Plugin plugin_;
  static CodeTableSet tables_;
  static FastTables* fast_;
  GetPictureFn getPicture = nullptr;
  GetPictureWFn getPictureW = nullptr;
  std::string wideName;  // of Source::kWideFile
  Resources before;
  ScratchDir dir;
};
Plugin GlimmetDecode::plugin_;
CodeTableSet GlimmetDecode::tables_;
FastTables* GlimmetDecode::fast_ = nullptr;

// Two pixels coded in three bytes: the first from a black reference with
// explicit deltas +3, -3 and +4 (red, green, blue), the second repeating it.
TEST_F(GlimmetDecode, TwoPixelsWithExplicitDeltas) {
  Bytes image = MakeI24B(2, 1, {0xE6, 0x51, 0x24});
  for (Source source : {Source::kMemory, Source::kFile}) {
    gCalls.clear();
    Decoded d = Decode(image, source);
    ASSERT_EQ(kResultOk, d.result);
    EXPECT_EQ(Bytes({0xFC, 0x03, 0xFD, 0xFC, 0x03, 0xFD, 0x00, 0x00}), d.pixels);
    EXPECT_EQ(40u, d.dib.biSize);
    EXPECT_EQ(2, d.dib.biWidth);
    EXPECT_EQ(1, d.dib.biHeight);
    EXPECT_EQ(1, d.dib.biPlanes);
    EXPECT_EQ(24, d.dib.biBitCount);
    EXPECT_EQ(0u, d.dib.biCompression);
    EXPECT_EQ(8u, d.dib.biSizeImage);
    EXPECT_EQ(0, d.dib.biXPelsPerMeter);
    EXPECT_EQ(0, d.dib.biYPelsPerMeter);
    EXPECT_EQ(0u, d.dib.biClrUsed);
    EXPECT_EQ(0u, d.dib.biClrImportant);
    ASSERT_EQ(2u, gCalls.size());
    EXPECT_EQ(0, gCalls[0].num);
    EXPECT_EQ(1, gCalls[1].num);
    for (const ProgressCall& c : gCalls) {
      EXPECT_EQ(1, c.denom);
      EXPECT_EQ(77, c.data);
    }
  }
  // Without a callback the picture decodes the same.
  Decoded quiet = Decode(image, Source::kMemory, nullptr);
  EXPECT_EQ(kResultOk, quiet.result);
  EXPECT_EQ(Bytes({0xFC, 0x03, 0xFD, 0xFC, 0x03, 0xFD, 0x00, 0x00}), quiet.pixels);
}

// Small pictures with hand-worked results, each touching one rule: black
// references at and past the end, references that start before the block
// or overlap the output pixel, runs that read or write past the end and the
// pad zeroing that follows them.
TEST_F(GlimmetDecode, HandWorkedPictures) {
  struct Case {
    const char* what;
    int width, height;
    void (*write)(I24BTestWriter* w);
    Bytes expected;
  } cases[] = {
      {"1x1, reference (0,1) at the end reads black", 1, 1,
       [](I24BTestWriter* w) { w->Pixel(1, 1, 2, 0x80); }, {0x80, 0xFE, 0xFF, 0}},
      {"width 1, (-1,1) starts one byte into the output pixel", 1, 2,
       [](I24BTestWriter* w) {
         w->Pixel(1, 0xF0, 0xF1, 0xF2);  // top row: black reference
         w->Pixel(3, 0xFF, 0xFF, 0xFF);  // (-1,1): pad 0, then the red and green just written
       },
       {3, 2, 1, 0, 0x0E, 0x0F, 0x10, 0}},
      {"bottom row, (-1,0) and (-2,0) start before the block", 2, 1,
       [](I24BTestWriter* w) {
         w->Pixel(0, 1, 2, 3);     // ref -3
         w->Pixel(6, 10, 20, 30);  // (-2,0): ref -3 again
       },
       {0xFD, 0xFE, 0xFF, 0xE2, 0xEC, 0xF6, 0, 0}},
      {"width 1, (-2,1) in the bottom row starts 2 bytes before the block", 1, 2,
       [](I24BTestWriter* w) {
         w->Pixel(1, 0x50, 0x60, 0x70);
         w->Pixel(5, 0, 0, 1);  // (-2,1): the move of index 1 left it at 5
       },
       {0xFF, 0, 0, 0, 0x90, 0xA0, 0xB0, 0}},
      {"top-row run writes past the end; a pixel reads 2 bytes before the end", 2, 2,
       [](I24BTestWriter* w) {
         w->Pixel(1, 0x10, 0x20, 0x30);  // top row x=0: F0 E0 D0 (blue first: D0 E0 F0)
         w->Run(2, 1);                   // (-1,0): bytes 11..16, 16 dropped, then the pad is dropped
         w->Pixel(2, 0, 0, 0);           // bottom x=0: (1,1) -> top pixel 1
         w->Pixel(0, 0, 0, 0);           // bottom x=1: (1,1) -> bytes 14, 15, 16
       },
       {0xD0, 0xE0, 0xF0, 0xD0, 0xE0, 0, 0, 0, 0xD0, 0xE0, 0xF0, 0xD0, 0xE0, 0xF0, 0xD0, 0xE0}},
      {"bottom-row run reads past the end and overshoots into the row above", 2, 2,
       [](I24BTestWriter* w) {
         w->Pixel(1, 1, 2, 3);  // top row: FF FE FD, blue first
         w->Pixel(0, 4, 5, 6);  // (0,1) again: black
         w->Run(4, 0);          // bottom row: (0,1), 12 bytes from 8..19
       },
       {0xFD, 0xFE, 0xFF, 0xFA, 0xFB, 0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"width 5: one pad byte per row, also after an overshooting run", 5, 2,
       [](I24BTestWriter* w) {
         for (int x = 0; x < 5; ++x) w->Pixel(x == 0 ? 1 : 0, 0xFF, 0xFF, 0xFF);  // all (0,1): 0 - (-1)
         // Bottom row from (0,1): 18 bytes, the last two read past the end;
         // then the pad byte lands at 18.
         w->Run(6, 0);
       },
       {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    I24BTestWriter w = Writer();
    c.write(&w);
    Decoded d = Decode(MakeI24B(uint16_t(c.width), uint16_t(c.height), w.bytes()));
    ASSERT_EQ(kResultOk, d.result);
    EXPECT_EQ(c.expected, d.pixels);
  }
}

// Progress and cancellation: the callback sees (r, height) before each row
// and (height, height) at the end, also when it cancels.
TEST_F(GlimmetDecode, ProgressAndCancellation) {
  I24BTestWriter w = Writer();
  for (int i = 0; i < 3; ++i) w.Run(4, 0);
  Bytes image = MakeI24B(4, 3, w.bytes());
  struct Case {
    int cancelAt;
    ResultCode result;
    std::vector<int> calls;
  } cases[] = {
      {-1, kResultOk, {0, 1, 2, 3}},
      {0, kResultCancelled, {0, 3}},
      {2, kResultCancelled, {0, 1, 2, 3}},
      {3, kResultCancelled, {0, 1, 2, 3}},  // cancelling only at the end
  };
  for (const Case& c : cases) {
    gCalls.clear();
    gCancelAt = c.cancelAt;
    Decoded d = Decode(image, Source::kFile, RecordProgress, -5);
    EXPECT_EQ(c.result, d.result) << c.cancelAt;
    std::vector<int> nums;
    for (const ProgressCall& call : gCalls) {
      nums.push_back(call.num);
      EXPECT_EQ(3, call.denom);
      EXPECT_EQ(-5, call.data);
    }
    EXPECT_EQ(c.calls, nums) << c.cancelAt;
  }
}

// Refusals before any row: no callback, no handle, nothing left open.
TEST_F(GlimmetDecode, RefusedPictures) {
  I24BHeaderFields bad;
  bad.width = 2;
  bad.height = 1;
  bad.bitsPerPixel = 32;
  Bytes shortHeader = MakeI24B(2, 1, {});
  shortHeader.resize(20);
  struct Case {
    const char* what;
    Bytes image;
    ResultCode result;
  } cases[] = {
      {"width 0, height 3", MakeI24B(0, 3, {0xFF}), kResultMemoryError},
      {"width 3, height 0", MakeI24B(3, 0, {0xFF}), kResultMemoryError},
      {"height x stride beyond 32 bits", MakeI24B(65535, 65535, {0xFF}), kResultOutOfMemory},
      {"stride 196608 x 21846 rows", MakeI24B(65535, 21846, {}), kResultOutOfMemory},
      {"wrong header", MakeI24BHeader(bad), kResultUnknownFormat},
      {"short header", shortHeader, kResultReadError},
  };
  for (const Case& c : cases) {
    for (Source source : {Source::kMemory, Source::kFile}) {
      gCalls.clear();
      EXPECT_EQ(c.result, Decode(c.image, source).result) << c.what;
      EXPECT_TRUE(gCalls.empty()) << c.what;
    }
  }
  HLOCAL h = nullptr;
  Bytes image = MakeI24B(2, 1, {0xE6, 0x51, 0x24});
  LPCSTR data = reinterpret_cast<LPCSTR>(image.data());
  EXPECT_EQ(kResultInternalError, getPicture(data, 27, kInputMemory, nullptr, &h, nullptr, 0));
  EXPECT_EQ(kResultInternalError, getPicture(data, 27, kInputMemory, &h, nullptr, nullptr, 0));
  EXPECT_EQ(kResultInternalError, getPicture(data, 27, 2, &h, &h, nullptr, 0));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(kResultReadError, getPicture(dir.File("none.i24").c_str(), 0, kInputFile, &h, &h, nullptr, 0));
}

// Coded data that ends early decodes as if zero bits followed: the result
// is that of the same stream padded with zero bytes.
TEST_F(GlimmetDecode, EndOfDataReadsZeros) {
  std::mt19937 random(7);
  for (int cut : {0, 1, 2, 5, 40}) {
    I24BTestWriter w = Writer();
    for (int i = 0; i < 30; ++i) w.Pixel(int(random() % 11), uint8_t(random()), uint8_t(random()), 7);
    Bytes coded = w.bytes();
    coded.resize(coded.size() > size_t(cut) ? coded.size() - cut : 0);
    Bytes padded = coded;
    padded.resize(padded.size() + 400, 0);
    Decoded shortened = Decode(MakeI24B(30, 4, coded));
    Decoded reference = Decode(MakeI24B(30, 4, padded), Source::kFile);
    ASSERT_EQ(kResultOk, shortened.result) << cut;
    ASSERT_EQ(kResultOk, reference.result) << cut;
    EXPECT_EQ(reference.pixels, shortened.pixels) << cut;
  }
}

// Coded data that ends early: the first row whose tokens need a bit past
// the end is reported (the rows from there on are guessed), by the writer's
// own count of where each row ends. A row ending exactly at the last byte
// is whole; zero bits that fill the last byte are not needed by any row.
struct CodedRows {
  Bytes coded;
  std::vector<uint64_t> rowEnd;  // bits up to the end of each row's tokens
};
CodedRows RowsOfRuns(const CodeTableSet& tables, int height) {
  I24BTestWriter w(tables);
  CodedRows rows;
  for (int r = 0; r < height; ++r) {
    w.Run(2, 0);  // 4 + 1 bits: a row of width 2
    rows.rowEnd.push_back(w.bitCount());
  }
  rows.coded = w.bytes();
  return rows;
}
// One row of random tokens: pixels with palette and explicit deltas, runs
// of 2..7 pixels and, one in `longOdds`, of up to 126 (past the row's end).
void WriteRandomRow(I24BTestWriter* w, int width, unsigned longOdds, std::mt19937* random) {
  for (int count = 0; count < width;) {
    const int k = int((*random)() % kOffsetSymbols);
    if ((*random)() % 2) {
      uint8_t delta[3];
      for (uint8_t& d : delta) d = uint8_t((*random)() % 3 ? int((*random)() % 5) - 2 : int((*random)()));
      w->Pixel(k, delta[0], delta[1], delta[2]);
      count += 1;
    } else {
      const int n = (*random)() % longOdds ? int(2 + (*random)() % 6) : int(2 + (*random)() % 125);
      w->Run(n, k);
      count += n;
    }
  }
}
CodedRows RandomRows(const CodeTableSet& tables, int width, int height, std::mt19937* random) {
  I24BTestWriter w(tables);
  CodedRows rows;
  for (int r = 0; r < height; ++r) {
    WriteRandomRow(&w, width, 125, random);
    rows.rowEnd.push_back(w.bitCount());
  }
  rows.coded = w.bytes();
  return rows;
}
uint32_t ExpectedFirstGuessedRow(const CodedRows& rows, size_t bytes) {
  for (size_t r = 0; r < rows.rowEnd.size(); ++r) {
    if (rows.rowEnd[r] > 8 * uint64_t{bytes}) return uint32_t(r);
  }
  return kNoGuessedRow;
}

TEST_F(GlimmetDecode, FirstGuessedRow) {
  const CodedRows rows16 = RowsOfRuns(tables_, 16);     // 80 bits: 10 whole bytes
  const CodedRows rows15 = RowsOfRuns(tables_, 15);     // 75 bits: the last byte ends in 5 zero bits
  const CodedRows rows60k = RowsOfRuns(tables_, 60000);  // 37500 bytes: past the first window refills
  ASSERT_EQ(10u, rows16.coded.size());
  ASSERT_EQ(10u, rows15.coded.size());
  Bytes padded = rows16.coded;
  padded.push_back(0);
  struct Case {
    const char* what;
    const Bytes* coded;
    int height;
    size_t kept;
    uint32_t expected;
  } cases[] = {
      {"whole", &rows16.coded, 16, 10, kNoGuessedRow},
      {"a zero byte after the data", &padded, 16, 11, kNoGuessedRow},
      {"last byte half padding, whole", &rows15.coded, 15, 10, kNoGuessedRow},
      {"no coded data", &rows16.coded, 16, 0, 0},
      {"one byte: row 0 whole, row 1 cut", &rows16.coded, 16, 1, 1},
      {"row 7 ends on the last byte", &rows16.coded, 16, 5, 8},
      {"one byte short", &rows16.coded, 16, 9, 14},
      {"last byte half padding, cut before it", &rows15.coded, 15, 9, 14},
      {"row 47999 ends on the last byte of the 30000", &rows60k.coded, 60000, 30000, 48000},
      {"one byte short of 37500", &rows60k.coded, 60000, 37499, 59998},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes coded(c.coded->begin(), c.coded->begin() + c.kept);
    std::pair<uint32_t, uint32_t> got = FirstGuessedRows(MakeI24B(2, uint16_t(c.height), coded));
    EXPECT_EQ(c.expected, got.first);
    EXPECT_EQ(c.expected, got.second);
  }
  // Every cut of pictures of random tokens, explicit deltas and long runs
  // among them.
  std::mt19937 random(99);
  for (int i = 0; i < 4; ++i) {
    const int width = 1 + int(random() % 200);
    const CodedRows rows = RandomRows(tables_, width, 7, &random);
    for (size_t kept = 0; kept <= rows.coded.size(); ++kept) {
      Bytes coded(rows.coded.begin(), rows.coded.begin() + kept);
      std::pair<uint32_t, uint32_t> got = FirstGuessedRows(MakeI24B(uint16_t(width), 7, coded));
      const uint32_t expected = ExpectedFirstGuessedRow(rows, kept);
      ASSERT_EQ(expected, got.first) << "width " << width << ", " << kept << " bytes";
      ASSERT_EQ(expected, got.second) << "width " << width << ", " << kept << " bytes";
    }
  }
}

// The block that the decoder with a 32-bit bit buffer makes of `image`
// (as 32-bit builds decode), whatever this build's own buffer is.
Bytes DecodeNarrow(const FastTables& fast, const Bytes& image, int width, int height) {
  const size_t stride = RowStride(uint32_t(width));
  Bytes block(stride * size_t(height), 0);  // zeroed, as GetPicture's block is
  const PixelBlock pixels = {block.data(), block.size(), uint32_t(stride), uint32_t(width), uint32_t(height)};
  const CodedInput input = MemoryInput(image.data() + kHeaderSize, image.size() - kHeaderSize);
  EXPECT_EQ(kResultOk, DecodePixelsNarrow(fast, input, pixels, nullptr, 0));
  return block;
}

// The same tables with SSE2 turned off, so that 32-bit x86 builds, which
// have a decoder for processors without SSE2 too, test that one as well.
std::unique_ptr<FastTables> WithoutSse2(const FastTables& fast) {
  std::unique_ptr<FastTables> plain(new FastTables(fast));
  plain->sse2 = false;
  return plain;
}

// A picture of random tokens and its pixels as the reference decoder makes them.
struct RandomPicture {
  Bytes image;
  Bytes expected;
};
RandomPicture MakeRandomPicture(const CodeTableSet& tables, int width, int height, std::mt19937* random) {
  I24BTestWriter w(tables);
  for (int r = 0; r < height; ++r) WriteRandomRow(&w, width, 4, random);
  RandomPicture p{MakeI24B(uint16_t(width), uint16_t(height), w.bytes()), {}};
  const Bytes coded = w.bytes();
  EXPECT_TRUE(model::ReferenceDecode(coded.data(), coded.size(), uint32_t(width), uint32_t(height), &p.expected));
  return p;
}

// Random tokens over small pictures reach every edge case: references
// before the start and past the end, overlapping references, runs over the
// row ends and past the block. The decoder must agree with the reference
// decoder byte for byte (and, natively, touch nothing outside the block).
TEST_F(GlimmetDecode, RandomTokensMatchReferenceDecoder) {
  std::mt19937 random(2024);
  const std::unique_ptr<FastTables> plain = WithoutSse2(*fast_);
  for (int i = 0; i < 400; ++i) {
    int width = 1 + int(random() % (i < 300 ? 9 : 300));
    int height = 1 + int(random() % 6);
    RandomPicture p = MakeRandomPicture(tables_, width, height, &random);
    Decoded d = Decode(p.image, i % 5 == 0 ? Source::kFile : Source::kMemory);
    ASSERT_EQ(kResultOk, d.result) << i;
    ASSERT_EQ(p.expected, d.pixels) << "picture " << i << ": " << width << " x " << height;
    ASSERT_EQ(p.expected, DecodeNarrow(*fast_, p.image, width, height)) << "32-bit buffer, picture " << i;
    ASSERT_EQ(p.expected, DecodeNarrow(*plain, p.image, width, height)) << "32-bit buffer without SSE2, picture " << i;
  }
}

// Decoding through a window of a few rows gives every row of the whole
// block, in order, also when the window slides many times, held garbage, or
// the data ends early; a window smaller than the fewest rows is refused.
TEST_F(GlimmetDecode, WindowOfRowsGivesTheWholeBlock) {
  struct Taken {
    std::vector<Bytes> rows;
    size_t rowBytes;
  };
  const TakeRow take = [](void* context, uint32_t row, const uint8_t* bgr) {
    Taken* t = static_cast<Taken*>(context);
    EXPECT_EQ(t->rows.size(), row) << "rows come in order";
    t->rows.emplace_back(bgr, bgr + t->rowBytes);
  };
  std::mt19937 random(77);
  for (int i = 0; i < 60; ++i) {
    const int width = i == 59 ? 0 : i % 3 == 0 ? 1 + int(random() % 8) : 9 + int(random() % 291);
    const uint32_t fewest = FewestWindowRows(uint32_t(width));
    const int height = 1 + int(random() % (3 * fewest));
    RandomPicture p = MakeRandomPicture(tables_, width, height, &random);
    if (i % 4 == 1) p.image.resize(p.image.size() - p.image.size() / 3);  // ends early
    const size_t stride = RowStride(uint32_t(width));
    Bytes block(stride * size_t(height), 0);
    const PixelBlock whole = {block.data(), block.size(), uint32_t(stride), uint32_t(width), uint32_t(height)};
    const CodedInput input = MemoryInput(p.image.data() + kHeaderSize, p.image.size() - kHeaderSize);
    uint32_t guessed = 0, windowGuessed = 1;
    ASSERT_EQ(kResultOk, DecodePixels(*fast_, input, whole, nullptr, 0, &guessed));

    const uint32_t rows = fewest + uint32_t(random() % 3);
    Bytes window(stride * rows);
    for (uint8_t& b : window) b = uint8_t(random());
    Taken t = {{}, 3 * size_t(width)};
    ASSERT_EQ(kResultOk, DecodeThroughWindow(*fast_, input, uint32_t(width), uint32_t(height), window.data(), rows,
                                             take, &t, nullptr, 0, &windowGuessed));
    EXPECT_EQ(guessed, windowGuessed) << "picture " << i;
    ASSERT_EQ(size_t(height), t.rows.size()) << "picture " << i;
    for (int y = 0; y < height; ++y) {
      const uint8_t* expected = block.data() + size_t(height - 1 - y) * stride;
      ASSERT_TRUE(Bytes(expected, expected + 3 * width) == t.rows[y])
          << "picture " << i << " (" << width << " x " << height << ", " << rows << " rows), row " << y;
    }
  }
  EXPECT_EQ(5u, FewestWindowRows(130));
  Taken none = {{}, 3};
  Bytes window(4 * 103);
  EXPECT_EQ(kResultOutOfMemory, DecodeThroughWindow(*fast_, MemoryInput(nullptr, 0), 1, 200, window.data(),
                                                    FewestWindowRows(1) - 1, take, &none, nullptr, 0));
  EXPECT_TRUE(none.rows.empty());
}

// A large picture whose pixels are known by construction: runs copy the
// pixel to the left or the one above, single pixels correct the pixel to the
// left (black at the start of a row).
struct LargePicture {
  Bytes image;
  Bytes expected;
};
LargePicture MakeLargePicture(const CodeTableSet& tables, int width, int height) {
  const int stride = (3 * width + 3) & ~3;
  auto colour = [](int x, int y, int c) -> uint8_t {
    // Bands of one colour (runs from the left), rows repeated in pairs
    // (runs from above), and noise.
    if ((y / 2) % 3 == 1) y -= y % 2;
    int band = (x / 29 + y / 4) % 7;
    if (band < 5) return uint8_t(40 * c + 3 * band + y / 4);
    return uint8_t((x * 7 + y * 13 + c * 101) ^ (x * y >> 3));
  };
  I24BTestWriter w(tables);
  std::vector<std::pair<int, int>> list;
  for (const ReferenceOffset& o : kReferenceOffsets) list.push_back({o.dx, o.dy});
  auto take = [&list](int dx, int dy) {
    int k = 0;
    while (list[k] != std::make_pair(dx, dy)) ++k;
    list.erase(list.begin() + k);
    list.insert(list.begin(), {dx, dy});
    return k;
  };
  Bytes expected(size_t(height) * stride, 0);
  std::vector<uint8_t> row(3 * width), above(3 * width);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) row[3 * x + c] = colour(x, y, c);
    int x = 0;
    while (x < width) {
      auto same = [&](int a, int b) { return memcmp(&row[3 * a], &row[3 * b], 3) == 0; };
      int left = 0, up = 0;
      while (x > 0 && x + left < width && left < 126 && same(x + left, x - 1)) ++left;
      while (y > 0 && x + up < width && up < 126 && memcmp(&row[3 * (x + up)], &above[3 * (x + up)], 3) == 0) ++up;
      if (left >= 2 && left >= up) {
        w.Run(left, take(-1, 0));
        x += left;
      } else if (up >= 2) {
        w.Run(up, take(0, 1));
        x += up;
      } else {
        const uint8_t* ref = &row[3 * x - 3];
        uint8_t zero[3] = {0, 0, 0};
        if (x == 0) ref = zero;
        // Bytes are blue, green, red; deltas are given red first.
        w.Pixel(take(-1, 0), uint8_t(ref[2] - row[3 * x + 2]), uint8_t(ref[1] - row[3 * x + 1]),
                uint8_t(ref[0] - row[3 * x]));
        ++x;
      }
    }
    memcpy(&expected[size_t(height - 1 - y) * stride], row.data(), row.size());
    above = row;
  }
  return LargePicture{MakeI24B(uint16_t(width), uint16_t(height), w.bytes()), expected};
}

// GetPictureW and GetPictureInfoW with files and folders named in other
// scripts give what GetPicture and GetPictureInfo give for an ASCII name:
// the same blocks and the same progress reports.
TEST_F(GlimmetDecode, WideNamesGiveWhatAnsiNamesGive) {
  LargePicture p = MakeLargePicture(tables_, 37, 23);
  gCalls.clear();
  const Decoded ansi = Decode(p.image, Source::kFile);
  ASSERT_EQ(kResultOk, ansi.result);
  const auto ansiCalls = gCalls;
  auto getPictureInfo = plugin_.Get<GetPictureInfoFn>("GetPictureInfo");
  auto getPictureInfoW = plugin_.Get<GetPictureInfoWFn>("GetPictureInfoW");
  ASSERT_TRUE(getPictureInfo && getPictureInfoW);
  PictureInfo ansiInfo;
  memset(&ansiInfo, 0, sizeof ansiInfo);
  ASSERT_EQ(kResultOk, getPictureInfo(dir.File("picture.i24").c_str(), 13, kInputFile, &ansiInfo));
  const char* names[] = {
      "\xE7\x94\xBB\xE5\x83\x8F/\xE5\xA3\x81\xE7\xB4\x99.i24",  // Japanese
      "\xCE\xB5\xCE\xB9\xCE\xBA\xCF\x8C\xCE\xBD\xCE\xB1/\xCF\x86\xCF\x89\xCF\x84\xCF\x8C.i24",  // Greek
      "\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB8\xD0\xBD\xD0\xBA\xD0\xB8/\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE.i24",  // Cyrillic
      "\xF0\x9F\x8E\xA8/\xF0\x9F\x96\xBC.i24",  // emoji (surrogate pairs)
      "",  // memory
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    wideName = name;
    const bool fromMemory = wideName.empty();
    if (!fromMemory) {
      ASSERT_TRUE(MakeFolders(dir.WideFile(wideName.substr(0, wideName.find('/')))));
    }
    gCalls.clear();
    const Decoded wide = Decode(p.image, fromMemory ? Source::kWideMemory : Source::kWideFile);
    ASSERT_EQ(kResultOk, wide.result);
    EXPECT_EQ(0, memcmp(&ansi.dib, &wide.dib, sizeof ansi.dib));
    EXPECT_TRUE(ansi.pixels == wide.pixels) << "pixels differ";
    EXPECT_TRUE(ansiCalls == gCalls) << "progress reports differ";
    if (fromMemory) continue;
    PictureInfo info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(kResultOk, getPictureInfoW(AsWide(dir.WideFile(wideName)), 13, kInputFile, &info));
    EXPECT_EQ(0, memcmp(&ansiInfo, &info, sizeof info));
  }
  // A file that is not there is a read error, as for GetPicture.
  wideName = std::string(names[0]) + ".missing";
  HLOCAL info = nullptr, pixels = nullptr;
  EXPECT_EQ(kResultReadError, getPictureW(AsWide(dir.WideFile(wideName)), 0, kInputFile, &info, &pixels, nullptr, 0));
}

TEST_F(GlimmetDecode, LargePictureFromFileAndMemory) {
  LargePicture p = MakeLargePicture(tables_, 4001, 3000);
  for (Source source : {Source::kFile, Source::kMemory}) {
    gCalls.clear();
    Decoded d = Decode(p.image, source);
    ASSERT_EQ(kResultOk, d.result);
    EXPECT_EQ(12004u * 3000u, d.dib.biSizeImage);
    EXPECT_TRUE(p.expected == d.pixels) << "pixels differ";
    EXPECT_EQ(3001u, gCalls.size());
  }
  EXPECT_TRUE(p.expected == DecodeNarrow(*fast_, p.image, 4001, 3000)) << "pixels differ with a 32-bit buffer";
  EXPECT_TRUE(p.expected == DecodeNarrow(*WithoutSse2(*fast_), p.image, 4001, 3000))
      << "pixels differ with a 32-bit buffer without SSE2";
}

// The same core without the plug-in: top-down rows of red, green, blue, as
// GetPicture's bottom-up blue, green, red rows turned over; refusals first.
TEST_F(GlimmetDecode, DecodeImageInMemory) {
  Bytes twoPixels = MakeI24B(2, 1, {0xE6, 0x51, 0x24});
  Bytes notI24B = twoPixels;
  notI24B[0] = 'X';
  struct Case {
    const char* what;
    Bytes image;
    size_t room;
    ResultCode result;
  } refusals[] = {
      {"short header", Bytes(twoPixels.begin(), twoPixels.begin() + 23), 8, kResultUnknownFormat},
      {"wrong magic", notI24B, 8, kResultUnknownFormat},
      {"buffer one byte short", twoPixels, 7, kResultOutOfMemory},
  };
  for (const Case& c : refusals) {
    Bytes rgb(c.room, 0xAA);
    uint32_t width = 0, height = 0;
    EXPECT_EQ(c.result, DecodeImage(*fast_, c.image.data(), c.image.size(), rgb.data(), rgb.size(), &width, &height))
        << c.what;
    EXPECT_EQ(Bytes(c.room, 0xAA), rgb) << c.what << ": nothing is written";
  }
  // Into a buffer that holds garbage, as a reused one does: every byte is
  // as a zeroed buffer has it.
  std::mt19937 random(5);
  for (int i = 0; i < 20; ++i) {
    const int w = 1 + int(random() % 40), h = 1 + int(random() % 9);
    RandomPicture p = MakeRandomPicture(tables_, w, h, &random);
    Bytes rgb(p.expected.size());
    for (uint8_t& b : rgb) b = uint8_t(random());
    uint32_t width = 0, height = 0;
    ASSERT_EQ(kResultOk, DecodeImage(*fast_, p.image.data(), p.image.size(), rgb.data(), rgb.size(), &width, &height));
    EXPECT_EQ(uint32_t(w), width);
    EXPECT_EQ(uint32_t(h), height);
    Bytes zeroed(p.expected.size(), 0);
    ASSERT_EQ(kResultOk,
              DecodeImage(*fast_, p.image.data(), p.image.size(), zeroed.data(), zeroed.size(), &width, &height));
    EXPECT_TRUE(zeroed == rgb) << "picture " << i << ": a buffer that held garbage decodes as a zeroed one";
    const size_t stride = RowStride(width);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
          ASSERT_EQ(p.expected[(h - 1 - y) * stride + 3 * x + 2 - c], rgb[y * stride + 3 * x + c])
              << "picture " << i << " at " << x << "," << y;
        }
      }
    }
  }
}

}  // namespace
