// The kaldorin tool's archive commands: pack, list and extract.
#include "tests/tool_harness.h"
#include "tools/kaldorin_shown_names.h"
#include "tools/member_overlaps.h"

namespace {

TEST_F(ToolTest, PackListExtractRoundTrip) {
  RgbImage img = MakePicture(21, 6, 3);
  WritePicture(In("src.bmp"), img);
  ASSERT_EQ(Run({"encode", In("src.bmp"), "-o", In("PIC.I24")}).status, 0);
  dir_.Write("README.TXT", Bytes{'h', 'e', 'l', 'l', 'o'});
  dir_.Write("tiny.d", Bytes{1});
  RunResult r = Run({"pack", In("T.PAK"), In("README.TXT"), In("PIC.I24"), In("tiny.d")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "3 members")) << r.out;

  r = Run({"list", In("T.PAK")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "           5          104           README.TXT")) << r.out;
  EXPECT_TRUE(Contains(r.out, "PIC.I24") && Contains(r.out, "tiny.d") && Contains(r.out, "3 members")) << r.out;
  r = Run({"info", In("T.PAK"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "{\"name\": \"README.TXT\", \"path\": \"\", \"method\": \" \", \"position\": 104, "
                              "\"compsize\": 5, \"size\": 5, \"timestamp\": 0}"))
      << r.out;

  const std::vector<std::vector<std::string>> ways = {{}, {"--via-memory"}, {"--from-memory"},
                                                      {"--from-memory", "--via-memory"}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.empty() ? "to files" : way[0] + (way.size() > 1 ? " " + way[1] : ""));
    std::string out = In("x");
    fs::remove_all(out);
    std::vector<std::string> args = {"extract", In("T.PAK"), "-d", out, "--decode", "--format", "bmp", "--check-leaks"};
    args.insert(args.end(), way.begin(), way.end());
    r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listing(out), (std::vector<std::string>{"PIC.I24", "PIC.bmp", "README.TXT", "tiny.d"}));
    for (const char* name : {"README.TXT", "PIC.I24", "tiny.d"}) {
      Bytes want, got;
      ReadWholeFile(In(name), &want);
      ReadWholeFile(out + "/" + name, &got);
      EXPECT_EQ(got, want) << name;
    }
    ExpectSamePicture(out + "/PIC.bmp", img);
    if (kHaveFaultInjection) {
      EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
    }
  }

