// kaldorin update, delete and rename: untouched members keep their bytes and
// order, archives that cannot be rewritten faithfully are refused before
// anything is written, and a failed write leaves the archive as it was.
#include "tests/tool_harness.h"

namespace {

struct Stored {
  std::string name;
  Bytes data;
};

// The members as the directory gives them, read plainly from the bytes.
std::vector<Stored> Members(const Bytes& b) {
  std::vector<Stored> out;
  for (size_t at = pack::kHeaderSize; at + pack::kEntrySize <= b.size(); at += pack::kEntrySize) {
    uint32_t offset = pack::EntryOffset(&b[at]);
    uint32_t size = pack::EntrySize(&b[at]);
    if (pack::IsTerminator(offset, size)) break;
    std::string name(reinterpret_cast<const char*>(&b[at + pack::kNameFieldAt + 1]), b[at + pack::kNameFieldAt]);
    EXPECT_LE(uint64_t{offset} + size, b.size()) << name;
    out.push_back({name, Bytes(b.begin() + offset, b.begin() + offset + size)});
  }
  return out;
}

Bytes Noise(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 2654435761u + seed) >> 13);
  return b;
}

void ExpectMembers(const std::string& path, const std::vector<Stored>& want) {
  Bytes got;
  ASSERT_TRUE(ReadWholeFile(path, &got));
  std::vector<Stored> members = Members(got);
  ASSERT_EQ(members.size(), want.size()) << path;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(members[i].name, want[i].name) << "member " << i;
    EXPECT_TRUE(members[i].data == want[i].data) << want[i].name << " differs";
  }
}

}  // namespace

// Each step checks every member byte for byte and their order; -o leaves
// the archive itself as it was.
TEST_F(ToolTest, UpdateDeleteRenameKeepUntouchedMembers) {
  std::vector<Stored> want = {{"TITLE.I24", Noise(70000, 1)}, {"EMPTY.TXT", {}}, {"Map.DAT", Noise(3000, 2)},
                              {"A.TXT", Text("alpha")},       {"B.TXT", Text("beta")}};
  std::vector<std::string> args = {"pack", In("G.PAK")};
  for (const Stored& m : want) args.push_back(dir_.Write(m.name, m.data));
  ASSERT_EQ(Run(args).status, 0);
  fs::create_directories(In("new"));
  dir_.Write("new/map.dat", Noise(5, 3));
  dir_.Write("new/C.TXT", Text("gamma"));
  struct Step {
    std::vector<std::string> args;
    const char* out;  // "-o" target, or null
  };
  const Step steps[] = {
      {{"update", "@G.PAK", "@new/map.dat", "@new/C.TXT"}, nullptr},
      {{"delete", "@G.PAK", "[ab].txt", "empty.txt"}, nullptr},
      {{"rename", "@G.PAK", "title.i24", "intro.i24"}, nullptr},
      {{"delete", "@G.PAK", "MAP.DAT", "-o", "@H.PAK"}, "H.PAK"},
  };
  for (const Step& s : steps) {
    std::vector<std::string> a;
    for (const std::string& w : s.args) a.push_back(w[0] == '@' ? In(w.substr(1)) : w);
    SCOPED_TRACE(s.args[0] + " " + s.args.back());
    Bytes before;
    ReadWholeFile(In("G.PAK"), &before);
    RunResult r = Run(a);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Run({"list", s.out != nullptr ? In(s.out) : In("G.PAK")}).status, 0);
    if (s.out != nullptr) {
      Bytes after;
      ReadWholeFile(In("G.PAK"), &after);
      EXPECT_TRUE(after == before);
    }
  }
  // The replaced member keeps its place and stored name; the new one is last.
  ExpectMembers(In("G.PAK"), {{"intro.i24", want[0].data}, {"Map.DAT", Noise(5, 3)}, {"C.TXT", Text("gamma")}});
  ExpectMembers(In("H.PAK"), {{"intro.i24", want[0].data}, {"C.TXT", Text("gamma")}});
  EXPECT_EQ(Listing(dir_.path()).size(), 8u) << "a temporary file was left behind";
}

