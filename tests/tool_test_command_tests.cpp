// kaldorin test: damaged and hostile archives and pictures, each with the
// cause it must name and the exit status.
#include "tests/tool_harness.h"
#include "tools/kaldorin_shown_names.h"

namespace {

// Where the data of a hand-built archive of `members` entries starts.
uint32_t DataStart(uint32_t members) { return pack::kHeaderSize + (members + 1) * pack::kEntrySize; }

TEST_F(ToolTest, TestNamesEveryProblemOfDamagedArchivesAndPictures) {
  WritePicture(In("pic.bmp"), MakePicture(40, 30, 5));
  ASSERT_EQ(Run({"encode", In("pic.bmp"), "-o", In("PIC.I24")}).status, 0);
  Bytes picture;
  ReadWholeFile(In("PIC.I24"), &picture);
  const Bytes cutPicture(picture.begin(), picture.begin() + static_cast<long>(picture.size() * 2 / 3));
  dir_.Write("CUT.I24", cutPicture);
  dir_.Write("README.TXT", Text("hello"));
  ASSERT_EQ(Run({"pack", In("SOUND.PAK"), In("README.TXT"), In("PIC.I24")}).status, 0);
  Bytes sound;
  ReadWholeFile(In("SOUND.PAK"), &sound);
  dir_.Write("CUTDIR.PAK", Bytes(sound.begin(), sound.begin() + 20));
  const uint32_t two = DataStart(2);
  dir_.Write("BADNAME.PAK", HandBuiltPack({{two, 3, "A_B.TXT"}, {two + 3, 2, "C.TXT"}}, Text("abcde")));
  dir_.Write("PASTEND.PAK", HandBuiltPack({{two, 3, "A.TXT"}, {two + 3, 9, "B.TXT"}}, Text("abcde")));
  dir_.Write("OVERLAP.PAK", HandBuiltPack({{two, 4, "A.TXT"}, {two + 2, 3, "B.TXT"}}, Text("abcde")));
  dir_.Write("SHARED.PAK", HandBuiltPack({{two, 2, "A.TXT"}, {two, 5, "B.TXT"}}, Text("abcde")));
  dir_.Write("SAME.PAK", HandBuiltPack({{two, 5, "A.TXT"}, {two, 5, "B.TXT"}}, Text("abcde")));
  dir_.Write("DEVICE.PAK", HandBuiltPack({{two, 3, "con.txt"}, {two + 3, 2, "COM1.I24"}}, Text("abcde")));
  dir_.Write("DOT.PAK", HandBuiltPack({{two, 5, "TRAIL."}, {two + 5, 0, "E.TXT"}}, Text("abcde")));
  Bytes withCut = cutPicture;
  withCut.insert(withCut.end(), {'x', 'y'});
  dir_.Write("CUTPIC.PAK", HandBuiltPack({{two, static_cast<uint32_t>(cutPicture.size()), "PIC.I24"},
                                          {two + static_cast<uint32_t>(cutPicture.size()), 2, "XY.TXT"}},
                                         withCut));

  struct Case {
    std::vector<std::string> args;
    std::string input;  // standard input, or empty
    int status;
    std::vector<std::string> out;  // standard output holds each of these
    size_t lines;                  // and this many lines
  };
  const Case cases[] = {
      {{In("SOUND.PAK"), In("PIC.I24")}, "", 0,
       {"SOUND.PAK: 2 members, no problems", "PIC.I24: picture 40 x 30, no problems"}, 2},
      {{"-"}, In("SOUND.PAK"), 0, {"standard input: 2 members, no problems"}, 1},
      {{In("SOUND.PAK"), "-q"}, "", 0, {}, 0},
      {{In("CUTDIR.PAK")}, "", 1,
       {"CUTDIR.PAK: the directory cannot be read: the directory runs past the end of the file",
        "CUTDIR.PAK: archive, 1 problem"},
       2},
      {{In("BADNAME.PAK")}, "", 1, {"the directory cannot be read: member 1's name is not valid"}, 2},
      {{In("PASTEND.PAK")}, "", 1,
       {"member 2 (B.TXT): its data (9 bytes at 83) runs past the end of the 85-byte file",
        "PASTEND.PAK: 2 members, 1 problem"},
       2},
      {{In("OVERLAP.PAK")}, "", 1, {"member 2 (B.TXT): its data overlap in part with member 1 (A.TXT)"}, 2},
      {{In("SHARED.PAK")}, "", 1,
       {"member 2 (B.TXT): starts at the same position (80) as member 1 (A.TXT); a host that asks by position "
        "reaches only one of them",
        "member 2 (B.TXT): " + PluginFile("chestrel") + " delivered 2 bytes, the listing says 5"},
       3},
      {{In("SAME.PAK")}, "", 1, {"member 2 (B.TXT): starts at the same position (80)"}, 2},
      {{In("DEVICE.PAK")}, "", 1,
       {"member 1 (con.txt): the name is a device on Windows", "member 2 (COM1.I24): the name is a device on Windows",
        "DEVICE.PAK: 2 members, 2 problems"},
       3},
      {{In("DOT.PAK"), "-q"}, "", 1, {"member 1 (TRAIL.): the name ends in a dot or a space, which Windows strips"}, 1},
      {{In("CUTPIC.PAK")}, "", 1, {"member 1 (PIC.I24): ends early: ", "CUTPIC.PAK: 2 members, 1 problem"}, 2},
      {{In("CUT.I24"), In("SOUND.PAK")}, "", 1,
       {"CUT.I24: ends early: ", "CUT.I24: picture, 1 problem", "SOUND.PAK: 2 members, no problems"}, 3},
      {{In("OVERLAP.PAK"), "--json"}, "", 1,
       {"{\"file\": " + JsonString(In("OVERLAP.PAK")) +
            ", \"member\": 2, \"name\": \"B.TXT\", \"problem\": \"its data overlap in part with member 1 (A.TXT)\"}",
        "{\"file\": " + JsonString(In("OVERLAP.PAK")) +
            ", \"type\": \"archive\", \"members\": 2, \"problems\": 1}"},
       2},
      {{In("SOUND.PAK"), "--from-memory", "--offset", "0"}, "", 0, {"2 members, no problems"}, 1},
      {{In("SOUND.PAK"), "-o", In("x")}, "", 2, {}, 0},
      {{}, "", 2, {}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"test", "--check-leaks"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.empty() ? "no operands" : c.args[0]);
    RunResult r = Run(args, c.input);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& want : c.out) EXPECT_TRUE(Contains(r.out, want)) << want << "\n" << r.out;
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')), c.lines) << r.out;
  }
  // Nothing was written beside the inputs.
  EXPECT_EQ(Listing(dir_.path()).size(), 14u);
}

