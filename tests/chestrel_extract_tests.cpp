// GetFile as a host sees it: chunked reads with progress reports,
// cancellation, output to files and to memory blocks, and its failures.
#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>

#include "tests/pack_samples.h"
#include "tests/plugin_exports.h"

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

using namespace pack::model;


class ChestrelExtract : public ChestrelTest {
 protected:
  // An archive of three members whose middle one is 100 bytes; written at
  // the start of a scratch file.
  void SetUp() override {
    ChestrelTest::SetUp();
    hundred = PatternBytes(100, 7);
    archive = MakePack({{"FIRST.BIN", {9, 9}}, {"HUNDRED.BIN", hundred}, {"LAST.BIN", {1, 2, 3}}});
    path = dir.Write("three.pak", archive);
    hundredAt = 8 + 3 * 24 + 8 + 2;
  }
  // The folder that GetFile writes into: a sub-folder, so that the archive
  // is not among the outputs.
  std::string OutDir() {
    std::string out = dir.File("out");
    std::filesystem::create_directories(out);
    return out;
  }
  size_t FilesIn(const std::string& folder) {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(folder); it != std::filesystem::directory_iterator(); ++it) ++n;
    return n;
  }
  static std::vector<std::pair<int, int>> FullProgress() {
    std::vector<std::pair<int, int>> calls;
    for (int i = 0; i <= 32; ++i) calls.emplace_back(i, 32);
    return calls;
  }

  Bytes hundred;
  Bytes archive;
  std::string path;
  SpiLong hundredAt = 0;
};

// Before chunk i the callback fills the memory source with i + 1, so each
// byte of the result tells after which call it was read: 32 chunks of 3
// bytes, then the last 4 bytes after the 32nd call.
void MarkSource(ProgressLog* log, int nNum) {
  Bytes* source = static_cast<Bytes*>(log->context);
  memset(source->data(), nNum + 1, source->size());
#ifndef _WIN32
  // And no read happens between two calls but the chunk's own.
  EXPECT_EQ(nNum < 32 ? nNum : 33, PlatformCallsMade(kCallMmioRead)) << "reads before call " << nNum;
#endif
}

TEST_F(ChestrelExtract, HundredBytesInChunksOfThree) {
  Bytes source(100, 0);
  ProgressLog log;
  log.onCall = MarkSource;
  log.context = &source;
  HLOCAL h = nullptr;
#ifndef _WIN32
  PlatformResetFaults();
#endif
  ASSERT_EQ(kResultOk, getFile(reinterpret_cast<LPCSTR>(source.data()), 100, reinterpret_cast<LPSTR>(&h),
                               kInputMemory | kToMemory, RecordProgress, LogData(&log)));
  EXPECT_EQ(FullProgress(), log.calls);
  ASSERT_EQ(100u, LocalSize(h));
  const uint8_t* p = static_cast<const uint8_t*>(LocalLock(h));
  Bytes got(p, p + 100);
  LocalUnlock(h);
  LocalFree(h);
  Bytes expected;
  for (int i = 0; i < 32; ++i) expected.insert(expected.end(), 3, static_cast<uint8_t>(i + 1));
  expected.insert(expected.end(), 4, 32);
  EXPECT_EQ(expected, got);
}

TEST_F(ChestrelExtract, MemberToFile) {
  std::string out = OutDir();
  ProgressLog log;
  ASSERT_EQ(kResultOk,
            getFile(path.c_str(), hundredAt, const_cast<LPSTR>(out.c_str()), 0, RecordProgress, LogData(&log)));
  EXPECT_EQ(FullProgress(), log.calls);
  Bytes written;
  ASSERT_TRUE(ReadWholeFile(dir.File("out/HUNDRED.BIN"), &written));
  EXPECT_EQ(hundred, written);
  EXPECT_EQ(1u, FilesIn(out));

  // An existing file is replaced, and a null callback is allowed.
  dir.Write("out/LAST.BIN", Bytes(5000, 'z'));
  ASSERT_EQ(kResultOk, getFile(path.c_str(), hundredAt + 100, const_cast<LPSTR>(out.c_str()), 0, nullptr, 0));
  ASSERT_TRUE(ReadWholeFile(dir.File("out/LAST.BIN"), &written));
  EXPECT_EQ(Bytes({1, 2, 3}), written);
}

