// What every kaldorin command shares: names in any script, files never
// replaced unasked, clear errors for bad input, and cancellation, signals and
// failed writes leaving nothing behind.
#include "tests/tool_harness.h"

namespace {

// pack, list and extract in each way, with the member picture decoded.
// Folders named in other scripts: the names reach the tool and the
// plug-ins whole (on Windows through wmain and the wide exports), from
// encoding through packing, listing and extracting to decoding.
TEST_F(ToolTest, NamesInAnyScript) {
  RgbImage img = MakePicture(13, 5, 4);
  WritePicture(In("src.bmp"), img);
  for (const std::string name : {"\xE7\x94\xBB\xE5\x83\x8F", "\xCE\xB5\xCE\xB9\xCE\xBA\xCF\x8C\xCE\xBD\xCE\xB1",
                                 "\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB8\xD0\xBD\xD0\xBA\xD0\xB8",
                                 "\xF0\x9F\x8E\xA8"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(MakeFolders(dir_.WideFile(name)));
    const std::string folder = dir_.path() + "/" + name;
    const std::string archive = folder + "/" + name + ".pak";
    RunResult r = Run({"encode", In("src.bmp"), "-o", folder + "/PIC.I24"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"pack", archive, folder + "/PIC.I24"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"list", archive});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "PIC.I24")) << r.out;
    r = Run({"extract", archive, "pic.i24", "-d", folder + "/" + name});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"decode", folder + "/" + name + "/PIC.I24", "-o", folder + "/back.bmp", "-v"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "GetPictureW(file) -> 0")) << r.err;
    r = Run({"compare", In("src.bmp"), folder + "/back.bmp"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
}

// Every command refuses to replace an existing file unless told to, and
// never writes over its own input; a refusal names the file and writes
// nothing.
TEST_F(ToolTest, NoCommandReplacesAFileUnasked) {
  const std::string kAbsent = "(no such file)";
  const std::string png = ".png";
  auto setUp = [&]() {
    fs::remove_all(dir_.path());
    fs::create_directories(In("out"));
    fs::create_directories(In("a"));
    fs::create_directories(In("b"));
    fs::create_directories(In("x"));
    dir_.Write("DATA.TXT", Text("hello world 123\n"));
    dir_.Write("EMPTY.TXT", Text(""));
    dir_.Write("A.TXT", Text("not an archive"));
    dir_.Write("out/DATA.TXT", Text("old"));
    dir_.Write("M.PAK", Text("m"));
    dir_.Write("CASE.PAK", HandBuiltPack({{80, 1, "A.TXT"}, {81, 1, "a.txt"}}, Text("12")));
    WritePicture(In("pic.bmp"), MakePicture(6, 4, 9));
    ASSERT_EQ(Run({"pack", In("T.PAK"), In("EMPTY.TXT"), In("DATA.TXT")}).status, 0);
    ASSERT_EQ(Run({"pack", In("x/M.PAK"), In("M.PAK"), In("DATA.TXT")}).status, 0);
    ASSERT_EQ(Run({"encode", In("pic.bmp"), "-o", In("pic.i24")}).status, 0);
    fs::copy_file(In("pic.i24"), In("a/pic.i24"));
    fs::copy_file(In("pic.i24"), In("b/pic.i24"));
    dir_.Write("pic" + png, Text("old picture"));
  };
  struct Case {
    std::vector<std::string> args;  // names relative to the work folder start with @
    int status;
    const char* err;
    std::vector<std::pair<std::string, std::string>> after;  // file, content (kAbsent: none)
  };
  const std::vector<Case> cases = {
      {{"pack", "@A.TXT", "@DATA.TXT"}, 1, "A.TXT: already exists (use --force", {{"A.TXT", "not an archive"}}},
      {{"pack", "@A.TXT", "@DATA.TXT", "-f"}, 0, "", {}},
      {{"pack", "-f", "@DATA.TXT", "@DATA.TXT", "@EMPTY.TXT"}, 1, "never written over", {{"DATA.TXT", "hello world 123\n"}}},
      {{"extract", "@T.PAK", "-d", "@out"}, 1, "DATA.TXT: already exists", {{"out/DATA.TXT", "old"}, {"out/EMPTY.TXT", kAbsent}}},
      {{"extract", "@T.PAK", "-d", "@out", "--skip-existing"}, 0, "", {{"out/DATA.TXT", "old"}, {"out/EMPTY.TXT", ""}}},
      {{"extract", "@T.PAK", "-d", "@out", "--force"}, 0, "", {{"out/DATA.TXT", "hello world 123\n"}}},
      {{"extract", "@T.PAK", "-d", "@out", "--force", "--via-memory"}, 0, "", {{"out/DATA.TXT", "hello world 123\n"}}},
      {{"extract", "@x/M.PAK", "-d", "@x", "--force"}, 1, "is the archive being read", {{"x/DATA.TXT", kAbsent}}},
      {{"extract", "@CASE.PAK", "-d", "@out"}, 1, "members A.TXT and a.txt differ only in case", {{"out/A.TXT", kAbsent}, {"out/a.txt", kAbsent}}},
      {{"decode", "@pic.i24", "-o", "@pic" + png}, 1, "already exists", {{"pic" + png, "old picture"}}},
      {{"decode", "@a/pic.i24", "@b/pic.i24", "-d", "@out"}, 1, "would be written for both", {{"out/pic" + png, kAbsent}}},
      {{"encode", "@pic.bmp", "-o", "@pic.bmp", "-f"}, 1, "is the input", {}},
      {{"encode", "@pic.bmp", "-o", "@pic.i24"}, 1, "pic.i24: already exists", {}},
      {{"encode", "@pic.bmp", "@pic.bmp", "-d", "@out", "-j", "2"}, 1, "would be written for both", {{"out/pic.i24", kAbsent}}},
  };
  for (const Case& c : cases) {
    setUp();
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a[0] == '@' ? In(a.substr(1)) : a);
    std::string trace;
    for (const std::string& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    Bytes before;
    ReadWholeFile(In("pic.bmp"), &before);
    RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    for (const auto& file : c.after) {
      Bytes got;
      bool there = ReadWholeFile(In(file.first), &got);
      if (file.second == kAbsent) {
        EXPECT_FALSE(there) << file.first;
      } else {
        EXPECT_EQ(std::string(got.begin(), got.end()), file.second) << file.first;
      }
    }
    Bytes after;
    ReadWholeFile(In("pic.bmp"), &after);
    EXPECT_EQ(after, before) << "the encoder's input changed";
    EXPECT_EQ(Run({"list", In("x/M.PAK")}).status, 0) << "the archive being read changed";
    for (const char* folder : {"", "out", "x"}) {
      for (const std::string& name : Listing(In(folder))) EXPECT_FALSE(Contains(name, "kaldorin-tmp")) << name;
    }
  }
}

// A batch run as several jobs writes the same bytes, the same messages in
// the same order and ends with the same status as one job at a time: with
// failures among the inputs, and two pictures whose decoded names collide.
TEST_F(ToolTest, JobsChangeNothingButSpeed) {
  std::vector<std::string> pictures;
  std::vector<std::string> bmps;
  for (uint32_t i = 0; i < 7; ++i) {
    const std::string stem = "P" + std::to_string(i);
    WritePicture(In(stem + ".bmp"), MakePicture(30 + 11 * i, 20 + 7 * i, i));
    ASSERT_EQ(Run({"encode", In(stem + ".bmp"), "-o", In(stem + ".I24")}).status, 0);
    pictures.push_back("@" + stem + ".I24");
    bmps.push_back("@" + stem + ".bmp");
  }
  Bytes cut;
  ReadWholeFile(In("P6.I24"), &cut);
  cut.resize(cut.size() / 2);
  dir_.Write("P6.I24", cut);  // ends early
  dir_.Write("P3.png", Text("not a picture"));
  dir_.Write("NOTE.TXT", Text("text"));
  fs::copy_file(In("P5.I24"), In("P5.DAT"));  // a picture too, decoded to the same name as P5.I24
  ASSERT_EQ(Run({"pack", In("A.PAK"), In("P0.I24"), In("NOTE.TXT"), In("P3.png"), In("P1.I24"), In("P2.I24"),
                 In("P3.I24"), In("P4.I24"), In("P5.DAT"), In("P5.I24"), In("P6.I24")})
                .status,
            0);
  auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const std::vector<std::vector<std::string>> cases = {
      with({"decode", "-d", "@out"}, pictures),
      with({"decode", "-d", "@out", "--json", "--format", "bmp"}, pictures),
      {"extract", "@A.PAK", "-d", "@out", "--decode"},
      {"extract", "@A.PAK", "-d", "@out", "--decode", "--via-memory", "--json"},
      {"extract", "@A.PAK", "P?.I24", "-d", "@out", "--from-memory"},
      with({"encode", "-d", "@out"}, bmps),
      with({"test", "@A.PAK"}, pictures),
      {"test", "@A.PAK", "--json"},
  };
  for (const std::vector<std::string>& c : cases) {
    RunResult results[2];
    std::vector<std::pair<std::string, Bytes>> written[2];
    for (int k = 0; k < 2; ++k) {
      // Folder names found nowhere else, so that the messages (JSON escapes
      // included) can be compared without them.
      const std::string out = k == 0 ? "OUTONE" : "OUTFOUR";
      fs::remove_all(In(out));
      fs::create_directory(In(out));
      std::vector<std::string> args = {c[0], "-j", k == 0 ? "1" : "4"};
      for (size_t i = 1; i < c.size(); ++i) args.push_back(c[i] == "@out" ? In(out) : c[i][0] == '@' ? In(c[i].substr(1)) : c[i]);
      results[k] = Run(args);
      for (std::string* text : {&results[k].out, &results[k].err}) {
        for (size_t at; (at = text->find(out)) != std::string::npos;) text->replace(at, out.size(), "OUT");
      }
      for (const std::string& name : Listing(In(out))) {
        Bytes bytes;
        ReadWholeFile(In(out + "/" + name), &bytes);
        written[k].push_back({name, bytes});
      }
    }
    SCOPED_TRACE(c[0] + " " + c[1] + " " + c.back());
    EXPECT_EQ(results[0].status, results[1].status);
    EXPECT_EQ(results[0].out, results[1].out);
    EXPECT_EQ(results[0].err, results[1].err);
    EXPECT_TRUE(written[0] == written[1]) << "the files written differ";
  }
}

// Bad input: one line naming the file and the cause, and the exit status.
TEST_F(ToolTest, BadInputGivesAClearErrorAndStatus) {
  RgbImage img = MakePicture(9, 4, 4);
  WritePicture(In("p.bmp"), img);
  ASSERT_EQ(Run({"encode", In("p.bmp"), "-o", In("P.I24")}).status, 0);
  Bytes picture;
  ReadWholeFile(In("P.I24"), &picture);
  dir_.Write("short.i24", Bytes(picture.begin(), picture.begin() + 22));
  dir_.Write("stub.i24", Bytes(picture.begin(), picture.begin() + 10));
  Bytes zero = picture;
  zero[12] = zero[13] = 0;  // width 0
  dir_.Write("zero.i24", zero);
  dir_.Write("A.TXT", Bytes(100, 'a'));
  ASSERT_EQ(Run({"pack", In("G.PAK"), In("A.TXT"), In("P.I24")}).status, 0);
  Bytes archive;
  ReadWholeFile(In("G.PAK"), &archive);
  Bytes wrongEnd = archive;
  wrongEnd[4] = 80;  // directory end past the terminating entry
  dir_.Write("end.pak", wrongEnd);
  dir_.Write("cut.pak", Bytes(archive.begin(), archive.begin() + 120));  // A.TXT cut short
  dir_.Write("noise.bin", Bytes(3000, 0x33));
  dir_.Write("a-b.txt", Bytes{1});
  dir_.Write("fourteenchars15.t", Bytes{1});
  dir_.Write("NODOT", Bytes{1});
  RgbImage changed = img;
  changed.rgb[3 * 9 + 1] ^= 0x40;  // pixel (0, 1), green
  WritePicture(In("q.bmp"), changed);
  fs::create_directory(In("sub"));
  dir_.Write("sub/a.txt", Bytes{2});

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string archiveFull = "the data is missing, cut short or inconsistent";
  const Case cases[] = {
      {"missing file", {"decode", In("none.i24"), "-o", In("o.bmp")}, 1, In("none.i24") + ": No such file or directory"},
      {"truncated header", {"decode", In("short.i24"), "-o", In("o.bmp")}, 1,
       In("short.i24") + ": " + PluginFile("glimmet") + " GetPicture: " + archiveFull},
      {"too short to be a picture", {"decode", In("stub.i24"), "-o", In("o.bmp")}, 1,
       In("stub.i24") + ": no picture plug-in takes this file"},
      {"archive as a picture", {"decode", In("G.PAK"), "-o", In("o.bmp")}, 1,
       In("G.PAK") + ": not a picture: " + PluginFile("chestrel") + " takes it as an archive"},
      {"picture as an archive", {"list", In("P.I24")}, 1, In("P.I24") + ": not an archive: " + PluginFile("glimmet") + " takes it"},
      {"not data at all", {"info", In("noise.bin")}, 1, In("noise.bin") + ": no plug-in takes this file"},
      {"wrong directory end", {"list", In("end.pak")}, 1, In("end.pak") + ": " + PluginFile("chestrel") + " GetArchiveInfo: " + archiveFull},
      {"member cut short", {"extract", In("cut.pak"), "-d", In("o")}, 1,
       In("cut.pak") + ": member A.TXT: " + PluginFile("chestrel") + " GetFile: " + archiveFull},
      {"member not there", {"extract", In("G.PAK"), "NOPE.TXT", "-d", In("o")}, 1, In("G.PAK") + ": no member NOPE.TXT"},
      {"pattern matching nothing", {"extract", In("G.PAK"), "*.BMP", "-d", In("o")}, 1, In("G.PAK") + ": no member matches *.BMP"},
      {"empty picture", {"decode", In("zero.i24"), "-o", In("o.bmp")}, 1, "the picture has no pixels (0 x 4)"},
      {"standard output without a format", {"decode", In("P.I24"), "-o", "-"}, 2, "needs --format png or --format bmp"},
      {"standard input without a name", {"encode", "-"}, 2, "encode - needs -o OUT"},
      {"quiet and verbose", {"list", In("G.PAK"), "-q", "-v"}, 2, "-q and -v exclude each other"},
      {"name with a hyphen", {"pack", In("n.pak"), In("a-b.txt")}, 1,
       "member name \"a-b.txt\" cannot be stored: only letters, digits and one full stop are allowed"},
      {"name too long", {"pack", In("n.pak"), In("fourteenchars15.t")}, 1,
       "cannot be stored: names are limited to 14 characters, this one has 17"},
      {"name without a full stop", {"pack", In("n.pak"), In("NODOT")}, 1, "a name must hold exactly one full stop"},
      {"duplicate name", {"pack", In("n.pak"), In("A.TXT"), In("sub/a.txt")}, 1,
       "member name \"a.txt\" is already in the archive"},
      {"missing pack input", {"pack", In("n.pak"), In("none.txt")}, 1, In("none.txt") + ": no such file"},
      {"decode without output", {"decode", In("P.I24")}, 2, "decode needs either -o OUT (one file) or -d DIR"},
      {"unknown command", {"explode"}, 2, "unknown command explode"},
      {"help for an unknown command", {"explode", "--help"}, 2, "unknown command explode"},
      {"help for two commands", {"help", "list", "pack"}, 2, "help takes one command"},
      {"pictures that differ", {"compare", In("p.bmp"), In("q.bmp")}, 1,
       In("q.bmp") + ": differs from " + In("p.bmp") + " in 1 pixels, first at (0, 1)"},
      {"bad output name", {"decode", In("P.I24"), "-o", In("o.jpg")}, 2, "the output name must end in .png or .bmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    EXPECT_EQ(r.err.compare(0, 10, "kaldorin: "), 0) << r.err;
  }
  // Nothing was written by the failed commands, not even temporary files.
  for (const std::string& name : Listing(dir_.path())) {
    EXPECT_TRUE(name != "o.bmp" && name != "n.pak" && name[0] != '.') << name;
  }
  if (fs::exists(In("o"))) {
    EXPECT_TRUE(Listing(In("o")).empty());
  }
}

// Ctrl-C through the test hook: SIGINT is raised in the tool after N progress
// reports and travels the real path (handler, flag, callback, plug-in).
TEST_F(ToolTest, CancelledDecodeAndExtractLeaveNothingBehind) {
  RgbImage img = MakePicture(40, 300, 5);
  WritePicture(In("big.bmp"), img);
  ASSERT_EQ(Run({"encode", In("big.bmp"), "-o", In("BIG.I24")}).status, 0);
  ASSERT_EQ(Run({"pack", In("B.PAK"), In("BIG.I24")}).status, 0);
  fs::copy_file(In("BIG.I24"), In("BIG2.I24"));
  fs::copy_file(In("big.bmp"), In("big2.bmp"));
  ASSERT_EQ(Run({"pack", In("B2.PAK"), In("BIG.I24"), In("BIG2.I24")}).status, 0);
  fs::create_directory(In("out"));
  struct Case {
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {{"decode", In("BIG.I24"), In("BIG2.I24"), "-d", In("out"), "-j", "2"}},
      {{"encode", In("big.bmp"), In("big2.bmp"), "-d", In("out"), "-j", "2"}},
      {{"extract", In("B2.PAK"), "-d", In("out"), "-j", "2"}},
      {{"decode", In("BIG.I24"), "-o", In("out/big.png")}},
      {{"decode", In("BIG.I24"), "-o", In("out/big.bmp"), "--from-memory"}},
      {{"encode", In("big.bmp"), "-o", In("out/x.i24")}},
      {{"extract", In("B.PAK"), "-d", In("out")}},
      {{"extract", In("B.PAK"), "-d", In("out"), "--via-memory"}},
      {{"extract", In("B.PAK"), "-d", In("out"), "--from-memory"}},
  };
  for (const Case& c : cases) {
    for (const char* after : {"1", "7"}) {
      std::vector<std::string> args = c.args;
      args.insert(args.end(), {"--cancel-after", after, "--check-leaks"});
      SCOPED_TRACE(args[0] + " " + args.back() + " cancel after " + after);
      RunResult r = Run(args);
      EXPECT_EQ(r.status, 130) << r.err;
      EXPECT_TRUE(Contains(r.err, "cancelled")) << r.err;
      if (kHaveFaultInjection && args[0] != "encode") {
        EXPECT_TRUE(Contains(r.err, "0 blocks, 0 streams")) << r.err;
      }
      EXPECT_TRUE(Listing(In("out")).empty());
    }
  }
}

#ifndef _WIN32
// Whether process `pid` has `path` open: the plug-in holds the picture file
// open while it decodes.
bool HasFileOpen(pid_t pid, const std::string& path) {
  std::error_code ec;
  std::string want = fs::canonical(path, ec).string();
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code linkError;
    if (fs::read_symlink(it->path(), linkError).string() == want) return true;
  }
  return false;
}

// A real SIGINT from outside while the plug-in decodes a big picture.
TEST_F(ToolTest, InterruptFromOutsideStopsADecode) {
  RgbImage img = MakePicture(1500, 1000, 6);
  WritePicture(In("huge.bmp"), img);
  ASSERT_EQ(Run({"encode", In("huge.bmp"), "-o", In("HUGE.I24")}).status, 0);
  fs::create_directory(In("out"));
  Child c = Start({"decode", In("HUGE.I24"), "-o", In("out/huge.png"), "--check-leaks"}, logs_.File("o.txt"),
                  logs_.File("e.txt"));
  bool decoding = false;
  for (int i = 0; i < 2000 && !decoding; ++i) {
    decoding = HasFileOpen(c.pid, In("HUGE.I24"));
    if (!decoding) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(c.pid, SIGINT);
  int status = Wait(c);
  std::string err = Slurp(logs_.File("e.txt"));
  if (!decoding && status == 0) GTEST_SKIP() << "the decode finished before it was seen running";
  EXPECT_EQ(status, 130) << err;
  EXPECT_TRUE(Contains(err, "cancelled")) << err;
  EXPECT_TRUE(Contains(err, "0 blocks, 0 streams")) << err;
  EXPECT_TRUE(Listing(In("out")).empty());
}
// A small file system of its own, where the machine lets a test mount one
// (as root); unmounted when the object goes.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* size) : path_(path) {
    fs::create_directories(path);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// Failures while writing leave nothing partial and say what the system
// said: a full disk for real (a 256 KiB file system), a plug-in whose
// writes fail in the platform stand-in (the tool then writes the member
// itself), and a link planted at the first temporary name, which is left
// alone rather than followed.
TEST_F(ToolTest, FailedWritesLeaveNothingPartial) {
  Bytes big(400 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  dir_.Write("BIG.BIN", big);
  dir_.Write("SMALL.TXT", Text("small"));
  ASSERT_EQ(Run({"pack", In("B.PAK"), In("SMALL.TXT"), In("BIG.BIN")}).status, 0);
  SmallFileSystem disk(In("disk"), "256k");
  dir_.Write("victim.txt", Text("keep me"));
  struct Case {
    std::vector<std::string> args;
    bool needsDisk;
    int status;
    const char* err;
    const char* plant;  // a link to victim.txt at this name in the output folder, or null
  };
  const Case cases[] = {
      {{"extract", "@B.PAK", "-d", "@disk"}, true, 1, "No space left on device", nullptr},
      {{"extract", "@B.PAK", "-d", "@disk", "--via-memory"}, true, 1, "No space left on device", nullptr},
      {{"pack", "@disk/C.PAK", "@SMALL.TXT", "@BIG.BIN"}, true, 1, "No space left on device", nullptr},
      {{"extract", "@B.PAK", "-d", "@out", "--inject-fault", "mmioWrite"}, false, 0, "", nullptr},
      {{"extract", "@B.PAK", "-d", "@out", "--inject-fault", "mmioWrite:short"}, false, 0, "", nullptr},
      {{"pack", "@out/C.PAK", "@SMALL.TXT", "@BIG.BIN", "--predictable-temp-names"}, false, 0, "",
       ".C.PAK.0000000000000000.kaldorin-tmp"},
      {{"extract", "@B.PAK", "BIG.BIN", "-d", "@out", "--via-memory", "--predictable-temp-names"}, false, 0, "",
       ".BIG.BIN.0000000000000000.kaldorin-tmp"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::string trace;
    for (const std::string& a : c.args) {
      args.push_back(a[0] == '@' ? In(a.substr(1)) : a);
      trace += a + " ";
    }
    SCOPED_TRACE(trace);
    if (c.needsDisk && !disk.mounted()) {
      printf("skipped (no small file system can be mounted here): %s\n", trace.c_str());
      continue;
    }
    if (!kHaveFaultInjection && Contains(trace, "--inject-fault")) continue;
    std::string folder = c.needsDisk ? In("disk") : In("out");
    fs::create_directories(folder);
    for (const std::string& name : Listing(folder)) fs::remove_all(folder + "/" + name);
    if (c.plant != nullptr) fs::create_symlink(In("victim.txt"), folder + "/" + c.plant);
    RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    EXPECT_FALSE(Contains(r.err, "internal error") || Contains(r.err, "[result")) << r.err;
    std::vector<std::string> left = Listing(folder);
    if (c.status != 0) {
      // A complete member may stay; nothing partial or temporary does.
      for (const std::string& name : left) EXPECT_EQ(name, "SMALL.TXT");
    } else if (args[0] == "extract") {
      Bytes got;
      EXPECT_TRUE(ReadWholeFile(folder + "/BIG.BIN", &got));
      EXPECT_TRUE(got == big) << "BIG.BIN differs";
    } else {
      EXPECT_EQ(Run({"list", args[1]}).status, 0);
    }
    Bytes victim;
    ReadWholeFile(In("victim.txt"), &victim);
    EXPECT_EQ(victim, Text("keep me"));
    if (c.plant != nullptr) {
      EXPECT_TRUE(fs::is_symlink(folder + "/" + c.plant));
    }
  }
}

// Whether process `pid` has a file open inside `folder`: the tool holds its
// temporary output open while it writes.
bool WritesInto(pid_t pid, const std::string& folder) {
  std::error_code ec;
  std::string want = fs::canonical(folder, ec).string() + "/";
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code linkError;
    if (fs::read_symlink(it->path(), linkError).string().rfind(want, 0) == 0) return true;
  }
  return false;
}

// The progress bar on a narrow terminal: every redraw fits one line.
TEST_F(ToolTest, ProgressBarFitsANarrowTerminal) {
  RgbImage img = MakePicture(600, 400, 12);
  WritePicture(In("wide.bmp"), img);
  ASSERT_EQ(Run({"encode", In("wide.bmp"), "-o", In("A_RATHER_LONG_PICTURE_NAME_INDEED.I24")}).status, 0);
  for (unsigned short columns : {30, 50, 120}) {
    SCOPED_TRACE(std::to_string(columns) + " columns");
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1;
    std::string tool = ToolPath();
    std::string input = In("A_RATHER_LONG_PICTURE_NAME_INDEED.I24");
    std::string output = In("out" + std::to_string(columns) + ".bmp");
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl(tool.c_str(), tool.c_str(), "decode", input.c_str(), "-o", output.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::string screen;
    char buffer[4096];
    ssize_t n;
    while ((n = read(master, buffer, sizeof buffer)) > 0) screen.append(buffer, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_TRUE(Contains(screen, "] 100%")) << screen;
    size_t longest = 0;
    size_t start = 0;
    for (size_t i = 0; i <= screen.size(); ++i) {
      if (i == screen.size() || screen[i] == '\r' || screen[i] == '\n') {
        longest = std::max(longest, i - start);
        start = i + 1;
      }
    }
    EXPECT_LT(longest, columns) << screen;
  }
}

// Signals while a large picture is being written: the first Ctrl-C stops
// the write at the next rows; a second Ctrl-C, SIGTERM and SIGHUP end the
// tool at once. Each time the temporary file goes with it.
TEST_F(ToolTest, SignalsDuringAWriteLeaveNothingBehind) {
  RgbImage img = MakePicture(2000, 1500, 8);
  WritePicture(In("huge.bmp"), img);
  ASSERT_EQ(Run({"encode", In("huge.bmp"), "-o", In("HUGE.I24")}).status, 0);
  fs::copy_file(In("HUGE.I24"), In("HUGE2.I24"));
  const struct {
    std::vector<int> signals;
    int status;
  } cases[] = {{{SIGINT}, 130}, {{SIGINT, SIGINT}, 128 + SIGINT}, {{SIGTERM}, 128 + SIGTERM}, {{SIGHUP}, 128 + SIGHUP}};
  // One picture, and two written by two jobs at once.
  const std::vector<std::string> commands[] = {
      {"decode", In("HUGE.I24"), "-o", In("out/huge.png")},
      {"decode", In("HUGE.I24"), In("HUGE2.I24"), "-d", In("out"), "-j", "2"}};
  for (const auto& c : cases) {
    for (const std::vector<std::string>& command : commands) {
      SCOPED_TRACE("signal " + std::to_string(c.signals[0]) + " x" + std::to_string(c.signals.size()) + ", " +
                   command.back());
      fs::remove_all(In("out"));
      fs::create_directory(In("out"));
      Child child = Start(command, logs_.File("o.txt"), logs_.File("e.txt"));
      bool writing = false;
      for (int i = 0; i < 4000 && !writing; ++i) {
        writing = WritesInto(child.pid, In("out"));
        if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      for (int sig : c.signals) kill(child.pid, sig);
      int status = Wait(child);
      if (!writing && status == 0) {
        printf("skipped: the write finished before it was seen running\n");
        continue;
      }
      EXPECT_EQ(status, c.status) << Slurp(logs_.File("e.txt"));
      EXPECT_TRUE(Listing(In("out")).empty());
    }
  }
}
#endif

}  // namespace