// The pictures of glimmet are decoded once, by the tool's own check for
// data that ends early; glimmet is only started on them. What only the
// plug-in can refuse (memory for the pixels) and Ctrl-C during the check
// must still come through.
TEST_F(ToolTest, TestDecodesAPictureOnceYetFailsAndStopsAsAFullDecode) {
  WritePicture(In("pic.bmp"), MakePicture(40, 300, 5));
  ASSERT_EQ(Run({"encode", In("pic.bmp"), "-o", In("PIC.I24")}).status, 0);
  ASSERT_EQ(Run({"pack", In("P.PAK"), In("PIC.I24")}).status, 0);
  struct Case {
    std::vector<std::string> args;
    bool needsFaults;
    int status;
    std::string out;  // in standard output
    std::string err;  // in standard error
  };
  const std::string started = PluginFile("glimmet") + " GetPictureW(memory, stopped at the first progress report)";
  const Case cases[] = {
      {{In("P.PAK"), "-v"}, false, 0, "P.PAK: 1 member, no problems", started},
      {{In("PIC.I24"), "--inject-fault", "LocalAlloc"}, true, 1,
       "PIC.I24: the picture does not decode: " + PluginFile("glimmet") + " GetPicture: out of memory", ""},
      {{In("PIC.I24"), "--cancel-after", "100"}, false, 130, "", "cancelled"},
      {{In("P.PAK"), "--cancel-after", "100"}, false, 130, "", "cancelled"},
  };
  for (const Case& c : cases) {
    if (c.needsFaults && !kHaveFaultInjection) continue;
    std::vector<std::string> args = {"test", "--check-leaks"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, c.out)) << r.out;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    // One GetPicture for the one picture, stopped: no decode of it.
    size_t calls = 0;
    for (size_t at = r.err.find("GetPicture"); at != std::string::npos; at = r.err.find("GetPicture", at + 1)) ++calls;
    if (Contains(r.err, started)) {
      EXPECT_EQ(calls, 1u) << r.err;
    }
    if (kHaveFaultInjection) {
      EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
    }
  }
}

}  // namespace
