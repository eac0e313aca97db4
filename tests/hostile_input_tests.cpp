// Inputs whose sizes lie: pictures that claim 65535 x 65535 pixels,
// archives that claim a 4 GiB directory, members that run past the end of
// the file or past 32 bits, empty files and memory images, and random
// probes. Every call must give a result code, in bounded time and memory,
// and leave nothing behind.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "archive_pack/pack_format.h"
#include "tests/i24b_samples.h"
#include "tests/pack_samples.h"
#include "tests/plugin_exports.h"
#include "tests/process_memory.h"

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

using namespace pack::model;

// No hostile call may take longer, even on a loaded machine under a sanitizer.
constexpr double kSecondsBound = 20;
// Nor make the process hold more memory than this while or after it runs.
constexpr uint64_t kMemoryBound = 8u << 20;

// A progress callback that cancels from row (or chunk) `cancelAt` on and
// notes the calls and the most memory the process held at any of them.
struct Watch {
  int cancelAt = 3;
  std::vector<int> calls;
  uint64_t peakResident = 0;
};

int SPI_CALL WatchProgress(int num, int, SpiLong lData) {
  Watch* w = reinterpret_cast<Watch*>(lData);
  w->calls.push_back(num);
  uint64_t now = ResidentBytes();
  if (now > w->peakResident) w->peakResident = now;
  return num >= w->cancelAt ? 1 : 0;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether `r` is one of the codes a case allows: `code`, or `alternative`
// where the outcome depends on whether the platform grants a large block.
struct Codes {
  int code;
  int alternative;
};
constexpr Codes Exactly(int code) { return Codes{code, code}; }
::testing::AssertionResult Allowed(const Codes& c, int r) {
  if (r == c.code || r == c.alternative) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "result " << r << ", expected " << c.code << " or " << c.alternative;
}

class HostileInputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoadPlugin("glimmet", &glimmetPlugin_));
    ASSERT_TRUE(LoadPlugin("chestrel", &chestrelPlugin_));
  }
  static void TearDownTestSuite() {
    UnloadPlugin(&chestrelPlugin_);
    UnloadPlugin(&glimmetPlugin_);
  }
  void SetUp() override {
    ASSERT_TRUE(FindExports(glimmetPlugin_, &glimmet));
    ASSERT_TRUE(FindExports(chestrelPlugin_, &chestrel));
    before = LiveResources();
  }
  void TearDown() override { EXPECT_EQ(before, LiveResources()) << "a block or stream leaked"; }

  // Checks what a hostile call cost: time, and (where measurable) memory
  // held at its progress calls and after it.
  void CheckCost(const std::string& what, std::chrono::steady_clock::time_point start, uint64_t residentBefore,
                 uint64_t peakResident) {
    const double seconds = SecondsSince(start);
    const uint64_t after = ResidentBytes();
    printf("  %-58s %7.3f s, resident %+6.1f MiB at the peak, %+6.1f MiB after\n", what.c_str(), seconds,
           peakResident > residentBefore ? (peakResident - residentBefore) / 1048576.0 : 0.0,
           (static_cast<double>(after) - static_cast<double>(residentBefore)) / 1048576.0);
    EXPECT_LT(seconds, kSecondsBound) << what;
    if (kMemoryMeasurable) {
      EXPECT_LT(peakResident, residentBefore + kMemoryBound) << what;
      EXPECT_LT(after, residentBefore + kMemoryBound) << what;
    }
  }

  static Plugin glimmetPlugin_;
  static Plugin chestrelPlugin_;
  GlimmetExports glimmet;
  ChestrelExports chestrel;
  Resources before;
  ScratchDir dir;
};
Plugin HostileInputs::glimmetPlugin_;
Plugin HostileInputs::chestrelPlugin_;

