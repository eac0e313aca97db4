// The kaldorin tool's picture commands: info, decode, encode and compare, and
// the picture files it reads.
#include "tests/tool_harness.h"

namespace {

// Encode, then info and decode through glimmet, in every way of handing
// the data over, for widths with and without row padding.
TEST_F(ToolTest, EncodeInfoDecodeRoundTrip) {
  struct Case {
    uint32_t width, height;
    std::vector<std::string> options;
    size_t prefix;  // junk bytes before the picture
  };
  const Case cases[] = {
      {1, 1, {}, 0},
      {5, 3, {}, 0},
      {203, 17, {}, 0},
      {64, 9, {"--from-memory"}, 0},
      {33, 8, {"--offset", "100"}, 100},
      {33, 8, {"--offset", "100", "--from-memory"}, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " prefix " + std::to_string(c.prefix));
    RgbImage img = MakePicture(c.width, c.height, c.width);
    std::string bmp = In("pic.bmp");
    WritePicture(bmp, img);
    RunResult r = Run({"encode", bmp, "-o", In("pic.i24"), "--force"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "bits per pixel")) << r.out;
    Bytes coded;
    ASSERT_TRUE(ReadWholeFile(In("pic.i24"), &coded));
    Bytes shifted(c.prefix, 0x5A);
    shifted.insert(shifted.end(), coded.begin(), coded.end());
    std::string input = dir_.Write("shifted.i24", shifted);

    std::vector<std::string> info = {"info", input, "--json"};
    info.insert(info.end(), c.options.begin(), c.options.end());
    r = Run(info);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "\"plugin\": \"" + PluginFile("glimmet") + "\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"width\": " + std::to_string(c.width) + ", \"height\": " + std::to_string(c.height)))
        << r.out;

    for (const char* ext : {".bmp", ".png"}) {
      std::string out = In(std::string("out") + ext);
      std::vector<std::string> decode = {"decode", input, "-o", out, "--check-leaks", "-f"};
      decode.insert(decode.end(), c.options.begin(), c.options.end());
      r = Run(decode);
      ASSERT_EQ(r.status, 0) << r.err;
      ExpectSamePicture(out, img);
      if (kHaveFaultInjection) {
        EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
      }
    }
  }
}

TEST_F(ToolTest, DecodeSeveralFilesIntoAFolder) {
  RgbImage a = MakePicture(7, 5, 1);
  RgbImage b = MakePicture(12, 2, 2);
  WritePicture(In("a.bmp"), a);
  WritePicture(In("b.bmp"), b);
  ASSERT_EQ(Run({"encode", In("a.bmp"), "-o", In("a.i24")}).status, 0);
  ASSERT_EQ(Run({"encode", In("b.bmp"), "-o", In("b.i24")}).status, 0);
  fs::create_directory(In("out"));
  RunResult r = Run({"decode", In("a.i24"), In("b.i24"), "-d", In("out"), "--format", "bmp"});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectSamePicture(In("out/a.bmp"), a);
  ExpectSamePicture(In("out/b.bmp"), b);
  EXPECT_EQ(Listing(In("out")), (std::vector<std::string>{"a.bmp", "b.bmp"}));
  r = Run({"compare", In("a.bmp"), In("out/a.bmp")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "the same 7 x 5 pixels")) << r.out;
}