  // Named members are found without regard to case.
  fs::remove_all(In("y"));
  r = Run({"extract", In("T.PAK"), "readme.txt", "-d", In("y")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(In("y")), std::vector<std::string>{"README.TXT"});

  // An archive 37 bytes into a larger file: listed with --offset; its
  // members come out through memory, while GetFile on the file reads the
  // directory from the file's start and refuses.
  Bytes embedded(37, 0);
  Bytes pak;
  ReadWholeFile(In("T.PAK"), &pak);
  embedded.insert(embedded.end(), pak.begin(), pak.end());
  std::string emb = dir_.Write("EMB.BIN", embedded);
  r = Run({"list", emb, "--offset", "37"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "README.TXT")) << r.out;
  r = Run({"extract", emb, "--offset", "37", "--from-memory", "-d", In("z")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(In("z")), (std::vector<std::string>{"PIC.I24", "README.TXT", "tiny.d"}));
  r = Run({"extract", emb, "tiny.d", "--offset", "37", "-d", In("w")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "member tiny.d: " + PluginFile("chestrel") + " GetFile: not in a format the plug-in knows")) << r.err;
  EXPECT_TRUE(Contains(r.err, "try --from-memory")) << r.err;
  EXPECT_TRUE(Listing(In("w")).empty());
}

// Empty members first, last, in the middle and alone, packed and extracted
// in every way, come back byte for byte; so do the members of a hand-built
// archive whose empty member shares its position with a data member.
TEST_F(ToolTest, EmptyMembersAndTheirNeighboursComeBackWhole) {
  const std::vector<std::vector<std::string>> layouts = {
      {"", "hello world 123\n"}, {"data", ""}, {"a", "", "bb"}, {"", "", ""}, {"", "x", "", "", "yz", ""}};
  std::vector<std::pair<std::string, std::vector<std::string>>> archives;  // archive, member contents
  for (size_t l = 0; l < layouts.size(); ++l) {
    std::vector<std::string> args = {"pack", In("L" + std::to_string(l) + ".PAK")};
    for (size_t i = 0; i < layouts[l].size(); ++i) {
      args.push_back(dir_.Write("M" + std::to_string(i) + ".TXT", Text(layouts[l][i])));
    }
    RunResult r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    archives.push_back({args[1], layouts[l]});
  }
  dir_.Write("SHARED.PAK", HandBuiltPack({{80, 0, "M0.TXT"}, {80, 5, "M1.TXT"}}, Text("hello")));
  archives.push_back({In("SHARED.PAK"), {"", "hello"}});

  const std::vector<std::vector<std::string>> ways = {{}, {"--via-memory"}, {"--from-memory"},
                                                      {"--from-memory", "--via-memory"}};
  for (const auto& archive : archives) {
    for (const auto& way : ways) {
      SCOPED_TRACE(archive.first + (way.empty() ? "" : " " + way[0]) + (way.size() > 1 ? " " + way[1] : ""));
      std::string out = In("out");
      fs::remove_all(out);
      std::vector<std::string> args = {"extract", archive.first, "-d", out};
      args.insert(args.end(), way.begin(), way.end());
      RunResult r = Run(args);
      ASSERT_EQ(r.status, 0) << r.err;
      for (size_t i = 0; i < archive.second.size(); ++i) {
        Bytes got;
        EXPECT_TRUE(ReadWholeFile(out + "/M" + std::to_string(i) + ".TXT", &got)) << i;
        EXPECT_EQ(got, Text(archive.second[i])) << "member " << i;
      }
      EXPECT_EQ(Listing(out).size(), archive.second.size());
    }
  }
}

// What users of unzip, tar and convert expect: wildcards, "-" for standard
// input and output, -q, -v and one JSON object per line.
TEST_F(ToolTest, WildcardsStandardStreamsAndVerbosity) {
  dir_.Write("DATA.TXT", Text("hello world 123\n"));
  dir_.Write("EMPTY.TXT", Text(""));
  RgbImage img = MakePicture(13, 7, 11);
  WritePicture(In("pic.bmp"), img);
  ASSERT_EQ(Run({"encode", In("pic.bmp"), "-o", In("PIC.I24")}).status, 0);
  ASSERT_EQ(Run({"pack", In("T.PAK"), In("EMPTY.TXT"), In("DATA.TXT"), In("PIC.I24")}).status, 0);
  struct Case {
    std::vector<std::string> args;
    std::string input;  // standard input, or empty
    int status;
    std::string out;  // standard output holds this
    std::string err;  // standard error holds this
    std::string outputFolder;
    std::vector<std::string> files;  // what the output folder then holds
  };
  const std::string pluginCall = PluginFile("chestrel") + " GetArchiveInfoW(file at byte 0) -> 0 (success)";
  const Case cases[] = {
      {{"extract", In("T.PAK"), "*.txt", "-d", In("a")}, "", 0, "extracted DATA.TXT", "", "a", {"DATA.TXT", "EMPTY.TXT"}},
      {{"extract", In("T.PAK"), "d?ta.[s-t]xt", "*.I2[0-9]", "DATA.TXT", "-d", In("b"), "-q"}, "", 0, "", "", "b",
       {"DATA.TXT", "PIC.I24"}},
      {{"extract", "-", "[!D]*", "-d", In("c"), "--json"}, In("T.PAK"), 0,
       "{\"member\": \"EMPTY.TXT\", \"action\": \"extracted\"", "", "c", {"EMPTY.TXT", "PIC.I24"}},
      {{"list", "-", "--json"}, In("T.PAK"), 0, "\"name\": \"DATA.TXT\", \"path\": \"\", \"method\": \" \", \"position\": 104", "", "", {}},
      {{"list", In("T.PAK"), "-v"}, "", 0, "3 members", pluginCall, "", {}},
      {{"info", In("T.PAK"), In("PIC.I24"), "--json"}, "", 0, "\"members\": [{\"name\": \"EMPTY.TXT\"", "", "", {}},
      {{"decode", "-", "-o", In("d/pic.bmp")}, In("PIC.I24"), 0, "", "", "d", {"pic.bmp"}},
      {{"pack", "-", In("DATA.TXT")}, "", 0, "PACK", "1 members", "", {}},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    if (!c.outputFolder.empty()) fs::create_directories(In(c.outputFolder));
    RunResult r = Run(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    if (Contains(trace, "-q ")) {
      EXPECT_EQ(r.out, "");
    }
    if (Contains(trace, "--json")) {
      // One object per line, whatever the number of files (Windows ends
      // lines on standard output with CR LF).
      std::string text = r.out;
      text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
      size_t lines = 0;
      for (size_t at = 0; (at = text.find("}\n", at)) != std::string::npos; ++at) ++lines;
      EXPECT_EQ(lines, static_cast<size_t>(std::count(text.begin(), text.end(), '\n'))) << r.out;
    }
    if (!c.outputFolder.empty()) {
      EXPECT_EQ(Listing(In(c.outputFolder)), c.files);
    }
  }
  ExpectSamePicture(In("d/pic.bmp"), img);

  // A picture through standard input and output both ways, in each
  // format: encode, decode, and encode what was decoded again.
  RunResult r = Run({"encode", "-", "-o", "-"}, In("pic.bmp"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::string coded = dir_.Write("piped.i24", Bytes(r.out.begin(), r.out.end()));
  for (const std::string format : {"bmp", "png"}) {
    SCOPED_TRACE(format);
    RunResult decoded = Run({"decode", "-", "-o", "-", "--format", format}, coded);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    std::string piped = dir_.Write("piped." + format, Bytes(decoded.out.begin(), decoded.out.end()));
    ExpectSamePicture(piped, img);
    RunResult again = Run({"encode", "-", "-o", "-"}, piped);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.out == r.out) << "the same pixels encode to another file";
  }
}

// What a crafted archive or file name cannot do: send a member to a Windows
// device, act on the terminal through a name, fail for a name that is not
// UTF-8, or write many times the archive's size through overlapping members.
TEST_F(ToolTest, HostileArchivesAndNames) {
#ifdef _WIN32
  const bool windows = true;
#else
  const bool windows = false;
#endif
  // Members named for devices and with a trailing dot; on Windows written
  // under the names that reach a file, elsewhere as they are.
  const std::vector<std::pair<std::string, std::string>> devices = {
      {"COM1.X", "_COM1.X"}, {"aux.x", "_aux.x"}, {"NUL.A", "_NUL.A"}, {"B.", "B"}, {"LPT1.X", "_LPT1.X"}};
  std::vector<std::tuple<uint32_t, uint32_t, std::string>> entries;
  std::string data;
  const uint32_t base = static_cast<uint32_t>(32 + 24 * devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    entries.emplace_back(base + static_cast<uint32_t>(data.size()), static_cast<uint32_t>(i + 2), devices[i].first);
    data += std::string(i + 2, static_cast<char>('a' + i));
  }
  const std::string dev = dir_.Write("DEV.PAK", HandBuiltPack(entries, Text(data)));
  const std::vector<std::vector<std::string>> ways = {{}, {"--via-memory"}, {"--from-memory"}, {"-"}, {"*.?"}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.empty() ? "to files" : way[0]);
    const std::string out = In("dev");
    fs::remove_all(out);
    std::vector<std::string> args = {"extract", way == std::vector<std::string>{"-"} ? "-" : dev, "-d", out, "--json"};
    if (!way.empty() && way[0] != "-") args.push_back(way[0]);
    RunResult r = Run(args, way == std::vector<std::string>{"-"} ? dev : "");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> want;
    for (size_t i = 0; i < devices.size(); ++i) {
      if (way == std::vector<std::string>{"*.?"} && devices[i].first == "B.") continue;
      const std::string& name = windows ? devices[i].second : devices[i].first;
      want.push_back(name);
      Bytes got;
      EXPECT_TRUE(ReadWholeFile(out + "/" + name, &got)) << name;
      EXPECT_EQ(got, Text(std::string(i + 2, static_cast<char>('a' + i)))) << name;
      EXPECT_TRUE(Contains(r.out, "{\"member\": \"" + devices[i].first + "\"")) << r.out;
      EXPECT_EQ(Contains(r.err, "member " + devices[i].first + " is written as " + devices[i].second), windows) << r.err;
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Listing(out), want);
  }
  // The checks for existing files apply to the name that is written.
  const std::string out = In("dev");
  RunResult r = Run({"extract", dev, "COM1.X", "-d", out});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(Contains(r.err, std::string(windows ? "_COM1.X" : "COM1.X") + ": already exists")) << r.err;
  EXPECT_EQ(Run({"extract", dev, "COM1.X", "-d", out, "--skip-existing"}).status, 0);
  EXPECT_EQ(Run({"extract", dev, "COM1.X", "-d", out, "-f"}).status, 0);

  // A file name with terminal escapes is shown quoted, and as \u escapes in
  // JSON; natively also a file name holding the byte 0xFF lists and extracts.
  const std::string escapes = "\x1b]0;owned\x07\x1b[2Jx.dat";
  r = Run({"list", In(escapes)});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "\\e]0;owned\\a\\e[2Jx.dat'")) << r.err;
  EXPECT_FALSE(Contains(r.err, "\x1b")) << r.err;
  if (!windows) {
    dir_.Write(escapes, HandBuiltPack({{56, 2, "A.X"}}, Text("hi")));
    r = Run({"list", In(escapes), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "\\u001b]0;owned\\u0007\\u001b[2Jx.dat\", \"plugin\"")) << r.out;
    const std::string ff = dir_.Write("x\xff.pak", HandBuiltPack({{56, 2, "A.X"}}, Text("hi")));
    r = Run({"list", ff, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "{\"file\": \"" + In("x") + "\\udcff.pak\"")) << r.out;
    r = Run({"extract", ff, "-d", In("ff")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listing(In("ff")), std::vector<std::string>{"A.X"});
  }

  // Twenty members, each starting a byte after the one before and running
  // to the end: refused unless --allow-overlap; two members that share
  // their data exactly are not an overlap.
  std::vector<std::tuple<uint32_t, uint32_t, std::string>> bomb;
  const uint32_t start = 32 + 24 * 20;
  for (uint32_t i = 0; i < 20; ++i) bomb.emplace_back(start + i, 100 - i, "M" + std::to_string(i) + ".X");
  const std::string bombFile = dir_.Write("BOMB.PAK", HandBuiltPack(bomb, Bytes(100, 'z')));
  const std::string twins = dir_.Write("TWINS.PAK", HandBuiltPack({{80, 5, "A.X"}, {80, 5, "B.X"}}, Text("hello")));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
    size_t files;  // in the folder "o"
  } cases[] = {
      {{"extract", bombFile, "-d", In("o")}, 1, "", "members M0.X and M1.X overlap: this may be an archive bomb", 0},
      {{"extract", bombFile, "M1?.X", "-d", In("o"), "--via-memory"}, 1, "", "may be an archive bomb", 0},
      {{"extract", bombFile, "M3.X", "-d", In("o")}, 0, "extracted M3.X", "", 1},
      {{"extract", bombFile, "-d", In("o"), "--allow-overlap", "--json"}, 0,
       "{\"archive\": " + JsonString(bombFile) + ", \"action\": \"overlap allowed\", \"members\": 20, \"total\": 1810}", "", 20},
      {{"list", bombFile}, 0, "overlap   M0.X and M1.X share data in part", "", 0},
      {{"list", bombFile, "--json"}, 0, "\"overlaps\": [[\"M0.X\", \"M1.X\"], [\"M0.X\", \"M2.X\"]", "", 0},
      {{"list", twins, "--json"}, 0, "\"overlaps\": []}", "", 0},
      {{"extract", twins, "-d", In("o")}, 0, "extracted B.X", "", 2},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    fs::remove_all(In("o"));
    fs::create_directories(In("o"));
    r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    EXPECT_EQ(Listing(In("o")).size(), c.files);
  }

  // A PACK archive whose second member's name breaks the name rule is
  // reported as that, not as a file no plug-in takes.
  const std::string bad = dir_.Write("BAD.PAK", HandBuiltPack({{80, 1, "A.X"}, {81, 1, "B-C.X"}}, Text("xy")));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"list", bad}, {"extract", bad, "-d", In("o")}}) {
    r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "member 2's name is not valid")) << r.err;
  }
}