// The wide exports with archives and folders named in other scripts give
// what the ANSI exports give for an ASCII copy: the listing (widened), the
// lookup, each member extracted into a folder of the same name and to
// memory, and the probe.
TEST_F(ChestrelExtract, WideNamesGiveWhatAnsiNamesGive) {
  std::vector<fileInfo> asciiListing;
  ASSERT_EQ(kResultOk, ListFile(path, 0, &asciiListing));
  const std::string out = OutDir();
  const SpiLong positions[] = {hundredAt - 2, hundredAt, hundredAt + 100};
  for (const char* name : {"\xE7\x94\xBB\xE5\x83\x8F\xE6\x9B\xB8\xE5\xBA\xAB",  // Japanese
                           "\xCE\xB5\xCE\xB9\xCE\xBA\xCF\x8C\xCE\xBD\xCE\xB5\xCF\x82",  // Greek
                           "\xD0\xB0\xD1\x80\xD1\x85\xD0\xB8\xD0\xB2",  // Cyrillic
                           "\xF0\x9F\x8E\xA8 art"}) {  // an emoji (a surrogate pair)
    SCOPED_TRACE(name);
    const std::string folder = std::string(name) + "/" + name;
    ASSERT_TRUE(MakeFolders(dir.WideFile(folder)));
    const std::u16string archiveW = dir.WideFile(folder + ".pak");
    ASSERT_TRUE(WriteWholeFile(archiveW, archive));

    std::vector<fileInfoW> listing;
    ASSERT_EQ(kResultOk, ListFileW(archiveW, 0, &listing));
    ASSERT_EQ(asciiListing.size(), listing.size());
    for (size_t i = 0; i < listing.size(); ++i) {
      const fileInfoW expected = WidenRecord(asciiListing[i]);
      EXPECT_EQ(0, memcmp(&expected, &listing[i], sizeof expected)) << "record " << i;
    }
    fileInfoW found;
    ASSERT_EQ(kResultOk, getFileInfoW(AsWide(archiveW), 0, AsWide(Utf16("hundred.bin")), kFlagIgnoreCase, &found));
    const fileInfoW expected = WidenRecord(asciiListing[1]);
    EXPECT_EQ(0, memcmp(&expected, &found, sizeof found));

    std::u16string destW = dir.WideFile(folder);
    for (SpiLong at : positions) {
      ASSERT_EQ(kResultOk, getFile(path.c_str(), at, const_cast<LPSTR>(out.c_str()), 0, nullptr, 0));
      ASSERT_EQ(kResultOk, getFileW(AsWide(archiveW), at, AsWide(&destW), 0, nullptr, 0));
    }
    for (const char* member : {"FIRST.BIN", "HUNDRED.BIN", "LAST.BIN"}) {
      Bytes ansi, wide;
      ASSERT_TRUE(ReadWholeFile(dir.File(std::string("out/") + member), &ansi));
      ASSERT_TRUE(ReadWholeFile(dir.WideFile(folder + "/" + member), &wide)) << member;
      EXPECT_EQ(ansi, wide) << member;
    }
    HLOCAL h = nullptr;
    ASSERT_EQ(kResultOk, getFileW(AsWide(archiveW), hundredAt, reinterpret_cast<LPWSTR>(&h), kToMemory, nullptr, 0));
    EXPECT_EQ(hundred, TakeBlock(h));

    SpiDword handle = OpenHostHandle(path);
    EXPECT_EQ(1, isSupportedW(AsWide(archiveW), handle));
    CloseHostHandle(handle);
  }
  // Memory input is the same image for both.
  std::vector<fileInfoW> fromMemory;
  HLOCAL h = nullptr;
  ASSERT_EQ(kResultOk,
            getArchiveInfoW(reinterpret_cast<LPCWSTR>(archive.data()), SizeOf(archive), kInputMemory, &h));
  TakeListing(kResultOk, h, &fromMemory);
  ASSERT_EQ(asciiListing.size(), fromMemory.size());
  const fileInfoW second = WidenRecord(asciiListing[1]);
  EXPECT_EQ(0, memcmp(&second, &fromMemory[1], sizeof second));
  // A name that is not UTF-16 (an unpaired surrogate) opens nothing.
  std::u16string broken = dir.WideFile("x.pak");
  broken.insert(broken.size() - 4, 1, u'\xD800');
  EXPECT_EQ(kResultReadError, ListFileW(broken, 0, &fromMemory));
}