// Pictures whose coded data ends early: refused with the rows that would be
// guessed and nothing written, unless --allow-truncated (then a warning and
// the picture); a header that no coding could fit in the file is refused
// before the plug-in allocates anything.
TEST_F(ToolTest, TruncatedPicturesAreRefusedUnlessAllowed) {
  RgbImage img = MakePicture(40, 9, 7);
  WritePicture(In("p.bmp"), img);
  ASSERT_EQ(Run({"encode", In("p.bmp"), "-o", In("WHOLE.I24")}).status, 0);
  Bytes whole;
  ReadWholeFile(In("WHOLE.I24"), &whole);
  dir_.Write("CUT.I24", Bytes(whole.begin(), whole.begin() + 24 + (whole.size() - 24) / 2));
  ASSERT_EQ(Run({"pack", In("CUT.PAK"), In("CUT.I24")}).status, 0);
  dir_.Write("huge.i24", MakeI24B(65535, 65535, Bytes(100, 0x5A)));
  dir_.Write("big.i24", MakeI24B(20000, 20000, Bytes(100, 0x5A)));
  const std::string guessed = " to 9 of 9 are guessed";  // the first row depends on the coding
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;  // the line, up to its first row
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {{"decode", "@CUT.I24", "-o", "@out/c.bmp"}, 1, In("CUT.I24") + ": ends early: rows ", {}},
      {{"decode", "@CUT.I24", "-o", "@out/c.bmp", "--from-memory"}, 1, In("CUT.I24") + ": ends early: rows ", {}},
      {{"decode", "@CUT.I24", "-o", "@out/c.bmp", "--allow-truncated"}, 0, In("CUT.I24") + ": ends early: rows ",
       {"c.bmp"}},
      {{"extract", "@CUT.PAK", "-d", "@out", "--decode", "--format", "bmp"}, 1,
       In("CUT.PAK") + ": member CUT.I24: ends early: rows ", {"CUT.I24"}},
      {{"extract", "@CUT.PAK", "-d", "@out", "--decode", "--format", "bmp", "--allow-truncated"}, 0,
       In("CUT.PAK") + ": member CUT.I24: ends early: rows ", {"CUT.I24", "CUT.bmp"}},
      {{"decode", "@WHOLE.I24", "-o", "@out/w.bmp"}, 0, "", {"w.bmp"}},
      {{"decode", "@huge.i24", "-o", "@out/h.bmp"}, 1,
       In("huge.i24") + ": ends early: a 65535 x 65535 picture needs at least 63913009 bytes of coded data, "
                        "the file has 100",
       {}},
      {{"decode", "@big.i24", "-o", "@out/h.bmp", "--from-memory"}, 1,
       In("big.i24") + ": ends early: a 20000 x 20000 picture needs at least 5952500 bytes of coded data, "
                       "the file has 100",
       {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::string trace;
    for (const std::string& a : c.args) {
      args.push_back(a[0] == '@' ? In(a.substr(1)) : a);
      trace += a + " ";
    }
    SCOPED_TRACE(trace);
    fs::remove_all(In("out"));
    fs::create_directory(In("out"));
    auto start = std::chrono::steady_clock::now();
    RunResult r = Run(args);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.message.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.compare(0, 10 + c.message.size(), "kaldorin: " + c.message), 0) << r.err;
      EXPECT_TRUE(Contains(c.message, "picture needs") || Contains(r.err, guessed)) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_LT(seconds, 10.0);
    }
    EXPECT_EQ(Listing(In("out")), c.written);
    if (c.status == 0 && !c.message.empty()) {
      // What --allow-truncated writes is the plug-in's picture: the top
      // rows, whole in the data, as they were.
      RgbImage cut;
      std::string error;
      ASSERT_TRUE(ReadImageFile(In("out/" + c.written.back()), &cut, &error)) << error;
      ASSERT_EQ(cut.width, 40u);
      ASSERT_EQ(cut.height, 9u);
      EXPECT_TRUE(std::equal(img.rgb.begin(), img.rgb.begin() + 3 * 40, cut.rgb.begin()));
    }
  }
}