TEST(MemberOverlaps, PartialOverlapsSharedPositionsAndTotal) {
  const struct {
    std::vector<MemberSpan> spans;  // position, size
    std::vector<std::pair<size_t, size_t>> partial, samePosition;
    uint64_t total;
  } cases[] = {
      {{{10, 5}, {15, 5}, {20, 0}}, {}, {}, 10},                  // neighbours touch; empty members overlap nothing
      {{{10, 5}, {10, 5}, {10, 5}}, {}, {{0, 1}, {1, 2}}, 15},    // identical members share data legitimately
      {{{10, 5}, {12, 5}}, {{0, 1}}, {}, 10},                     // overlap in part
      {{{30, 2}, {10, 30}}, {{0, 1}}, {}, 32},                    // one inside another, found in any order
      {{{10, 5}, {10, 9}}, {{0, 1}}, {{0, 1}}, 14},               // same position, other size
      {{{10, 20}, {12, 2}, {16, 2}}, {{0, 1}, {0, 2}}, {}, 24},   // both against the one reaching furthest
      {{{12, 0}, {10, 5}}, {}, {}, 5},                            // an empty member inside another
      {{{0, UINT64_MAX}, {5, 1}}, {{0, 1}}, {}, UINT64_MAX},     // an end past 2^64 does not wrap
  };
  for (const auto& c : cases) {
    MemberOverlaps found = FindMemberOverlaps(c.spans, 10);
    std::vector<std::pair<size_t, size_t>> partial, same;
    for (const MemberPair& p : found.partial) partial.push_back({p.first, p.second});
    for (const MemberPair& p : found.samePosition) same.push_back({p.first, p.second});
    EXPECT_EQ(partial, c.partial) << c.spans.size() << " spans, first at " << c.spans[0].position;
    EXPECT_EQ(same, c.samePosition);
    EXPECT_EQ(found.totalBytes, c.total);
  }
  // `most` bounds the list, but never empties it while overlaps remain.
  std::vector<MemberSpan> stairs;
  for (uint64_t i = 0; i < 1000; ++i) stairs.push_back({i, 1000 - i});
  EXPECT_EQ(FindMemberOverlaps(stairs, 1).partial.size(), 1u);
}

