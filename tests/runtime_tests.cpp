// The plug-in runtime on its own: source streams over files, memory and
// probes, movable blocks, and the platform behaviour they rely on. On
// Windows the same tests run against the real system calls.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "common/windows_names.h"

#include "common/movable_block.h"
#include "common/source_stream.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

namespace {

Bytes Counting(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

TEST(MovableBlock, ZeroedLockedAndHandedOverUnlocked) {
  HLOCAL h = nullptr;
  void* p = nullptr;
  ASSERT_EQ(kResultOk, AllocBlock(100, &h, &p));
  ASSERT_NE(nullptr, h);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(100u, LocalSize(h));
  Bytes zeros(100, 0);
  EXPECT_EQ(0, memcmp(zeros.data(), p, 100));
  memset(p, 0x5A, 100);
  ReleaseBlock(h, nullptr);  // handed over: unlocked, still alive
  void* again = LocalLock(h);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(0x5A, static_cast<uint8_t*>(again)[99]);
  LocalUnlock(h);
  EXPECT_EQ(nullptr, LocalFree(h));
}

TEST(MovableBlock, ZeroBytesCannotBeLocked) {
  HLOCAL h = reinterpret_cast<HLOCAL>(1);
  void* p = reinterpret_cast<void*>(1);
  Resources before = LiveResources();
  EXPECT_EQ(kResultMemoryError, AllocBlock(0, &h, &p));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(before, LiveResources());
}

TEST(MovableBlock, ReleaseFreesWhenPointerGiven) {
  Resources before = LiveResources();
  HLOCAL h = nullptr;
  void* p = nullptr;
  ASSERT_EQ(kResultOk, AllocBlock(8, &h, &p));
  ReleaseBlock(h, p);
  ReleaseBlock(nullptr, p);  // a null handle is ignored
  EXPECT_EQ(before, LiveResources());
}

class SourceStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { before = LiveResources(); }
  void TearDown() override { EXPECT_EQ(before, LiveResources()); }
  Resources before;
  ScratchDir dir;
};

TEST_F(SourceStreamTest, FileFromOffset) {
  Bytes data = Counting(300);
  std::string path = dir.Write("f.bin", data);
  SourceStream s;
  ASSERT_EQ(kResultOk, OpenSource(path.c_str(), 100, kInputFile, &s));
  uint8_t got[24];
  ASSERT_EQ(kResultOk, ReadExact(&s, got, 24));
  EXPECT_EQ(0, memcmp(got, data.data() + 100, 24));
  LONG pos = -1;
  ASSERT_EQ(kResultOk, TellSource(&s, &pos));
  EXPECT_EQ(124, pos);
  ASSERT_EQ(kResultOk, SeekSource(&s, 0));
  ASSERT_EQ(kResultOk, ReadExact(&s, got, 24));
  EXPECT_EQ(0, memcmp(got, data.data(), 24));
  ResultCode r = kResultOk;
  CloseSource(&s, &r);
  EXPECT_EQ(kResultOk, r);
}

TEST_F(SourceStreamTest, ShortReadsAreErrors) {
  Bytes data = Counting(20);
  std::string path = dir.Write("twenty.bin", data);
  uint8_t got[24];
  for (int memory = 0; memory < 2; ++memory) {
    SourceStream s;
    ASSERT_EQ(kResultOk, memory ? OpenSource(reinterpret_cast<LPCSTR>(data.data()), 20, kInputMemory, &s)
                                : OpenSource(path.c_str(), 0, kInputFile, &s));
    EXPECT_EQ(kResultReadError, ReadExact(&s, got, 24)) << memory;
    ResultCode r = kResultOk;
    CloseSource(&s, &r);
  }
}

TEST_F(SourceStreamTest, MemoryIsReadInPlace) {
  Bytes data = Counting(64);
  SourceStream s;
  ASSERT_EQ(kResultOk, OpenSource(reinterpret_cast<LPCSTR>(data.data()), 64, kInputMemory, &s));
  data[10] = 0xEE;  // changed after the open: still seen
  uint8_t got[16];
  ASSERT_EQ(kResultOk, ReadExact(&s, got, 16));
  EXPECT_EQ(0xEE, got[10]);
  LONG n = -1;
  uint8_t rest[100];
  ASSERT_EQ(kResultOk, ReadSome(&s, rest, 100, &n));
  EXPECT_EQ(48, n);
  ASSERT_EQ(kResultOk, ReadSome(&s, rest, 100, &n));
  EXPECT_EQ(0, n);
  ResultCode r = kResultOk;
  CloseSource(&s, &r);
  EXPECT_EQ(kResultOk, r);
}

TEST_F(SourceStreamTest, OpenFailures) {
  SourceStream s;
  s.mmio = reinterpret_cast<HMMIO>(0x1234);
  for (unsigned type = 2; type < 8; ++type) {
    EXPECT_EQ(kResultInternalError, OpenSource("whatever", 0, type, &s));
    EXPECT_EQ(reinterpret_cast<HMMIO>(0x1234), s.mmio) << "stream written for type " << type;
  }
  EXPECT_EQ(kResultReadError, OpenSource(dir.File("missing").c_str(), 0, kInputFile, &s));
  EXPECT_EQ(kResultReadError, OpenSource(dir.File("missing").c_str(), 10, kInputFile, &s));
  std::string path = dir.Write("ten.bin", Counting(10));
  EXPECT_EQ(kResultReadError, OpenSource(path.c_str(), -1, kInputFile, &s));
  EXPECT_EQ(kResultMemoryError, OpenSource("x", -1, kInputMemory, &s));
}

TEST_F(SourceStreamTest, CloseKeepsTheFirstFailure) {
  SourceStream none{nullptr};
  ResultCode r = kResultOk;
  CloseSource(&none, &r);
  EXPECT_EQ(kResultReadError, r);
  r = kResultUnknownFormat;
  CloseSource(&none, &r);
  EXPECT_EQ(kResultUnknownFormat, r);
}

TEST_F(SourceStreamTest, ProbeOfShortFileByHandle) {
  Bytes data = Counting(10);
  std::string path = dir.Write("ten.bin", data);
  SpiDword h = OpenHostHandle(path);
  for (long start : {0L, 4L}) {
    ASSERT_EQ(start, SeekHostHandle(h, start));
    SourceStream s;
    ASSERT_EQ(kResultOk, OpenProbe(h, &s));
    Bytes got(kProbeSize);
    ASSERT_EQ(kResultOk, ReadExact(&s, got.data(), kProbeSize));
    EXPECT_EQ(0, memcmp(got.data(), data.data() + start, 10 - start));
    for (LONG i = static_cast<LONG>(10 - start); i < kProbeSize; ++i) ASSERT_EQ(0, got[i]) << i;
    uint8_t extra;
    EXPECT_EQ(kResultReadError, ReadExact(&s, &extra, 1));  // exactly 2048 bytes
    EXPECT_EQ(start, HostHandlePosition(h));
    ResultCode r = kResultOk;
    CloseSource(&s, &r);
    EXPECT_EQ(kResultOk, r);
  }
  CloseHostHandle(h);
}

TEST_F(SourceStreamTest, ProbeOfBufferAndBadHandle) {
  Bytes buffer = Counting(kProbeSize);
  SourceStream s;
  ASSERT_EQ(kResultOk, OpenProbe(reinterpret_cast<SpiDword>(buffer.data()), &s));
  Bytes got(kProbeSize);
  ASSERT_EQ(kResultOk, ReadExact(&s, got.data(), kProbeSize));
  EXPECT_EQ(buffer, got);
  ResultCode r = kResultOk;
  CloseSource(&s, &r);
  // 0xFFFF has no bits above the low 16: it is taken as a handle, and no
  // file is open under it.
  EXPECT_EQ(kResultReadError, OpenProbe(0xFFFF, &s));
}

}  // namespace

