// chestrel's directory work as a host sees it: probing, listing, lookups by
// name, name validity and the DirectoryEnd checks.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive_pack/pack_diagnosis.h"
#include "archive_pack/pack_format.h"
#include "archive_pack/pack_member_walk.h"
#include "tests/pack_samples.h"

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

using namespace pack::model;

using ChestrelDirectory = ChestrelTest;

TEST_F(ChestrelDirectory, TinyArchiveListsOneMember) {
  Bytes data = TinyPack();
  ASSERT_EQ(43u, data.size());
  std::string path = dir.Write("tiny.pak", data);
  std::vector<fileInfo> fromMemory;
  std::vector<fileInfo> fromFile;
  ASSERT_EQ(kResultOk, ListMemory(data, &fromMemory));
  ASSERT_EQ(kResultOk, ListFile(path, 0, &fromFile));
  ASSERT_EQ(2u, fromMemory.size()) << "DirectoryEnd 32 gives room for 32 / 24 + 1 records";
  ASSERT_EQ(0, memcmp(fromMemory.data(), fromFile.data(), 2 * sizeof(fileInfo)));

  const fileInfo expected = ListedRecord(40, 3, "A.TXT");
  EXPECT_EQ(0, memcmp(&expected, &fromMemory[0], sizeof expected)) << "first record";
  EXPECT_EQ(0, fromMemory[1].method[0]) << "end record";

  EXPECT_EQ(1, ProbeBuffer(data));
  EXPECT_EQ(1, ProbeHandle(path));

  fileInfo found;
  memset(&found, 0xAB, sizeof found);
  ASSERT_EQ(kResultOk, getFileInfo(path.c_str(), 0, "A.TXT", 0, &found));
  // The whole record is written, none of the host's bytes are left.
  EXPECT_EQ(0, memcmp(&expected, &found, sizeof found));

  Bytes member;
  ASSERT_EQ(kResultOk, ExtractToMemory(path, 40, &member));
  EXPECT_EQ(Bytes({'a', 'b', 'c'}), member);
}