// encode refuses transparency unless told how to drop it, reads 16-bit
// samples without gamma changes and names its output after the input;
// compare exits like cmp. The PNG rows run on every build: through libpng
// natively, through the Windows Imaging Component under Wine.
TEST_F(ToolTest, EncodeTransparencyDepthNamesAndCompareStatus) {
  // Opaque, clear, half opaque, nearly clear white.
  const std::vector<uint16_t> rgba = {10, 20, 30, 255, 200, 100, 50, 0, 200, 100, 50, 128, 255, 255, 255, 1};
  const std::vector<uint8_t> colours = {10, 20, 30, 200, 100, 50, 200, 100, 50, 255, 255, 255};
  const std::vector<uint8_t> overBackground = {10, 20, 30, 16, 32, 48, 108, 66, 49, 17, 33, 49};  // over #102030
  std::vector<uint8_t> bmpPixels;
  for (size_t i = 0; i < rgba.size(); i += 4) {
    for (int c : {2, 1, 0, 3}) bmpPixels.push_back(static_cast<uint8_t>(rgba[i + c]));
  }
  dir_.Write("clear.bmp", Bmp32(bmpPixels, true));
  std::vector<uint8_t> padded = bmpPixels;
  for (size_t i = 3; i < padded.size(); i += 4) padded[i] = static_cast<uint8_t>(i);  // not alpha
  dir_.Write("padded.bmp", Bmp32(padded, false));
  fs::create_directory(In("dir.v2"));
  WritePicture(In("dir.v2/noext.bmp"), MakePicture(3, 2, 7));
  fs::rename(In("dir.v2/noext.bmp"), In("dir.v2/noext"));
  WritePicture(In("dir.v2/h.bmp"), MakePicture(2, 2, 8));
  fs::rename(In("dir.v2/h.bmp"), In("dir.v2/.hidden"));
  WritePicture(In("a.bmp"), MakePicture(4, 3, 9));
  WritePicture(In("b.bmp"), MakePicture(4, 3, 10));
  WriteTestPng(In("clear.png"), {kPngRgba, 8, 4, rgba, {}, {}, false});
  WriteTestPng(In("opaque.png"), {kPngRgba, 8, 1, {1, 2, 3, 255}, {}, {}, false});
  WriteTestPng(In("deep.png"), {kPngRgb, 16, 2, {0x8000, 0x7FFF, 0xFFFF, 0, 0x0101, 0x8001}, {}, {}, false});
  WriteTestPng(In("dir.v2/holiday.png"), {kPngRgb, 8, 1, {7, 8, 9}, {}, {}, false});
  // The same colours as clear.png, fully opaque.
  WriteTestPng(In("colours.png"), {kPngRgb, 8, 4, {colours.begin(), colours.end()}, {}, {}, false});
  // clear.png cut inside its last chunk, and with a byte of its pixel data
  // changed (the chunk's checksum no longer matches).
  Bytes whole;
  ASSERT_TRUE(ReadWholeFile(In("clear.png"), &whole));
  dir_.Write("cut.png", Bytes(whole.begin(), whole.end() - 6));
  whole[whole.size() - 20] ^= 0xFF;
  dir_.Write("bad.png", whole);

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string message;
    std::string output;          // written on success; absent after a failure
    std::vector<uint8_t> pixels;  // the output's pixels, decoded
  };
  const std::string refusal = "4 pixels are not fully opaque and I24B has no transparency; use --background COLOR";
  const Case cases[] = {
      {"transparent BMP refused", {"encode", In("clear.bmp")}, 1, In("clear.bmp") + ": 3 of " + refusal,
       In("clear.i24"), {}},
      {"over a background", {"encode", In("clear.bmp"), "--background", "#102030"}, 0, "", In("clear.i24"),
       overBackground},
      {"alpha ignored", {"encode", In("clear.bmp"), "--ignore-alpha", "-o", In("x.i24")}, 0, "", In("x.i24"),
       colours},
      {"both ways at once", {"encode", In("clear.bmp"), "--ignore-alpha", "--background", "102030"}, 2,
       "--background and --ignore-alpha exclude each other", In("clear.i24"), {}},
      {"bad colour", {"encode", In("clear.bmp"), "--background", "#10203"}, 2,
       "--background needs a colour as #RRGGBB", In("clear.i24"), {}},
      {"fourth byte of plain 32-bit BMP", {"encode", In("padded.bmp")}, 0, "", In("padded.i24"), colours},
      {"name without extension", {"encode", In("dir.v2/noext")}, 0, "", In("dir.v2/noext.i24"),
       MakePicture(3, 2, 7).rgb},
      {"leading-dot name", {"encode", In("dir.v2/.hidden")}, 0, "", In("dir.v2/.hidden.i24"),
       MakePicture(2, 2, 8).rgb},
      {"transparent PNG refused", {"encode", In("clear.png"), "-o", In("x.i24")}, 1, "3 of " + refusal,
       In("x.i24"), {}},
      {"PNG over a background", {"encode", In("clear.png"), "--background", "102030"}, 0, "",
       In("clear.i24"), overBackground},
      {"PNG alpha ignored", {"encode", In("clear.png"), "--ignore-alpha"}, 0, "", In("clear.i24"), colours},
      {"opaque alpha channel", {"encode", In("opaque.png")}, 0, "", In("opaque.i24"), {1, 2, 3}},
      {"16-bit samples", {"encode", In("deep.png")}, 0, "", In("deep.i24"), {128, 127, 255, 0, 1, 128}},
      {"default name", {"encode", In("dir.v2/holiday.png")}, 0, "", In("dir.v2/holiday.i24"), {7, 8, 9}},
      {"compare: same", {"compare", In("a.bmp"), In("a.bmp")}, 0, "", "", {}},
      {"compare: different", {"compare", In("a.bmp"), In("b.bmp")}, 1, "differs from", "", {}},
      {"compare: other size", {"compare", In("a.bmp"), In("padded.bmp")}, 1, "4 x 1 pixels against 4 x 3",
       "", {}},
      {"compare: missing file", {"compare", In("a.bmp"), In("none.bmp")}, 2, In("none.bmp") + ": ", "", {}},
      {"compare: not a picture", {"compare", In("dir.v2/noext.i24"), In("a.bmp")}, 2,
       In("dir.v2/noext.i24") + ": not a PNG or BMP file", "", {}},
      {"compare: alpha differs", {"compare", In("padded.bmp"), In("clear.bmp")}, 1,
       "in 3 pixels, first at (1, 0): 200,100,50,0 against 200,100,50,255", "", {}},
      {"compare: PNG alpha differs", {"compare", In("colours.png"), In("clear.png")}, 1, "in 3 pixels", "", {}},
      {"compare: opaque alpha", {"compare", In("opaque.png"), In("opaque.png")}, 0, "", "", {}},
      {"compare: truncated PNG", {"compare", In("cut.png"), In("a.bmp")}, 2, In("cut.png") + ": PNG: file is truncated",
       "", {}},
      {"compare: damaged PNG", {"compare", In("bad.png"), In("a.bmp")}, 2, In("bad.png") + ": PNG: ", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.output.empty()) fs::remove(c.output);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    if (c.output.empty()) continue;
    if (c.status != 0) {
      EXPECT_FALSE(fs::exists(c.output));
      continue;
    }
    ASSERT_EQ(Run({"decode", c.output, "-o", In("check.bmp"), "--force"}).status, 0);
    RgbImage got;
    std::string error;
    ASSERT_TRUE(ReadImageFile(In("check.bmp"), &got, &error)) << error;
    EXPECT_EQ(got.rgb, c.pixels);
  }
  // Failed runs leave no temporary files behind.
  for (const std::string& name : Listing(dir_.path())) EXPECT_NE(name[0], '.') << name;
}