namespace {

// A request no machine can satisfy fails cleanly instead of ending the
// process, on every platform.
TEST(MovableBlock, ImpossibleSizeIsOutOfMemory) {
  Resources before = LiveResources();
  HLOCAL h = nullptr;
  void* p = nullptr;
  EXPECT_EQ(kResultOutOfMemory, AllocBlock(static_cast<SIZE_T>(-1) / 2, &h, &p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(before, LiveResources());
}

}  // namespace

#ifndef _WIN32
namespace {

// The stand-in refuses and counts a close of a stream that is not open, so
// that sweeps can tell a double close from a clean one.
TEST(PlatformStandIn, ClosingAStreamNotOpenIsCounted) {
  Bytes data = Counting(16);
  MMIOINFO info;
  memset(&info, 0, sizeof info);
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = reinterpret_cast<HPSTR>(data.data());
  info.cchBuffer = static_cast<LONG>(data.size());
  const long streams = PlatformOpenStreams();
  const long bad = PlatformBadCloses();
  HMMIO h = mmioOpenA(nullptr, &info, MMIO_READ);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(streams + 1, PlatformOpenStreams());
  EXPECT_EQ(MMSYSERR_NOERROR, mmioClose(h, 0));
  EXPECT_EQ(bad, PlatformBadCloses());
  EXPECT_NE(MMSYSERR_NOERROR, mmioClose(h, 0));  // closed twice
  EXPECT_NE(MMSYSERR_NOERROR, mmioClose(nullptr, 0));
  EXPECT_NE(MMSYSERR_NOERROR, mmioClose(reinterpret_cast<HMMIO>(data.data()), 0));  // never a handle
  EXPECT_EQ(bad + 3, PlatformBadCloses());
  EXPECT_EQ(streams, PlatformOpenStreams());
}

// The Windows name rules, in UTF-8 and in UTF-16: device names (their
// base before the first '.', trailing spaces and dots ignored), the dots
// and spaces Windows strips, and the characters it forbids.
TEST(WindowsNames, DevicesStrippingAndForbiddenCharacters) {
  const struct {
    const char* name;
    bool device;
    size_t stripped;  // the length Windows keeps
  } cases[] = {
      {"CON", true, 3},          {"con.txt", true, 7},      {"Aux.X.Y", true, 7},     {"NUL .A", true, 6},
      {"PRN..", true, 3},        {"COM0.X", true, 6},       {"lpt9", true, 4},        {"COM\xc2\xb9.X", true, 7},
      {"LPT\xc2\xb3", true, 5},  {"COM\xc2\xb4", false, 5}, {"COM10.X", false, 7},    {"CONS", false, 4},
      {"CO", false, 2},          {".CON", false, 4},        {"COM", false, 3},        {"A. .", false, 1},
      {"", false, 0},            {"XCON.A", false, 6},      {"COM1 . X", true, 8},    {"NUL:", false, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string utf8 = c.name;
    EXPECT_EQ(c.device, winname::IsDeviceName(utf8.data(), utf8.size()));
    EXPECT_EQ(c.stripped, winname::StrippedLength(utf8.data(), utf8.size()));
    std::u16string wide;  // the same name in UTF-16
    for (size_t i = 0; i < utf8.size();) {
      size_t units = 1;
      wide.push_back(static_cast<char16_t>(winname::CodeAt(utf8.data(), utf8.size(), i, &units)));
      i += units;
    }
    EXPECT_EQ(c.device, winname::IsDeviceName(wide.data(), wide.size()));
  }
  for (uint32_t c = 0; c < 128; ++c) {
    const bool forbidden = (c >= 1 && c < 32) || (c != 0 && strchr("<>:\"/\\|?*", static_cast<int>(c)) != nullptr);
    EXPECT_EQ(forbidden, winname::IsForbiddenCharacter(c)) << c;
  }
  EXPECT_FALSE(winname::IsForbiddenCharacter(0xB9));
}

}  // namespace
#endif