// Headers that claim huge pictures over a few bytes of coded data. The
// picture information is what the header says. A pixel block that 32 bits
// cannot address is refused before anything is allocated; the largest one
// they can (65535 x 21845, 4 GiB less 64 KiB) is allocated where the
// platform grants it, lazily, and a callback that cancels at row 3 ends the
// decode; where it is not granted the result is 4.
TEST_F(HostileInputs, HugePictures) {
  struct Case {
    uint16_t width;
    uint16_t height;
    Codes picture;
  } cases[] = {
      {65535, 65535, Exactly(kResultOutOfMemory)},
      {65535, 21846, Exactly(kResultOutOfMemory)},
      {65535, 21845, {kResultCancelled, kResultOutOfMemory}},
      {21845, 65535, {kResultCancelled, kResultOutOfMemory}},
  };
  for (const Case& c : cases) {
    Bytes image = MakeI24B(c.width, c.height, PatternBytes(16));
    const std::string path = dir.Write("huge.i24", image);
    for (bool fromFile : {true, false}) {
      const std::string what = std::to_string(c.width) + " x " + std::to_string(c.height) +
                               (fromFile ? " from a file" : " from memory");
      SCOPED_TRACE(what);
      LPCSTR src = fromFile ? path.c_str() : AsSource(image);
      const SpiLong len = fromFile ? 0 : SizeOf(image);
      const unsigned flag = fromFile ? kInputFile : kInputMemory;

      PictureInfo info;
      memset(&info, 0x5A, sizeof info);
      ASSERT_EQ(kResultOk, glimmet.getPictureInfo(src, len, flag, &info));
      EXPECT_EQ(c.width, info.width);
      EXPECT_EQ(c.height, info.height);
      EXPECT_EQ(24, info.colorDepth);

      const uint64_t residentBefore = ResidentBytes();
      const auto start = std::chrono::steady_clock::now();
      Watch watch;
      HLOCAL header = reinterpret_cast<HLOCAL>(1);
      HLOCAL pixels = reinterpret_cast<HLOCAL>(1);
      int r = glimmet.getPicture(src, len, flag, &header, &pixels, WatchProgress, reinterpret_cast<SpiLong>(&watch));
      printf("%s: GetPicture gives %d\n", what.c_str(), r);
      CheckCost("GetPicture", start, residentBefore, watch.peakResident);
      EXPECT_TRUE(Allowed(c.picture, r));
      EXPECT_EQ(nullptr, header);
      EXPECT_EQ(nullptr, pixels);
      if (r == kResultCancelled) {
        EXPECT_EQ(std::vector<int>({0, 1, 2, 3, c.height}), watch.calls);
      } else {
        EXPECT_TRUE(watch.calls.empty()) << "a refused picture reports progress";
      }
    }
  }
}