// Every PNG colour type and bit depth, with and without tRNS, expanded to
// 8-bit RGB (and alpha) without gamma changes.
TEST(ReadImageFile, PngColourTypesAndDepths) {
  const int kGrey = kPngGrey, kGreyAlpha = kPngGreyAlpha, kPalette = kPngPalette, kRgb = kPngRgb, kRgba = kPngRgba;
  const std::vector<uint8_t> pal = {1, 2, 3, 250, 251, 252, 9, 99, 199};
  struct Case {
    const char* what;
    TestPng png;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> alpha;  // empty: the picture has no alpha
  };
  const Case cases[] = {
      {"grey 1", {kGrey, 1, 3, {0, 1, 0}, {}, {}, false}, {0, 0, 0, 255, 255, 255, 0, 0, 0}, {}},
      {"grey 2", {kGrey, 2, 4, {0, 1, 2, 3}, {}, {}, false}, {0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255}, {}},
      {"grey 4", {kGrey, 4, 3, {1, 8, 15}, {}, {}, false}, {17, 17, 17, 136, 136, 136, 255, 255, 255}, {}},
      {"grey 8", {kGrey, 8, 2, {0, 128}, {}, {}, false}, {0, 0, 0, 128, 128, 128}, {}},
      {"grey 16", {kGrey, 16, 4, {0x7FFF, 0x8000, 0x0707, 0xFFFF}, {}, {}, false},
       {127, 127, 127, 128, 128, 128, 7, 7, 7, 255, 255, 255}, {}},
      {"grey 1 tRNS", {kGrey, 1, 2, {0, 1}, {}, {1}, false}, {0, 0, 0, 255, 255, 255}, {255, 0}},
      {"grey 2 tRNS", {kGrey, 2, 2, {2, 3}, {}, {2}, false}, {170, 170, 170, 255, 255, 255}, {0, 255}},
      {"grey 4 tRNS", {kGrey, 4, 2, {5, 6}, {}, {6}, false}, {85, 85, 85, 102, 102, 102}, {255, 0}},
      {"grey 8 tRNS", {kGrey, 8, 2, {127, 128}, {}, {127}, false}, {127, 127, 127, 128, 128, 128}, {0, 255}},
      // The transparent grey is matched at 16 bits, before scaling.
      {"grey 16 tRNS", {kGrey, 16, 2, {0x8000, 0x8001}, {}, {0x8000}, false}, {128, 128, 128, 128, 128, 128},
       {0, 255}},
      {"grey alpha 8", {kGreyAlpha, 8, 2, {10, 0, 200, 128}, {}, {}, false}, {10, 10, 10, 200, 200, 200}, {0, 128}},
      {"grey alpha 16", {kGreyAlpha, 16, 2, {0x8000, 0x7FFF, 0xFFFF, 0xFFFF}, {}, {}, false},
       {128, 128, 128, 255, 255, 255}, {127, 255}},
      {"palette 1", {kPalette, 1, 3, {1, 0, 1}, {pal.begin(), pal.begin() + 6}, {}, false},
       {250, 251, 252, 1, 2, 3, 250, 251, 252}, {}},
      {"palette 2", {kPalette, 2, 3, {2, 0, 1}, pal, {}, false}, {9, 99, 199, 1, 2, 3, 250, 251, 252}, {}},
      // tRNS shorter than the palette: later entries are opaque.
      {"palette 4 tRNS", {kPalette, 4, 3, {2, 1, 0}, pal, {0, 128}, false}, {9, 99, 199, 250, 251, 252, 1, 2, 3},
       {255, 128, 0}},
      {"palette 8", {kPalette, 8, 2, {1, 2}, pal, {}, false}, {250, 251, 252, 9, 99, 199}, {}},
      {"palette 8 tRNS", {kPalette, 8, 2, {1, 2}, pal, {7, 8, 9}, false}, {250, 251, 252, 9, 99, 199}, {8, 9}},
      {"RGB 8", {kRgb, 8, 2, {1, 2, 3, 250, 128, 0}, {}, {}, false}, {1, 2, 3, 250, 128, 0}, {}},
      {"RGB 16", {kRgb, 16, 2, {0x8000, 0x7FFF, 0xFFFF, 0x0101, 0x0202, 0x0303}, {}, {}, false},
       {128, 127, 255, 1, 2, 3}, {}},
      {"RGB 8 tRNS", {kRgb, 8, 2, {1, 2, 3, 1, 2, 4}, {}, {1, 2, 3}, false}, {1, 2, 3, 1, 2, 4}, {0, 255}},
      {"RGB 16 tRNS", {kRgb, 16, 2, {0x8000, 0x8000, 0x8000, 0x8001, 0x8000, 0x8000}, {}, {0x8000, 0x8000, 0x8000},
                       false},
       {128, 128, 128, 128, 128, 128}, {0, 255}},
      {"RGBA 8", {kRgba, 8, 2, {1, 2, 3, 0, 4, 5, 6, 255}, {}, {}, false}, {1, 2, 3, 4, 5, 6}, {0, 255}},
      {"RGBA 16", {kRgba, 16, 1, {0x8000, 0, 0xFFFF, 0x7FFF}, {}, {}, false}, {128, 0, 255}, {127}},
      {"interlaced grey 8", {kGrey, 8, 3, {0, 10, 20, 30, 40, 50, 60, 70, 80}, {}, {}, true},
       {0, 0, 0, 10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40, 50, 50, 50, 60, 60, 60, 70, 70, 70, 80, 80, 80}, {}},
      {"interlaced palette 2 tRNS", {kPalette, 2, 2, {0, 1, 2, 1}, pal, {5}, true},
       {1, 2, 3, 250, 251, 252, 9, 99, 199, 250, 251, 252}, {5, 255, 255, 255}},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.File("t.png");
    WriteTestPng(path, c.png);
    RgbImage got;
    std::string error;
    ASSERT_TRUE(ReadImageFile(path, &got, &error)) << error;
    EXPECT_EQ(got.width, c.png.width);
    EXPECT_EQ(got.rgb, c.rgb);
    EXPECT_EQ(got.alpha, c.alpha);
  }
}

}  // namespace
