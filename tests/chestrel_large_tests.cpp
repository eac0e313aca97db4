// chestrel at scale: a directory of 100 000 members and a 256 MiB member,
// extracted to memory and to a file. The files live in a scratch folder and
// go with it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "tests/pack_samples.h"
#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

using namespace pack::model;

using ChestrelLarge = ChestrelTest;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string MemberName(int i) {
  char name[16];
  snprintf(name, sizeof name, "M%06d.DAT", i);
  return name;
}

TEST_F(ChestrelLarge, ListsHundredThousandMembers) {
  const int n = 100000;
  const uint32_t dataStart = 8 + 24 * n + 8;
  std::vector<PackMember> members;
  for (int i = 0; i < n; ++i) members.push_back({MemberName(i), Bytes(i % 5, static_cast<uint8_t>(i))});
  const Bytes data = MakePack(members);
  std::string path = dir.Write("many.pak", data);

  auto start = std::chrono::steady_clock::now();
  std::vector<fileInfo> records;
  ASSERT_EQ(kResultOk, ListFile(path, 0, &records));
  printf("listing of %d members: %.3f s\n", n, SecondsSince(start));
  ASSERT_EQ(static_cast<size_t>(n) + 1, records.size());
  uint32_t at = dataStart;
  for (int i = 0; i < n; ++i) {
    const fileInfo& r = records[i];
    ASSERT_EQ(MemberName(i), r.filename) << i;
    ASSERT_EQ(at, r.position) << i;
    ASSERT_EQ(static_cast<uint32_t>(i % 5), r.filesize) << i;
    ASSERT_EQ(' ', r.method[0]) << i;
    at += i % 5;
  }
  EXPECT_EQ(0, records[n].method[0]);

  // The last member: found by name after reading the whole directory, and
  // extracted by position.
  start = std::chrono::steady_clock::now();
  fileInfo last;
  ASSERT_EQ(kResultOk, getFileInfo(path.c_str(), 0, "m099999.dat", kFlagIgnoreCase, &last));
  EXPECT_EQ(records[n - 1].position, last.position);
  Bytes member;
  ASSERT_EQ(kResultOk, ExtractToMemory(path, static_cast<SpiLong>(last.position), &member));
  EXPECT_EQ(Bytes(4, static_cast<uint8_t>(n - 1)), member);
  EXPECT_EQ(1, ProbeHandle(path));
  printf("lookup and extraction of the last member: %.3f s\n", SecondsSince(start));
}

// An archive of `n` entries whose members start at pseudo-random places in
// 600 bytes of data after the directory, with sizes 0 to 2: positions shared
// by empty and non-empty members in every order, not in directory order.
// `invalidAt` >= 0 gives that entry an invalid name; with `repeat`, entry i
// from `repeat` on is named as entry i % repeat in lower case.
Bytes ScatteredPack(int n, uint32_t seed, int invalidAt = -1, int repeat = 0) {
  const uint32_t dataAt = 8 + 24 * n + 8;
  std::vector<PackEntryBytes> entries;
  uint32_t x = seed;
  for (int i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    const uint32_t size = (x >> 8) % 3;
    std::string name = MemberName(repeat != 0 && i >= repeat ? i % repeat : i);
    if (repeat != 0 && i >= repeat) {
      for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    entries.push_back({dataAt + (x >> 12) % 600, size, i == invalidAt ? NameField(0, name) : NameField(name)});
  }
  Bytes b = PackDirectory(entries);
  const Bytes data = PatternBytes(602, seed);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// Lookups by position and by name in directories large enough to be
// indexed give what the model's fresh scan gives, for every position of the
// data and around it and for names in either case, repeated, after an
// invalid entry or missing: on the first call (a lookup by name first, which
// builds the index), through the index, with the file's key unreadable
// (natively: the lookup scans), and after the file is rewritten under the
// same name with another size, or the same size and another modification
// time.
TEST_F(ChestrelLarge, IndexedLookupsGiveWhatAFreshScanGives) {
  const struct Case {
    const char* what;
    Bytes data;
    bool sameSizeAsBefore;  // rewritten with the size it had: the time is moved
  } cases[] = {
      {"members scattered, empty ones sharing positions", ScatteredPack(1500, 1), false},
      {"rewritten with more members", ScatteredPack(1700, 2), false},
      {"rewritten at the same size, names repeated in lower case", ScatteredPack(1700, 3, -1, 1000), true},
      {"an invalid name at entry 1400", ScatteredPack(1500, 4, 1400), false},
      {"an invalid name at entry 2", ScatteredPack(1500, 5, 2), false},
  };
  const std::string path = dir.File("index.pak");
  auto moved = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir.Write("index.pak", c.data);
    if (c.sameSizeAsBefore) {
      moved += std::chrono::seconds(10);
      std::filesystem::last_write_time(path, moved);
    }
    const int64_t dataAt = static_cast<int64_t>(c.data.size()) - 602;
    const struct {
      std::string name;
      bool ignoreCase;
    } queries[] = {{MemberName(5), false}, {"m000005.dat", false}, {"m000005.dat", true}, {MemberName(1401), true},
                   {MemberName(1400), false}, {MemberName(1699), true}, {"NONE.DAT", true}, {"M-1.DAT", true}};
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t q = 0; q < sizeof queries / sizeof queries[0]; ++q) {
        const std::string& name = queries[q].name;
        const PackScanOutcome model =
            ModelPackScan(c.data.data(), c.data.size(), {0, false, name.c_str(), queries[q].ignoreCase, -1, true});
        const unsigned flag = queries[q].ignoreCase ? static_cast<unsigned>(kFlagIgnoreCase) : 0u;
        fileInfo info{};
        fileInfoW infoW{};
        // Every other query through the wide export.
        const int got = q % 2 == 0 ? getFileInfo(path.c_str(), 0, name.c_str(), flag, &info)
                                   : getFileInfoW(AsWide(dir.WideFile("index.pak")), 0, AsWide(Utf16(name)), flag, &infoW);
        ASSERT_EQ(model.result, got) << name;
        if (model.result != kResultOk) continue;
        const uint32_t position = q % 2 == 0 ? info.position : infoW.position;
        const uint32_t size = q % 2 == 0 ? info.filesize : infoW.filesize;
        const char* entryName = reinterpret_cast<const char*>(&c.data[8 + 24 * model.match + 8 + 1]);
        const std::string filename = q % 2 == 0 ? std::string(info.filename)
                                                : std::string(infoW.filename, infoW.filename + strlen(entryName));
        EXPECT_EQ(model.offset, position) << name;
        EXPECT_EQ(model.size, size) << name;
        EXPECT_EQ(entryName, filename) << name;
      }
      for (int64_t position = dataAt + 601; position >= dataAt - 1; --position) {
        const PackScanOutcome model = ModelPackScan(c.data.data(), c.data.size(), {0, false, nullptr, false, position, true});
        const int expected = model.result != kResultOk ? model.result : model.size == 0 ? kResultMemoryError : kResultOk;
#ifndef _WIN32
        if (pass == 1 && position % 7 == 0) PlatformFailCall(kCallGetFileInformation, 1, kFaultError);
#endif
        Bytes member;
        ASSERT_EQ(expected, ExtractToMemory(path, static_cast<SpiLong>(position), &member)) << position;
        if (expected == kResultOk) {
          ASSERT_EQ(Bytes(c.data.begin() + model.offset, c.data.begin() + model.offset + model.size), member)
              << position;
        }
#ifndef _WIN32
        PlatformResetFaults();
#endif
      }
    }
  }
}