// Archives whose numbers lie, against every archive export. Only the
// listing reads DirectoryEnd: its block has room for no more entries than
// the data holds, and the listing fails on the short directory with 6.
// Lookups by name and position stop at their member. A member that runs
// past the end of the file or past 2 GiB (32-bit mmio positions) gives 6,
// before its block is allocated.
TEST_F(HostileInputs, LyingArchives) {
  // PACK, DirectoryEnd, one entry (offset, size, "A.TXT"), the terminator
  // and the bytes "abc" at offset 40: TinyPack with other numbers.
  auto archive = [](uint32_t directoryEnd, uint32_t offset, uint32_t size) {
    Bytes b = PackDirectory({{offset, size, NameField("A.TXT")}}, directoryEnd);
    b.insert(b.end(), {'a', 'b', 'c'});
    return b;
  };
  struct Case {
    const char* what;
    Bytes data;
    Codes listing;  // GetArchiveInfo, file and memory
    Codes lookup;   // GetFileInfo by name, file and memory
    Codes extract;  // GetFile by position, to memory and to a file
    int probe;      // IsSupported, buffer and handle
  } cases[] = {
      {"DirectoryEnd 0xFFFFFFF8", archive(0xFFFFFFF8u, 40, 3), Exactly(kResultReadError), Exactly(kResultOk),
       Exactly(kResultOk), 1},
      {"DirectoryEnd 0x7FFFFFFF", archive(0x7FFFFFFFu, 40, 3), Exactly(kResultReadError), Exactly(kResultOk),
       Exactly(kResultOk), 1},
      {"DirectoryEnd 0x0FFFFFF8", archive(0x0FFFFFF8u, 40, 3), Exactly(kResultReadError), Exactly(kResultOk),
       Exactly(kResultOk), 1},
      {"DirectoryEnd 0x08FFFFF8", archive(0x08FFFFF8u, 40, 3), Exactly(kResultReadError), Exactly(kResultOk),
       Exactly(kResultOk), 1},
      {"DirectoryEnd 0x00FFFFF8", archive(0x00FFFFF8u, 40, 3), Exactly(kResultReadError), Exactly(kResultOk),
       Exactly(kResultOk), 1},
      {"member 1000 bytes past the end", archive(32, 40, 1003), Exactly(kResultOk), Exactly(kResultOk),
       Exactly(kResultReadError), 1},
      {"member of 2 GiB less 256 bytes", archive(32, 40, 0x7FFFFF00u), Exactly(kResultOk), Exactly(kResultOk),
       Exactly(kResultReadError), 1},
      {"offset + size wraps 32 bits", archive(32, 40, 0xFFFFFFF0u), Exactly(kResultOk), Exactly(kResultOk),
       Exactly(kResultReadError), 1},
      {"offset 0xFFFFFF00", archive(32, 0xFFFFFF00u, 0x200), Exactly(kResultOk), Exactly(kResultOk),
       Exactly(kResultReadError), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.Write("lying.pak", c.data);
    const uint32_t position = pack::EntryOffset(c.data.data() + pack::kHeaderSize);
    Bytes probe = ProbeOf(c.data);
    EXPECT_EQ(c.probe, chestrel.isSupported(path.c_str(), reinterpret_cast<SpiDword>(probe.data())));
    SpiDword handle = OpenHostHandle(path);
    EXPECT_EQ(c.probe, chestrel.isSupported(path.c_str(), handle));
    CloseHostHandle(handle);

    for (bool fromFile : {true, false}) {
      const std::string how = fromFile ? " from a file" : " from memory";
      LPCSTR src = fromFile ? path.c_str() : AsSource(c.data);
      const SpiLong len = fromFile ? 0 : SizeOf(c.data);
      const unsigned flag = fromFile ? kInputFile : kInputMemory;

      uint64_t residentBefore = ResidentBytes();
      auto start = std::chrono::steady_clock::now();
      HLOCAL listing = reinterpret_cast<HLOCAL>(1);
#ifndef _WIN32
      PlatformResetFaults();
#endif
      int r = chestrel.getArchiveInfo(src, len, flag, &listing);
      printf("%s%s: GetArchiveInfo gives %d\n", c.what, how.c_str(), r);
      CheckCost("GetArchiveInfo", start, residentBefore, 0);
      EXPECT_TRUE(Allowed(c.listing, r)) << how;
      if (r == kResultOk) {
        Bytes records = TakeBlock(listing);
        ASSERT_EQ(2 * sizeof(fileInfo), records.size());
        fileInfo first;
        memcpy(&first, records.data(), sizeof first);
        EXPECT_EQ(position, first.position);
      } else {
        EXPECT_EQ(nullptr, listing);
      }

      fileInfo info;
      memset(&info, 0x5A, sizeof info);
      EXPECT_TRUE(Allowed(c.lookup, chestrel.getFileInfo(src, len, "A.TXT", flag, &info))) << how;
      EXPECT_EQ(position, info.position);
    }

    // GetFile finds the member by its position in the file.
    ScratchDir out;
    for (unsigned output : {kToMemory, 0u}) {
      const std::string what = std::string(c.what) + (output ? ": GetFile to memory" : ": GetFile to a file");
      SCOPED_TRACE(what);
      HLOCAL member = reinterpret_cast<HLOCAL>(1);
      LPSTR dest = output ? reinterpret_cast<LPSTR>(&member) : const_cast<LPSTR>(out.path().c_str());
      uint64_t residentBefore = ResidentBytes();
      auto start = std::chrono::steady_clock::now();
      Watch watch;
      watch.cancelAt = 1000;  // never: the reads must end it
      int r = chestrel.getFile(path.c_str(), static_cast<SpiLong>(position), dest, output, WatchProgress,
                               reinterpret_cast<SpiLong>(&watch));
      printf("%s gives %d\n", what.c_str(), r);
      CheckCost("GetFile", start, residentBefore, watch.peakResident);
      EXPECT_TRUE(Allowed(c.extract, r));
      Bytes bytes;
      if (output) {
        if (r == kResultOk) {
          bytes = TakeBlock(member);
        } else {
          EXPECT_EQ(reinterpret_cast<HLOCAL>(1), member) << "a failed GetFile stored a handle";
        }
      } else {
        const bool written = ReadWholeFile(out.File("A.TXT"), &bytes);
        EXPECT_EQ(r == kResultOk, written);
      }
      if (r == kResultOk) {
        EXPECT_EQ(Bytes({'a', 'b', 'c'}), bytes);
      }
    }
  }
}

// A zero-byte file and a zero-byte memory image for every data export.
TEST_F(HostileInputs, EmptyInputs) {
  const std::string path = dir.Write("empty.bin", {});
  const char nothing[1] = {0};
  for (bool fromFile : {true, false}) {
    SCOPED_TRACE(fromFile ? "a zero-byte file" : "a zero-byte memory image");
    LPCSTR src = fromFile ? path.c_str() : nothing;
    const unsigned flag = fromFile ? kInputFile : kInputMemory;
    PictureInfo info;
    EXPECT_EQ(kResultReadError, glimmet.getPictureInfo(src, 0, flag, &info));
    HLOCAL header = nullptr;
    HLOCAL pixels = nullptr;
    Watch watch;
    EXPECT_EQ(kResultReadError,
              glimmet.getPicture(src, 0, flag, &header, &pixels, WatchProgress, reinterpret_cast<SpiLong>(&watch)));
    EXPECT_TRUE(watch.calls.empty());
    HLOCAL listing = nullptr;
    EXPECT_EQ(kResultReadError, chestrel.getArchiveInfo(src, 0, flag, &listing));
    EXPECT_EQ(nullptr, listing);
    fileInfo record;
    EXPECT_EQ(kResultReadError, chestrel.getFileInfo(src, 0, "A.TXT", flag, &record));

    // From a file GetFile looks for a member at position 0 and finds no
    // directory; from memory the empty image is the member, which cannot
    // go to a movable block but can be written as an empty file.
    ScratchDir out;
    HLOCAL member = reinterpret_cast<HLOCAL>(1);
    EXPECT_EQ(fromFile ? kResultReadError : kResultMemoryError,
              chestrel.getFile(src, 0, reinterpret_cast<LPSTR>(&member), flag | kToMemory, nullptr, 0));
    EXPECT_EQ(reinterpret_cast<HLOCAL>(1), member);
    EXPECT_EQ(fromFile ? kResultReadError : kResultOk,
              chestrel.getFile(src, 0, const_cast<LPSTR>(out.path().c_str()), flag, nullptr, 0));
    Bytes written = {1};
    EXPECT_EQ(!fromFile, ReadWholeFile(out.File("noname"), &written));
    if (!fromFile) {
      EXPECT_TRUE(written.empty());
    }
  }
  // The probe of an empty file by its handle sees 2048 zero bytes.
  SpiDword handle = OpenHostHandle(path);
  EXPECT_EQ(0, glimmet.isSupported(path.c_str(), handle));
  EXPECT_EQ(0, chestrel.isSupported(path.c_str(), handle));
  EXPECT_EQ(0, HostHandlePosition(handle));
  CloseHostHandle(handle);
}

// Probes of random bytes, some behind a valid I24B header or the PACK magic:
// both plug-ins answer, the same by buffer as by handle, and leave the
// handle where it was. Behind a valid header glimmet always says yes
// (nothing after the header is looked at); random bytes alone are neither.
TEST_F(HostileInputs, RandomProbes) {
  std::mt19937 random(20240611);
  const Bytes i24bHeader = MakeI24B(0, 0, {});
  const std::string path = dir.File("probe.bin");
  int packYes = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes probe(2048);
    for (uint8_t& b : probe) b = static_cast<uint8_t>(random());
    const int kind = i % 3;  // 0: random, 1: I24B header, 2: PACK magic
    if (kind == 1) memcpy(probe.data(), i24bHeader.data(), 12);  // magic, version, reserved; width and height random
    if (kind == 1) memcpy(probe.data() + 16, i24bHeader.data() + 16, 8);
    if (kind == 2) memcpy(probe.data(), "PACK", 4);
    if (kind == 2 && i % 2 == 0) memset(probe.data() + 8, 0, 8);  // the terminator first: a valid empty archive
    const int glimmetSays = glimmet.isSupported("x", reinterpret_cast<SpiDword>(probe.data()));
    const int chestrelSays = chestrel.isSupported("x", reinterpret_cast<SpiDword>(probe.data()));
    ASSERT_EQ(kind == 1 ? 1 : 0, glimmetSays) << "probe " << i;
    if (kind != 2 || i % 2 == 0) {
      ASSERT_EQ(kind == 2 ? 1 : 0, chestrelSays) << "probe " << i;
    }
    packYes += chestrelSays;
    if (i % 25 == 0) {
      Bytes file(4 + probe.size(), 'j');  // four foreign bytes, then the probe
      memcpy(file.data() + 4, probe.data(), probe.size());
      dir.Write("probe.bin", file);
      SpiDword handle = OpenHostHandle(path);
      ASSERT_EQ(4, SeekHostHandle(handle, 4));
      EXPECT_EQ(glimmetSays, glimmet.isSupported("x", handle)) << "probe " << i;
      EXPECT_EQ(4, HostHandlePosition(handle));
      EXPECT_EQ(chestrelSays, chestrel.isSupported("x", handle)) << "probe " << i;
      EXPECT_EQ(4, HostHandlePosition(handle));
      CloseHostHandle(handle);
    }
  }
  EXPECT_EQ(500, packYes) << "random entries after PACK are (almost surely) invalid names";
}

}  // namespace