// DirectoryEnd against the place of the terminator, for listing, lookups and
// the probe.
TEST_F(ChestrelDirectory, DirectoryEndChecks) {
  std::vector<PackMember> two = {{"ONE.BIN", {1, 2}}, {"TWO.BIN", {3}}};
  Bytes badFirstName = MakePack(two, 0, 0x7FFFFFFF);
  badFirstName[8 + 9] = '-';
  Bytes lastPastEnd = MakePack(two);
  lastPastEnd.pop_back();
  const Bytes noTerminator(lastPastEnd.begin(), lastPastEnd.begin() + 56);
  // What the listing, the lookup and the probe answer, and the cause the
  // hosts' diagnosis gives, from memory and from a file.
  struct Case {
    const char* what;
    Bytes data;
    ResultCode listing;
    size_t records;  // on success, the end record included
    ResultCode lookup;
    int probe;
    const char* cause;
  } cases[] = {
      {"no members, DirectoryEnd 8", MakePack({}), kResultReadError, 0, kResultReadError, 1,
       "the archive has no members"},
      {"two members, DirectoryEnd 56", MakePack(two), kResultOk, 3, kResultOk, 1, "the archive is whole"},
      {"two members, DirectoryEnd 80", MakePack(two, 0, 80), kResultReadError, 0, kResultOk, 1,
       "the directory runs past the end of the file"},
      {"two members, DirectoryEnd 32", MakePack(two, 0, 32), kResultReadError, 0, kResultOk, 1,
       "the directory does not end where its header says"},
      {"two members, DirectoryEnd 0", MakePack(two, 0, 0), kResultReadError, 0, kResultOk, 1,
       "the directory does not end where its header says"},
      {"two members, DirectoryEnd 0xFFFFFFF0", MakePack(two, 0, 0xFFFFFFF0), kResultReadError, 0, kResultOk, 1,
       "the directory runs past the end of the file"},
      {"first name invalid, DirectoryEnd 0x7FFFFFFF", badFirstName, kResultUnknownFormat, 0, kResultUnknownFormat, 0,
       "member 1's name is not valid"},
      {"no terminator", noTerminator, kResultReadError, 0, kResultOk, 1,
       "the directory runs past the end of the file"},
      {"header cut off", Bytes{'P', 'A', 'C', 'K', 56}, kResultReadError, 0, kResultReadError, 1,
       "the archive's header is cut off"},
      {"not PACK", Bytes(16, 'x'), kResultUnknownFormat, 0, kResultUnknownFormat, 0, "it is not a PACK archive"},
      {"last member past the end", lastPastEnd, kResultOk, 3, kResultOk, 1,
       "member 2's data runs past the end of the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<fileInfo> records;
    EXPECT_EQ(c.listing, ListMemory(c.data, &records));
    EXPECT_EQ(c.records, records.size());
    if (c.listing == kResultOk) {
      EXPECT_STREQ("ONE.BIN", records[0].filename);
      EXPECT_EQ(2u, records[0].filesize);
      EXPECT_STREQ("TWO.BIN", records[1].filename);
      EXPECT_EQ(66u, records[1].position);
      EXPECT_EQ(0, records[2].method[0]);
    }
    fileInfo info;
    EXPECT_EQ(c.lookup, getFileInfo(reinterpret_cast<LPCSTR>(c.data.data()), static_cast<SpiLong>(c.data.size()),
                                    "TWO.BIN", kInputMemory, &info));
    EXPECT_EQ(c.probe, ProbeBuffer(c.data));

    const pack::ArchiveDiagnosis d = pack::DiagnoseArchive(c.data.data(), c.data.size());
    char text[80];
    pack::DescribeArchiveFault(d, text, sizeof text);
    EXPECT_STREQ(c.cause, text);
    // The listing's result, but GetFile's for a member past the end.
    EXPECT_EQ(d.fault == pack::kArchiveMemberPastEnd ? kResultReadError : c.listing,
              pack::ArchiveFaultResult(d.fault));
    FILE* file = fopen(dir.Write("diagnosed.pak", c.data).c_str(), "rb");
    ASSERT_NE(nullptr, file);
    const pack::ArchiveDiagnosis fromFile = pack::DiagnoseArchiveFile(file);
    // The entries for rewriting: the same walk from the file's first byte,
    // wherever the file stands.
    std::vector<pack::ArchiveEntry> entries;
    const pack::ArchiveDiagnosis kept = pack::ReadArchiveEntries(file, &entries);
    fclose(file);
    EXPECT_TRUE(fromFile.fault == d.fault && fromFile.member == d.member) << "a file is diagnosed as memory";
    EXPECT_TRUE(kept.fault == d.fault && kept.member == d.member);
    // The walk for hosts: the same verdict, and the members the directory
    // holds before it stops, numbered from 1; all of the listing's.
    std::vector<std::string> walked;
    const pack::ArchiveDiagnosis w = pack::WalkArchiveMembers(
        nullptr, nullptr, c.data.data(), c.data.size(), c.data.size(),
        [](void* into, uint32_t number, uint32_t, uint32_t, const char* name) {
          auto* names = static_cast<std::vector<std::string>*>(into);
          names->push_back(number == names->size() + 1 ? name : "misnumbered");
        },
        &walked);
    EXPECT_TRUE(w.fault == d.fault && w.member == d.member);
    const std::vector<std::string> both = {"ONE.BIN", "TWO.BIN"};
    EXPECT_TRUE(walked.size() <= 2 && std::equal(walked.begin(), walked.end(), both.begin()));
    if (c.listing == kResultOk) {
      EXPECT_EQ(c.records - 1, walked.size());
    }
    ASSERT_EQ(walked.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(walked[i], entries[i].name);
    if (entries.size() == 2) {
      EXPECT_EQ(66u, entries[1].offset);
    }
  }
}

// One member whose name field is given byte by byte: what the listing and
// the probe make of it.
TEST_F(ChestrelDirectory, NameValidity) {
  Bytes trailing = NameField("A.TXT");
  trailing[15] = 'x';
  Bytes highBit = NameField("A.TX");
  highBit[4] = 0xC9;
  struct Case {
    Bytes field;
    bool valid;
  } cases[] = {
      {NameField(10, "README.TXT"), true},
      {NameField(8, "README.TXT"), false},  // characters 9 and 10 stand where zeros belong
      {NameField("READ-ME.TXT"), false},
      {NameField("ARCHIVE"), false},
      {NameField("A.B.C"), false},
      {NameField("."), true},
      {NameField(".ABC"), true},
      {NameField("abc."), true},
      {NameField("ABCDEFGHIJ.XYZ"), true},    // 14 characters
      {NameField("ABCDEFGHIJK.XYZ"), false},  // 15
      {NameField(0, ""), false},
      {NameField(200, "A.TXT"), false},
      {NameField("A B.C"), false},
      {NameField(5, std::string("A\0TXT", 5)), false},
      {NameField("a_b.c"), false},
      {trailing, false},
      {highBit, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field.begin() + 1, c.field.end()) + " / length " + std::to_string(c.field[0]));
    Bytes data = PackDirectory({{40, 1, c.field}});
    data.push_back(0);
    std::vector<fileInfo> records;
    EXPECT_EQ(c.valid ? kResultOk : kResultUnknownFormat, ListMemory(data, &records));
    EXPECT_EQ(c.valid ? 1 : 0, ProbeBuffer(data));
    if (c.valid) {
      EXPECT_EQ(0, memcmp(records[0].filename, c.field.data() + 1, 15));
      fileInfo info;
      memset(&info, 0xAB, sizeof info);
      EXPECT_EQ(kResultOk, getFileInfo(reinterpret_cast<LPCSTR>(data.data()), static_cast<SpiLong>(data.size()),
                                       records[0].filename, kInputMemory, &info));
      EXPECT_EQ(0, memcmp(&records[0], &info, sizeof info)) << "the lookup's record is the listing's";
    }
  }
}

// Every byte value at every place of the name field, for every length byte:
// the reader agrees with the plain name rule, pack::IsValidNameField. (The
// reader checks names several bytes at a time; this pins every lane.) Native
// builds also check variants/chestrel_portable, built with the name check
// that machines without SSE2 (the 32-bit DLL) use.
TEST_F(ChestrelDirectory, NameRuleOnEveryByte) {
  Bytes data = PackDirectory({{40, 1, NameField("A.TXT")}});
  data.push_back(0);
  uint8_t* field = data.data() + pack::kHeaderSize + pack::kNameFieldAt;
  const char base[] = "B.CDEFGHIJKLMNOP";  // a full stop, then letters
  auto mismatchesOf = [&](GetArchiveInfoFn list) {
    int mismatches = 0;
    for (int length = 0; length < 16; ++length) {
      for (int place = 1; place < 16; ++place) {
        for (int value = 0; value < 256; ++value) {
          field[0] = static_cast<uint8_t>(length);
          for (int i = 1; i < 16; ++i) field[i] = i <= length ? base[i - 1] : 0;
          field[place] = static_cast<uint8_t>(value);
          HLOCAL h = nullptr;
          ResultCode r =
              list(reinterpret_cast<LPCSTR>(data.data()), static_cast<SpiLong>(data.size()), kInputMemory, &h);
          LocalFree(h);
          if ((r == kResultOk) != pack::IsValidNameField(field) && ++mismatches < 5) {
            ADD_FAILURE() << "length " << length << ", byte " << place << " = " << value << ": result " << r;
          }
        }
      }
    }
    return mismatches;
  };
  EXPECT_EQ(0, mismatchesOf(getArchiveInfo));
#ifndef _WIN32
  Plugin portable;
  ASSERT_TRUE(LoadPlugin("variants/chestrel_portable", &portable));
  EXPECT_EQ(0, mismatchesOf(portable.Get<GetArchiveInfoFn>("GetArchiveInfo"))) << "chestrel_portable";
  UnloadPlugin(&portable);
#endif
}

// Lookups by name give the record the listing holds for that member, byte
// for byte; a failed lookup leaves the host's record as it was.
TEST_F(ChestrelDirectory, NameLookup) {
  Bytes data = MakePack({{"README.TXT", {1}}, {"B.DAT", {2, 3}}, {"B.DAT", {4}}, {"Mixed.Cs", {5}}, {"E.", {}}});
  std::string path = dir.Write("names.pak", data);
  std::vector<fileInfo> listed;
  ASSERT_EQ(kResultOk, ListMemory(data, &listed));
  struct Case {
    const char* name;
    unsigned flag;
    ResultCode result;
    int member;  // the listing's record of the member found, or -1
  } cases[] = {
      {"README.TXT", 0, kResultOk, 0},
      {"readme.txt", 0, kResultReadError, -1},
      {"readme.txt", kFlagIgnoreCase, kResultOk, 0},
      {"mIXED.cS", kFlagIgnoreCase, kResultOk, 3},
      {"B.DAT", 0, kResultOk, 1},  // the first of two wins
      {"E.", 0, kResultOk, 4},
      {"B.DA", 0, kResultReadError, -1},
      {"", 0, kResultReadError, -1},
      // Other flag bits do not matter, only bit 7 and the input type.
      {"B.DAT", 0xFFFFFF78u, kResultOk, 1},
  };
  const std::u16string widePath = Utf16(path);
  for (const Case& c : cases) {
    for (uint8_t hostByte : {0x00, 0xAB}) {
      SCOPED_TRACE(std::string(c.name) + " flag " + std::to_string(c.flag) + " record of " +
                   std::to_string(hostByte));
      fileInfo info;
      memset(&info, hostByte, sizeof info);
      const fileInfo untouched = info;
      EXPECT_EQ(c.result, getFileInfo(path.c_str(), 0, c.name, c.flag, &info));
      const fileInfo& expected = c.member >= 0 ? listed[c.member] : untouched;
      EXPECT_EQ(0, memcmp(&expected, &info, sizeof info));
      // GetFileInfoW finds the same member and gives its record widened.
      fileInfoW wide;
      memset(&wide, hostByte, sizeof wide);
      const fileInfoW wideExpected = c.member >= 0 ? WidenRecord(listed[c.member]) : wide;
      EXPECT_EQ(c.result, getFileInfoW(AsWide(widePath), 0, AsWide(Utf16(c.name)), c.flag, &wide));
      EXPECT_EQ(0, memcmp(&wideExpected, &wide, sizeof wide));
    }
  }
  // Without a record to fill nothing counts as found.
  EXPECT_EQ(kResultReadError, getFileInfo(path.c_str(), 0, "README.TXT", 0, nullptr));
  EXPECT_EQ(kResultReadError, getFileInfoW(AsWide(widePath), 0, AsWide(Utf16("README.TXT")), 0, nullptr));
  // A wide name matches unit by unit: a letter beyond ASCII never folds to
  // or equals a member's byte (U+0130 and U+FF32 look like "I" and "R").
  fileInfoW wide;
  for (const char* name : {"README.TXT\xC4\xB0", "\xEF\xBC\xB2" "EADME.TXT", "B.DAT\xE2\x80\x8B"}) {
    EXPECT_EQ(kResultReadError, getFileInfoW(AsWide(widePath), 0, AsWide(Utf16(name)), kFlagIgnoreCase, &wide));
  }
}

// A lookup stops at its match, so later damage does not matter to it; a
// listing reads everything and fails.
TEST_F(ChestrelDirectory, FirstMatchWinsWhileListingFails) {
  Bytes wrongEnd = MakePack({{"A.TXT", {1}}, {"B.TXT", {2}}}, 0, 200);
  Bytes badName = MakePack({{"A.TXT", {1}}, {"B-B.TXT", {2}}});
  Bytes truncated = MakePack({{"A.TXT", {1}}, {"B.TXT", {2}}});
  truncated.resize(8 + 24 + 10);  // ends inside the second entry
  struct Case {
    const char* what;
    Bytes data;
    ResultCode listing;
    ResultCode second;  // looking up the second member
    bool hasData;       // the first member's bytes are in the file
  } cases[] = {
      {"DirectoryEnd 200", wrongEnd, kResultReadError, kResultOk, true},
      {"invalid second name", badName, kResultUnknownFormat, kResultUnknownFormat, true},
      {"ends in the second entry", truncated, kResultReadError, kResultReadError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.Write("first.pak", c.data);
    std::vector<fileInfo> records;
    EXPECT_EQ(c.listing, ListFile(path, 0, &records));
    fileInfo info;
    EXPECT_EQ(kResultOk, getFileInfo(path.c_str(), 0, "A.TXT", 0, &info));
    EXPECT_EQ(kResultOk, getFileInfo(path.c_str(), 0, "a.txt", kFlagIgnoreCase, &info));
    // The member's data offset finds it by position as well.
    const uint32_t offset = pack::EntryOffset(c.data.data() + pack::kHeaderSize);
    Bytes member;
    EXPECT_EQ(c.hasData ? kResultOk : kResultReadError, ExtractToMemory(path, offset, &member));
    if (c.hasData) {
      EXPECT_EQ(Bytes({1}), member);
    }
    EXPECT_EQ(c.second, getFileInfo(path.c_str(), 0, "B.TXT", 0, &info));
  }
}

// An entry with only one of offset and size zero is an ordinary member.
TEST_F(ChestrelDirectory, HalfZeroEntriesAreMembers) {
  Bytes data = PackDirectory({{0, 5, NameField("AT0.BIN")}, {70, 0, NameField("EMPTY.BIN")}});
  std::vector<fileInfo> records;
  ASSERT_EQ(kResultOk, ListMemory(data, &records));
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ(0u, records[0].position);
  EXPECT_EQ(5u, records[0].compsize);
  EXPECT_EQ(70u, records[1].position);
  EXPECT_EQ(0u, records[1].filesize);
  EXPECT_EQ(0, records[2].method[0]);
}

// The probe reads the entries that end by byte 2048: 85 of them.
TEST_F(ChestrelDirectory, ProbeReadsAtMost85Entries) {
  for (int broken : {84, 85, 86, 200}) {
    SCOPED_TRACE("broken entry " + std::to_string(broken + 1));
    Bytes data;
    AppendHeader(&data, 8 + 24 * 200);
    for (int i = 0; i < 200; ++i) {
      Bytes name = i == broken ? NameField("BAD NAME") : NameField("M" + std::to_string(i) + ".BIN");
      AppendEntry(&data, PackEntryBytes{static_cast<uint32_t>(10000 + i), 1, name});
    }
    // No terminator within the probe; past entry 200 the file just ends.
    std::string path = dir.Write("many.pak", data);
    int expected = broken >= 85 ? 1 : 0;
    EXPECT_EQ(expected, ProbeBuffer(data));
    EXPECT_EQ(expected, ProbeHandle(path));
    std::vector<fileInfo> records;
    EXPECT_EQ(broken < 200 ? kResultUnknownFormat : kResultReadError, ListFile(path, 0, &records));
  }
  // A probe with the magic alone is enough; a wrong magic is not.
  EXPECT_EQ(1, ProbeBuffer({'P', 'A', 'C', 'K'}));
  EXPECT_EQ(0, ProbeBuffer({'P', 'A', 'C', 'k'}));
  EXPECT_EQ(0, ProbeBuffer({}));
}

#ifndef _WIN32
// A host may hand over a whole archive shorter than the probe straight from
// its memory. The probe reads the header and then entry by entry, up to the
// terminator's first 8 bytes or the 85th entry, and nothing further: each
// buffer here ends right before a guard page. Archives of 0 to 85 members,
// each followed by 0 to 23 bytes of member data: every length from 16 (the
// header and the terminator) to 2048.
TEST_F(ChestrelDirectory, ProbeReadsNothingPastTheTerminator) {
  GuardedRegion region;
  for (int count = 0; count <= 85; ++count) {
    for (size_t extra = 0; extra < 24; ++extra) {
      std::vector<PackMember> members;
      for (int i = 0; i < count; ++i) members.push_back({"M" + std::to_string(i) + ".BIN", {}});
      if (count > 0) members.back().data = Bytes(extra, 0xEE);
      Bytes data = MakePack(members);
      if (count == 0) data.insert(data.end(), extra, 0xEE);
      if (count == 85) data.resize(2048);  // the 85th entry ends the probe: no terminator within it
      if (data.size() > 2048 || (count == 85 && extra > 0)) break;
      SCOPED_TRACE(std::to_string(count) + " members, " + std::to_string(data.size()) + " bytes");
      const uint8_t* buffer = CopyBeforeGuardPage(&region, data.data(), data.size(), data.size());
      ASSERT_NE(nullptr, buffer);
      EXPECT_EQ(1, isSupported("x.pak", reinterpret_cast<SpiDword>(buffer)));
    }
  }
  ReleaseGuardedRegion(&region);
}
#endif

TEST_F(ChestrelDirectory, ArchiveAtOffset512) {
  Bytes data(512, 'x');
  Bytes archive = MakePack({{"IN.DAT", {7, 8, 9}}, {"TWO.DAT", {1}}}, 512);
  data.insert(data.end(), archive.begin(), archive.end());
  std::string path = dir.Write("at512.bin", data);
  std::vector<fileInfo> records;
  ASSERT_EQ(kResultOk, ListFile(path, 512, &records));
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ(512u + 64, records[0].position) << "offsets as stored, from the file start";
  fileInfo info;
  ASSERT_EQ(kResultOk, getFileInfo(path.c_str(), 512, "TWO.DAT", 0, &info));
  EXPECT_EQ(512u + 67, info.position);
  // GetFile reads the directory from byte 0, which is not PACK here.
  Bytes member;
  EXPECT_EQ(kResultUnknownFormat, ExtractToMemory(path, 512 + 64, &member));
  EXPECT_EQ(kResultUnknownFormat, ListFile(path, 0, &records));
  EXPECT_EQ(kResultUnknownFormat, ListFile(path, 513, &records));
  EXPECT_EQ(kResultReadError, ListFile(path, 100000, &records));
}

TEST_F(ChestrelDirectory, RefusedArguments) {
  Bytes data = TinyPack();
  std::string path = dir.Write("tiny.pak", data);
  HLOCAL h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x1234));
  fileInfo info;
#ifndef _WIN32
  PlatformResetFaults();
#endif
  EXPECT_EQ(kResultInternalError, getArchiveInfo(path.c_str(), 0, kInputFile, nullptr));
  EXPECT_EQ(kResultInternalError, getFileInfo(path.c_str(), 0, nullptr, kInputFile, &info));
#ifndef _WIN32
  EXPECT_EQ(0, PlatformCallsMade(kCallMmioOpen)) << "opened something for a null argument";
#endif
  // After any failed listing the host's handle is null.
  for (unsigned type = 2; type < 8; ++type) {
    h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(kResultInternalError, getArchiveInfo(path.c_str(), 0, type, &h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(kResultInternalError, getFileInfo(path.c_str(), 0, "A.TXT", type, &info));
  }
  h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x1234));
  EXPECT_EQ(kResultReadError, getArchiveInfo(dir.File("missing.pak").c_str(), 0, kInputFile, &h));
  EXPECT_EQ(nullptr, h);
  Bytes notPack = data;
  notPack[0] = 'Q';
  h = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x1234));
  EXPECT_EQ(kResultUnknownFormat, getArchiveInfo(reinterpret_cast<LPCSTR>(notPack.data()),
                                                 static_cast<SpiLong>(notPack.size()), kInputMemory, &h));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(kResultReadError, getFileInfo(dir.File("missing.pak").c_str(), 0, "A.TXT", kInputFile, &info));
  EXPECT_EQ(kResultReadError, getFileInfo(path.c_str(), 44, "A.TXT", kInputFile, &info));
}

}  // namespace