// What is refused, with the cause named, before anything is written.
TEST_F(ToolTest, EditsRefuseWhatCannotBeRewrittenFaithfully) {
  const Bytes good = pack::model::MakePack({{"A.TXT", Text("aaaa")}, {"B.TXT", Text("bbbb")}});
  const Bytes overlap = HandBuiltPack({{80, 4, "A.TXT"}, {82, 4, "B.TXT"}}, Text("abcdef"));
  const Bytes shared = HandBuiltPack({{80, 3, "A.TXT"}, {80, 3, "B.TXT"}}, Text("abc"));
  const Bytes pastEnd = HandBuiltPack({{80, 3, "A.TXT"}, {83, 9, "B.TXT"}}, Text("abcdef"));
  const Bytes sameName = HandBuiltPack({{80, 3, "A.TXT"}, {83, 3, "a.txt"}}, Text("abcdef"));
  Bytes damaged = good;
  damaged[pack::kDirectoryEndAt] = 200;
  dir_.Write("X.TXT", Text("x"));
  fs::create_directories(In("x.txt.d"));
  dir_.Write("x.txt.d/X.txt", Text("y"));
  struct Case {
    const Bytes* archive;
    std::vector<std::string> args;  // after the archive
    int status;
    const char* err;
  };
  const Case cases[] = {
      {&overlap, {"delete", "B.TXT"}, 1, "member B.TXT's data overlaps member A.TXT's"},
      {&shared, {"rename", "A.TXT", "C.TXT"}, 1, "member B.TXT starts where member A.TXT does"},
      {&pastEnd, {"update", "@X.TXT"}, 1, "member B.TXT's data runs past the end of the file"},
      {&sameName, {"delete", "A.TXT"}, 1, "has the name of member A.TXT when case is ignored"},
      {&damaged, {"delete", "A.TXT"}, 1, "the directory runs past the end of the file"},
      {&good, {"delete", "*.BMP"}, 1, "no member matches *.BMP"},
      {&good, {"delete", "C.TXT"}, 1, "no member C.TXT"},
      {&good, {"rename", "C.TXT", "D.TXT"}, 1, "no member C.TXT"},
      {&good, {"delete", "A.TXT", "b*"}, 1, "the last one cannot be deleted"},
      {&good, {"rename", "A.TXT", "b.txt"}, 1, "is already in the archive"},
      {&good, {"rename", "A.TXT", "LONGERTHAN14.TXT"}, 1, "cannot be stored"},
      {&good, {"update", "@X.TXT", "@x.txt.d/X.txt"}, 1, "two files would both be member X.txt"},
      {&good, {"delete", "A.TXT", "-o", "@G.PAK"}, 1, "never written over"},
      {&good, {"delete", "A.TXT", "-o", "-"}, 2, "cannot be written to standard output"},
      {&good, {"rename", "A.TXT"}, 2, "rename takes an archive, a member and its new name"},
  };
  for (const Case& c : cases) {
    dir_.Write("G.PAK", *c.archive);
    std::vector<std::string> args = {c.args[0], In("G.PAK")};
    for (size_t i = 1; i < c.args.size(); ++i) args.push_back(c.args[i][0] == '@' ? In(c.args[i].substr(1)) : c.args[i]);
    SCOPED_TRACE(c.args[0] + " " + c.err);
    RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    Bytes after;
    ReadWholeFile(In("G.PAK"), &after);
    EXPECT_TRUE(after == *c.archive) << "the archive changed";
    EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"G.PAK", "X.TXT", "x.txt.d"}));
  }
  // --repair keeps what can be read and names what it leaves out.
  const Bytes badName = HandBuiltPack({{80, 3, "A.TXT"}, {83, 3, "B_TXT"}}, Text("abcdef"));
  struct Repair {
    const Bytes* archive;
    const char* err;
    const char* kept;  // what member A.TXT holds
  };
  for (const Repair& c : {Repair{&overlap, "left out member B.TXT", "abcd"},
                          Repair{&badName, "member 2's name is not valid", "abc"}}) {
    dir_.Write("G.PAK", *c.archive);
    RunResult r = Run({"rename", In("G.PAK"), "A.TXT", "C.TXT", "--repair"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
    ExpectMembers(In("G.PAK"), {{"C.TXT", Text(c.kept)}});
  }
}

// A write that fails at any point of update (each write of the new archive
// in turn, its flush to the disk, a Ctrl-C, a full disk) leaves the archive
// byte for byte as it was and no temporary file.
TEST_F(ToolTest, FailedUpdateLeavesTheArchiveAsItWas) {
  const Bytes original = pack::model::MakePack({{"BIG.BIN", Noise(200 * 1024, 5)}, {"A.TXT", Text("alpha")}});
  fs::create_directories(In("in"));
  dir_.Write("in/A.TXT", Text("changed"));
  dir_.Write("in/N.TXT", Noise(3 << 20, 6));
  int failures = 0;
  for (uint64_t n = 1; n < 1000; ++n) {
    fs::create_directories(In("out"));
    for (const std::string& name : Listing(In("out"))) fs::remove(In("out/" + name));
    std::string archive = dir_.Write("out/G.PAK", original);
    RunResult r = Run({"update", archive, In("in/A.TXT"), In("in/N.TXT"), "--fail-write", std::to_string(n)});
    if (r.status == 0) break;
    ++failures;
    ASSERT_EQ(r.status, 1) << "write " << n << ": " << r.err;
    ASSERT_TRUE(Contains(r.err, "No space left on device")) << r.err;
    Bytes after;
    ReadWholeFile(archive, &after);
    ASSERT_TRUE(after == original) << "write " << n << " changed the archive";
    ASSERT_EQ(Listing(In("out")), std::vector<std::string>{"G.PAK"}) << "write " << n;
  }
  EXPECT_GE(failures, 4) << "the directory, both copies and the flush are each a write";
  ExpectMembers(In("out/G.PAK"), {{"BIG.BIN", Noise(200 * 1024, 5)}, {"A.TXT", Text("changed")}, {"N.TXT", Noise(3 << 20, 6)}});

  dir_.Write("out/G.PAK", original);
  RunResult r = Run({"update", In("out/G.PAK"), In("in/N.TXT"), "--cancel-after", "1"});
  EXPECT_EQ(r.status, 130) << r.err;
  Bytes after;
  ReadWholeFile(In("out/G.PAK"), &after);
  EXPECT_TRUE(after == original);
  EXPECT_EQ(Listing(In("out")), std::vector<std::string>{"G.PAK"});

#ifndef _WIN32
  // A real full disk: the new archive does not fit beside the old one.
  fs::create_directories(In("disk"));
  if (mount("tmpfs", In("disk").c_str(), "tmpfs", 0, "size=320k") != 0) {
    printf("skipped the full disk (no small file system can be mounted here)\n");
    return;
  }
  std::string onDisk = dir_.Write("disk/G.PAK", original);
  r = Run({"update", onDisk, In("in/A.TXT")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "No space left on device")) << r.err;
  ReadWholeFile(onDisk, &after);
  EXPECT_TRUE(after == original);
  EXPECT_EQ(Listing(In("disk")), std::vector<std::string>{"G.PAK"});
  umount2(In("disk").c_str(), MNT_DETACH);
#endif
}