constexpr uint32_t kBigSize = 256u << 20;
constexpr uint32_t kBigAt = 40;

// Byte i of the big member: varies within and between the 8 MiB chunks.
inline uint8_t BigByte(uint64_t i) { return static_cast<uint8_t>((i * 131u) ^ (i >> 9) ^ (i >> 21)); }

// The position of the first byte of `got` that differs from the big
// member's bytes at `from`, or -1.
int64_t FirstMismatch(const uint8_t* got, size_t n, uint64_t from) {
  for (size_t i = 0; i < n; ++i) {
    if (got[i] != BigByte(from + i)) return static_cast<int64_t>(from + i);
  }
  return -1;
}

TEST_F(ChestrelLarge, Extracts256MiBMember) {
  std::string path = dir.File("big.pak");
  {
    const Bytes head = PackDirectory({{kBigAt, kBigSize, NameField("BIG.BIN")}});
    ASSERT_EQ(kBigAt, head.size());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()), head.size());
    Bytes piece(1 << 20);
    for (uint64_t done = 0; done < kBigSize; done += piece.size()) {
      for (size_t i = 0; i < piece.size(); ++i) piece[i] = BigByte(done + i);
      out.write(reinterpret_cast<const char*>(piece.data()), piece.size());
    }
    ASSERT_TRUE(out.good());
  }

  auto start = std::chrono::steady_clock::now();
  ProgressLog log;
  HLOCAL h = nullptr;
  ASSERT_EQ(kResultOk,
            getFile(path.c_str(), kBigAt, reinterpret_cast<LPSTR>(&h), 1u << 8, RecordProgress, LogData(&log)));
  printf("256 MiB to memory: %.3f s\n", SecondsSince(start));
  EXPECT_EQ(33u, log.calls.size());
  ASSERT_EQ(kBigSize, LocalSize(h));
  const uint8_t* p = static_cast<const uint8_t*>(LocalLock(h));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(-1, FirstMismatch(p, kBigSize, 0));
  LocalUnlock(h);
  LocalFree(h);

  std::string outDir = dir.File("out");
  std::filesystem::create_directory(outDir);
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(kResultOk, getFile(path.c_str(), kBigAt, const_cast<LPSTR>(outDir.c_str()), 0, nullptr, 0));
  printf("256 MiB to a file: %.3f s\n", SecondsSince(start));
  std::string written = dir.File("out/BIG.BIN");
  EXPECT_EQ(kBigSize, std::filesystem::file_size(written));
  std::ifstream in(written, std::ios::binary);
  Bytes piece(1 << 20);
  for (uint64_t done = 0; done < kBigSize; done += piece.size()) {
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(piece.data()), piece.size())) << done;
    ASSERT_EQ(-1, FirstMismatch(piece.data(), piece.size(), done));
  }
  in.close();
  std::filesystem::remove(written);
  std::filesystem::remove(path);
}

}  // namespace