TEST_F(ChestrelExtract, MemoryInputIsNamedNoname) {
  std::string out = OutDir();
  Bytes ten = PatternBytes(10, 3);
  ProgressLog log;
  ASSERT_EQ(kResultOk, getFile(reinterpret_cast<LPCSTR>(ten.data()), 10, const_cast<LPSTR>(out.c_str()), kInputMemory,
                               RecordProgress, LogData(&log)));
  EXPECT_EQ(FullProgress(), log.calls) << "short members still get 32 + 1 calls";
  Bytes written;
  ASSERT_TRUE(ReadWholeFile(dir.File("out/noname"), &written));
  EXPECT_EQ(ten, written);
}

TEST_F(ChestrelExtract, MemoryOutputHoldsExactlyTheMember) {
  struct Case {
    SpiLong position;
    Bytes bytes;
  } cases[] = {{hundredAt, hundred}, {hundredAt - 2, {9, 9}}, {hundredAt + 100, {1, 2, 3}}};
  for (const Case& c : cases) {
    HLOCAL h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x99));
    ASSERT_EQ(kResultOk, getFile(path.c_str(), c.position, reinterpret_cast<LPSTR>(&h), kToMemory, nullptr, 0));
    ASSERT_EQ(c.bytes.size(), LocalSize(h));
    const uint8_t* p = static_cast<const uint8_t*>(LocalLock(h));
    ASSERT_NE(nullptr, p) << "the block is handed over movable and unlocked";
    EXPECT_EQ(c.bytes, Bytes(p, p + c.bytes.size()));
    EXPECT_FALSE(LocalUnlock(h)) << "the block was still locked";
    EXPECT_EQ(nullptr, LocalFree(h));
  }
  // Any non-zero output type means memory; no file appears.
  Bytes got;
  HLOCAL h = nullptr;
  ASSERT_EQ(kResultOk, getFile(path.c_str(), hundredAt, reinterpret_cast<LPSTR>(&h), 0x700u | 0x80u, nullptr, 0));
  LocalFree(h);
  EXPECT_EQ(1u, FilesIn(dir.path()));
}

// A callback that answers non-zero stops the extraction with 1: nothing is
// written, no handle is stored, nothing stays allocated.
TEST_F(ChestrelExtract, Cancellation) {
  std::string out = OutDir();
  for (int cancelAt : {0, 5, 31, 32}) {
    for (unsigned output : {0u, kToMemory}) {
      SCOPED_TRACE("cancel at " + std::to_string(cancelAt) + (output ? ", to memory" : ", to a file"));
      ProgressLog log;
      log.cancelAt = cancelAt;
      HLOCAL h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55));
      LPSTR dest = output ? reinterpret_cast<LPSTR>(&h) : const_cast<LPSTR>(out.c_str());
      EXPECT_EQ(kResultCancelled, getFile(path.c_str(), hundredAt, dest, output, RecordProgress, LogData(&log)));
      EXPECT_EQ(static_cast<size_t>(cancelAt + 1), log.calls.size());
      EXPECT_EQ(std::make_pair(cancelAt, 32), log.calls.back());
      EXPECT_EQ(reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55)), h);
      EXPECT_EQ(0u, FilesIn(out));
      EXPECT_EQ(before, LiveResources());
    }
  }
}

// Archives of entry offsets and sizes as given, the names A.TXT, B.TXT, ...
// in order, then the terminator and `tail`.
Bytes PackOfEntries(const std::vector<std::pair<uint32_t, uint32_t>>& entries, const Bytes& tail) {
  std::vector<PackEntryBytes> stored;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string name = std::string(1, static_cast<char>('A' + i)) + ".TXT";
    stored.push_back(PackEntryBytes{entries[i].first, entries[i].second, NameField(name)});
  }
  Bytes b = PackDirectory(stored);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