TEST(PackWriter, MemberNamesAndOffsetLimits) {
  // The refusal in words: the first part of the name rule the name breaks.
  const struct {
    std::string name;
    const char* why;  // null: the name can be stored
  } names[] = {
      {"A.TXT", nullptr},
      {".", nullptr},
      {"abcdefghij.klm", nullptr},
      {"x.", nullptr},
      {"abcdefghijk.lmn", "names are limited to 14 characters, this one has 15"},
      {"A-B.C.D.E.F.G.H", "names are limited to 14 characters, this one has 15"},
      {"A.B.C", "a name must hold exactly one full stop"},
      {"ARCHIVE", "a name must hold exactly one full stop"},
      {"READ-ME.TXT", "only letters, digits and one full stop are allowed in names"},
      {"a b.c", "only letters, digits and one full stop are allowed in names"},
      {std::string("A\0.B", 4), "only letters, digits and one full stop are allowed in names"},
      {"\xC9.TXT", "only letters, digits and one full stop are allowed in names"},
      {"", "an empty name cannot be stored"},
  };
  for (const auto& n : names) {
    std::string why;
    EXPECT_EQ(pack::CheckMemberName(n.name, &why), n.why == nullptr) << n.name;
    EXPECT_EQ(why, n.why != nullptr ? n.why : "") << n.name;
  }
  // Data members follow the directory; an empty member starts at its own
  // entry, so that no two members share a position.
  const struct {
    std::vector<uint64_t> sizes;
    std::vector<uint32_t> offsets;  // empty: refused
    const char* error;
  } plans[] = {
      {{3, 0, 7}, {104, 32, 107}, ""},
      {{0, 0, 5}, {8, 32, 104}, ""},
      {{0}, {8}, ""},
      // Every member must end by byte 2^31 - 1, the reach of 32-bit signed offsets.
      {{0x7FFFFFFFull - 80 - 5, 5}, {80, 0x7FFFFFFFu - 5}, ""},
      {{0x7FFFFFFFull - 80 - 4, 5}, {}, "member 2 would end at byte 2147483648"},
      {{0x100000000ull}, {}, "past the 2 GiB - 1"},
  };
  for (const auto& plan : plans) {
    std::vector<uint32_t> offsets;
    std::string error;
    EXPECT_EQ(pack::PlanPack(plan.sizes, &offsets, &error), !plan.offsets.empty()) << error;
    if (!plan.offsets.empty()) {
      EXPECT_EQ(offsets, plan.offsets);
    }
    EXPECT_TRUE(Contains(error, plan.error)) << error;
  }
}

}  // namespace