// An empty member shares its position with the member after it. A lookup
// by position that meets an empty member first takes a later member at that
// position that has data; the empty member stands when the directory ends,
// or turns unreadable, before one. An empty member can go to a file (an
// empty file), not to memory: an empty movable block cannot be locked.
TEST_F(ChestrelExtract, EmptyMembersSharingAPosition) {
  Bytes unreadable = PackOfEntries({{64, 0}, {64, 2}}, {1, 2});
  unreadable[8 + 24 + 8] = 0;  // B.TXT's name field: length 0
  Bytes truncated = PackOfEntries({{64, 0}, {64, 2}}, {});
  truncated.resize(8 + 24 + 20);  // ends inside the entry of B.TXT
  struct Case {
    const char* what;
    Bytes data;
    SpiLong position;
    const char* member;  // the member extracted
    Bytes bytes;
  } cases[] = {
      {"empty, then data at its position", MakePack({{"EMPTY.TXT", {}}, {"X.TXT", {1}}}), 64, "X.TXT", {1}},
      {"empty, another member, then data at its position", PackOfEntries({{89, 0}, {88, 1}, {89, 2}}, {7, 8, 9}), 89,
       "C.TXT", {8, 9}},
      {"empty, empty, then data at their position", PackOfEntries({{88, 0}, {88, 0}, {88, 1}}, {5}), 88, "C.TXT",
       {5}},
      {"data, then empty at its position", PackOfEntries({{64, 1}, {64, 0}}, {6}), 64, "A.TXT", {6}},
      {"two members with data at one position", PackOfEntries({{64, 2}, {64, 1}}, {3, 4}), 64, "A.TXT", {3, 4}},
      {"empty alone at its position", MakePack({{"X.TXT", {1}}, {"EMPTY.TXT", {}}}), 65, "EMPTY.TXT", {}},
      {"empty, empty at its position, then the terminator", PackOfEntries({{64, 0}, {64, 0}}, {}), 64, "A.TXT", {}},
      {"empty, then data elsewhere", PackOfEntries({{64, 0}, {65, 1}}, {0, 1}), 64, "A.TXT", {}},
      {"empty, then an invalid name", unreadable, 64, "A.TXT", {}},
      {"empty, then the file ends in the directory", truncated, 64, "A.TXT", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string archivePath = dir.Write("shared.pak", c.data);
    std::string out = OutDir();
    ProgressLog log;
    ASSERT_EQ(kResultOk, getFile(archivePath.c_str(), c.position, const_cast<LPSTR>(out.c_str()), 0, RecordProgress,
                                 LogData(&log)));
    EXPECT_EQ(FullProgress(), log.calls);
    EXPECT_EQ(1u, FilesIn(out));
    Bytes written = {0xCC};
    ASSERT_TRUE(ReadWholeFile(out + "/" + c.member, &written));
    EXPECT_EQ(c.bytes, written);
    std::filesystem::remove_all(out);

    HLOCAL h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55));
    ProgressLog none;
    if (c.bytes.empty()) {
      EXPECT_EQ(kResultMemoryError, getFile(archivePath.c_str(), c.position, reinterpret_cast<LPSTR>(&h), kToMemory,
                                            RecordProgress, LogData(&none)));
      EXPECT_EQ(reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55)), h);
      EXPECT_TRUE(none.calls.empty());
    } else {
      Bytes member;
      ASSERT_EQ(kResultOk, ExtractToMemory(archivePath, c.position, &member));
      EXPECT_EQ(c.bytes, member);
    }
  }

  // The same for an empty memory image.
  std::string out = OutDir();
  HLOCAL h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55));
  char nothing = 0;
  EXPECT_EQ(kResultMemoryError,
            getFile(&nothing, 0, reinterpret_cast<LPSTR>(&h), kInputMemory | kToMemory, nullptr, 0));
  EXPECT_EQ(kResultOk, getFile(&nothing, 0, const_cast<LPSTR>(out.c_str()), kInputMemory, nullptr, 0));
  Bytes written = {1};
  ASSERT_TRUE(ReadWholeFile(dir.File("out/noname"), &written));
  EXPECT_TRUE(written.empty());
}

// The output path has room for 271 characters: a longer one gives 8 and
// creates nothing.
TEST_F(ChestrelExtract, OutputPathLength) {
  const std::string name = "HUNDRED.BIN";
  for (size_t total : {271u, 272u, 400u}) {
    SCOPED_TRACE("path of " + std::to_string(total) + " characters");
    // dest = <scratch>/<padding>, so that dest + separator + name has `total` characters.
    size_t base = dir.path().size() + 1;
    ASSERT_LT(base + 1 + name.size(), total);
    std::string sub(total - base - 1 - name.size(), 'd');
    std::string dest = dir.File(sub);
    ASSERT_EQ(total, dest.size() + 1 + name.size());
    bool fits = total <= 271;
#ifdef _WIN32
    // Windows paths stop at 260 characters anyway.
    if (fits) continue;
#endif
    std::error_code ec;
#ifdef _WIN32
    // Folders past 260 characters are not reliably handled there.
    bool made = false;
#else
    bool made = sub.size() <= 255 && std::filesystem::create_directory(dest, ec);
#endif
    ResultCode r = getFile(path.c_str(), hundredAt, const_cast<LPSTR>(dest.c_str()), 0, nullptr, 0);
    EXPECT_EQ(fits ? kResultOk : kResultInternalError, r);
    if (made) {
      EXPECT_EQ(fits ? 1u : 0u, FilesIn(dest));
      std::filesystem::remove_all(dest, ec);
    }
  }
  // An empty dest means the name alone, in the current folder.
  std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(OutDir());
  ResultCode r = getFile(path.c_str(), hundredAt, const_cast<LPSTR>(""), 0, nullptr, 0);
  std::filesystem::current_path(was);
  EXPECT_EQ(kResultOk, r);
  EXPECT_TRUE(FileExists(dir.File("out/HUNDRED.BIN")));
  // A folder that does not exist cannot take the file.
  EXPECT_EQ(kResultInternalError,
            getFile(path.c_str(), hundredAt, const_cast<LPSTR>(dir.File("missing").c_str()), 0, nullptr, 0));
}

// Failures before delivery: the code, and the host's handle untouched.
TEST_F(ChestrelExtract, FailuresLeaveTheHandle) {
  Bytes past = MakePack({{"PAST.BIN", Bytes(10, 1)}});
  past.resize(past.size() - 1);  // the member's last byte is missing
  std::string pastPath = dir.Write("past.pak", past);
  Bytes notPack = archive;
  notPack[3] = 'X';
  std::string notPackPath = dir.Write("notpack.pak", notPack);
  // Members whose bytes would lie beyond 2 GiB: refused before allocating.
  Bytes huge = PackDirectory({{64, 0x80000000u, NameField("HUGE.BIN")}, {0x7FFFFFF0u, 0x20, NameField("FAR.BIN")}});
  huge.insert(huge.end(), 100, 0);
  std::string hugePath = dir.Write("huge.pak", huge);
  struct Case {
    const char* what;
    std::string file;
    SpiLong position;
    unsigned flag;
    ResultCode result;
    bool allocates;
  } cases[] = {
      {"no member at that position", path, hundredAt + 1, 0, kResultReadError, false},
      {"position 0", path, 0, 0, kResultReadError, false},
      {"member past the end of the file", pastPath, 40, 0, kResultReadError, false},
      {"not a PACK archive", notPackPath, hundredAt, 0, kResultUnknownFormat, false},
      {"missing archive", dir.File("missing.pak"), 0, 0, kResultReadError, false},
      {"input type 2", path, hundredAt, 2, kResultInternalError, false},
      {"input type 7", path, hundredAt, 7, kResultInternalError, false},
      {"member of 2 GiB", hugePath, 64, 0, kResultReadError, false},
      {"member ending past 2 GiB", hugePath, 0x7FFFFFF0, 0, kResultReadError, false},
  };
  for (const Case& c : cases) {
    for (unsigned output : {0u, kToMemory}) {
      SCOPED_TRACE(std::string(c.what) + (output ? ", to memory" : ", to a file"));
      HLOCAL h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55));
      std::string out = OutDir();
      LPSTR dest = output ? reinterpret_cast<LPSTR>(&h) : const_cast<LPSTR>(out.c_str());
#ifndef _WIN32
      PlatformResetFaults();
#endif
      EXPECT_EQ(c.result, getFile(c.file.c_str(), c.position, dest, c.flag | output, nullptr, 0));
      EXPECT_EQ(reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x55)), h);
      EXPECT_EQ(0u, FilesIn(out));
#ifndef _WIN32
      EXPECT_EQ(c.allocates ? 1 : 0, PlatformCallsMade(kCallLocalAlloc));
#endif
    }
  }
#ifndef _WIN32
  PlatformResetFaults();
#endif
  EXPECT_EQ(kResultInternalError, getFile(path.c_str(), hundredAt, nullptr, 0, nullptr, 0));
  EXPECT_EQ(kResultInternalError, getFile(path.c_str(), hundredAt, nullptr, kToMemory, nullptr, 0));
#ifndef _WIN32
  EXPECT_EQ(0, PlatformCallsMade(kCallMmioOpen)) << "opened something for a null dest";
#endif
}

// Members whose names Windows resolves to a device: every Windows build
// refuses to write them to a folder with 8, before opening anything (a
// serial port would get the bytes); to memory they extract as any member.
// Native builds write them as files. The ordinary name still extracts.
TEST_F(ChestrelExtract, DeviceNamesAreNotWrittenOnWindows) {
#ifdef _WIN32
  const int refused = kResultInternalError;
#else
  const int refused = kResultOk;
#endif
  const struct {
    const char* name;
    int result;
  } cases[] = {
      {"COM1.X", refused}, {"aux.x", refused}, {"NUL.A", refused}, {"LPT1.X", refused}, {"CON.X", refused},
      {"COM0.X", refused}, {"prn.TXT", refused}, {"Lpt9.BIN", refused}, {"COM10.X", kResultOk},
      {"CONS.X", kResultOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.File(std::string("dev-") + c.name);
    std::filesystem::create_directories(out);
    const std::string file = dir.Write("device.pak", MakePack({{c.name, {4, 5, 6}}}));
    ProgressLog log;
    EXPECT_EQ(c.result, getFile(file.c_str(), 8 + 24 + 8, const_cast<LPSTR>(out.c_str()), 0, RecordProgress,
                                LogData(&log)));
    EXPECT_EQ(c.result == kResultOk ? 1u : 0u, FilesIn(out));
    if (c.result != kResultOk) {
      EXPECT_TRUE(log.calls.empty()) << "read a member it will not write";
    }
    HLOCAL h = nullptr;
    ASSERT_EQ(kResultOk, getFile(file.c_str(), 8 + 24 + 8, reinterpret_cast<LPSTR>(&h), kToMemory, nullptr, 0));
    EXPECT_EQ(Bytes({4, 5, 6}), TakeBlock(h));
  }
}

#ifndef _WIN32
// A write that stores fewer bytes, a failing write and a failing close of
// the output file are errors; the file that was created stays.
TEST_F(ChestrelExtract, OutputFileFailures) {
  std::string out = OutDir();
  struct Case {
    const char* what;
    int call;
    long nth;
    int mode;
    size_t left;  // bytes in the file afterwards
  } cases[] = {
      {"short write", kCallMmioWrite, 1, kFaultShort, 50},
      {"failed write", kCallMmioWrite, 1, kFaultError, 0},
      {"failed close", kCallMmioClose, 1, kFaultError, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlatformResetFaults();
    PlatformFailCall(c.call, c.nth, c.mode);
    EXPECT_EQ(kResultInternalError, getFile(path.c_str(), hundredAt, const_cast<LPSTR>(out.c_str()), 0, nullptr, 0));
    EXPECT_TRUE(PlatformFaultFired());
    Bytes written;
    ASSERT_TRUE(ReadWholeFile(dir.File("out/HUNDRED.BIN"), &written));
    EXPECT_EQ(c.left, written.size());
    EXPECT_EQ(before, LiveResources());
  }
  PlatformResetFaults();
}
#endif

}  // namespace
