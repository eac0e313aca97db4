// 64-bit hosts: probe buffers and memory images above 4 GiB, callback data
// wider than 32 bits, lengths that the formats' 32-bit offsets cannot reach,
// and 32-bit positions and sizes widened into fileInfo without sign.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/pack_samples.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"
#include "image_i24b/i24b_encoder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#if UINTPTR_MAX > 0xFFFFFFFFu

namespace {

using namespace pack::model;

constexpr SpiLong k4GiB = static_cast<SpiLong>(1) << 32;
constexpr size_t kHighBlockSize = 1 << 16;

// A read-write block at a multiple of 4 GiB, so that its address has all of
// its low 32 bits zero: a plug-in that cut the address to 32 bits would see
// a null pointer or a null handle. Null when no such address is free.
// (Sanitizers keep much of the space below 16 TiB, so higher ones are tried
// too.)
void* MapAboveFourGiB() {
  for (uintptr_t k = 1; k <= 256 + 100; ++k) {
    void* want = reinterpret_cast<void*>(k <= 256 ? k << 32 : (k - 256 + 16) << 40);
#ifdef _WIN32
    void* got = VirtualAlloc(want, kHighBlockSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (got == want) return got;
    if (got != nullptr) VirtualFree(got, 0, MEM_RELEASE);
#else
    void* got = mmap(want, kHighBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                     -1, 0);
    if (got == want) return got;
    if (got != MAP_FAILED) munmap(got, kHighBlockSize);
#endif
  }
  return nullptr;
}

void UnmapHigh(void* p) {
#ifdef _WIN32
  VirtualFree(p, 0, MEM_RELEASE);
#else
  munmap(p, kHighBlockSize);
#endif
}

Bytes SmallPicture() {
  std::vector<uint8_t> rgb = PatternBytes(7 * 5 * 3, 3);
  std::vector<uint8_t> coded;
  std::string error;
  EXPECT_TRUE(i24b::EncodeI24B(rgb.data(), 7, 5, &coded, nullptr, nullptr, nullptr, &error)) << error;
  return coded;
}

constexpr SpiLong kWideData = static_cast<SpiLong>(0x0123456789ABCDEFull);

// Counts the callback's calls and those whose lData arrived cut or changed.
struct WideDataLog {
  int calls = 0;
  int wrong = 0;
};
WideDataLog* g_wideLog = nullptr;

int SPI_CALL CheckWideData(int, int, SpiLong lData) {
  ++g_wideLog->calls;
  if (lData != kWideData) ++g_wideLog->wrong;
  return 0;
}

class PointerWidth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoadPlugin("glimmet", &glimmet_));
    ASSERT_TRUE(LoadPlugin("chestrel", &chestrel_));
  }
  static void TearDownTestSuite() {
    UnloadPlugin(&glimmet_);
    UnloadPlugin(&chestrel_);
  }
  void SetUp() override { before_ = LiveResources(); }
  void TearDown() override { EXPECT_TRUE(LiveResources() == before_) << "a block or stream was left behind"; }

  static Plugin glimmet_;
  static Plugin chestrel_;
  Resources before_;
  ScratchDir dir_;
};
Plugin PointerWidth::glimmet_;
Plugin PointerWidth::chestrel_;

TEST_F(PointerWidth, BuffersAboveFourGiBAreAddresses) {
  uint8_t* high = static_cast<uint8_t*>(MapAboveFourGiB());
  if (high == nullptr) GTEST_SKIP() << "no free address at a multiple of 4 GiB";
  ASSERT_EQ(reinterpret_cast<uintptr_t>(high) & 0xFFFFFFFFu, 0u);
  SpiDword dw = reinterpret_cast<SpiDword>(high);
  auto glimmetSupported = glimmet_.Get<IsSupportedFn>("IsSupported");
  auto chestrelSupported = chestrel_.Get<IsSupportedFn>("IsSupported");

  const Bytes picture = SmallPicture();
  memset(high, 0, kHighBlockSize);
  memcpy(high, picture.data(), picture.size());
  EXPECT_EQ(glimmetSupported("x.i24", dw), 1);
  EXPECT_EQ(chestrelSupported("x.i24", dw), 0);
  PictureInfo info;
  memset(&info, 0, sizeof info);
  EXPECT_EQ(glimmet_.Get<GetPictureInfoFn>("GetPictureInfo")(reinterpret_cast<LPCSTR>(high),
                                                             static_cast<SpiLong>(picture.size()), kInputMemory,
                                                             &info),
            kResultOk);
  EXPECT_EQ(info.width, 7u);
  EXPECT_EQ(info.height, 5u);

  const Bytes archive = TinyPack();
  memset(high, 0, kHighBlockSize);
  memcpy(high, archive.data(), archive.size());
  EXPECT_EQ(glimmetSupported("x.pak", dw), 0);
  EXPECT_EQ(chestrelSupported("x.pak", dw), 1);
  HLOCAL listing = nullptr;
  EXPECT_EQ(chestrel_.Get<GetArchiveInfoFn>("GetArchiveInfo")(reinterpret_cast<LPCSTR>(high),
                                                              static_cast<SpiLong>(archive.size()), kInputMemory,
                                                              &listing),
            kResultOk);
  ASSERT_NE(listing, nullptr);
  const fileInfo* records = static_cast<const fileInfo*>(LocalLock(listing));
  EXPECT_STREQ(records[0].filename, "A.TXT");
  LocalUnlock(listing);
  LocalFree(listing);
  UnmapHigh(high);
}

TEST_F(PointerWidth, CallbackDataArrivesWhole) {
  WideDataLog log;
  g_wideLog = &log;
  const Bytes picture = SmallPicture();
  HLOCAL header = nullptr;
  HLOCAL pixels = nullptr;
  EXPECT_EQ(glimmet_.Get<GetPictureFn>("GetPicture")(reinterpret_cast<LPCSTR>(picture.data()),
                                                     static_cast<SpiLong>(picture.size()), kInputMemory, &header,
                                                     &pixels, CheckWideData, kWideData),
            kResultOk);
  LocalFree(header);
  LocalFree(pixels);
  EXPECT_EQ(log.calls, 5 + 1);

  const Bytes archive = TinyPack();
  std::string path = dir_.Write("T.PAK", archive);
  HLOCAL member = nullptr;
  EXPECT_EQ(chestrel_.Get<GetFileFn>("GetFile")(path.c_str(), 40, reinterpret_cast<LPSTR>(&member),
                                                1u << kFlagOutputShift, CheckWideData, kWideData),
            kResultOk);
  LocalFree(member);
  EXPECT_EQ(log.calls, 6 + 33);
  EXPECT_EQ(log.wrong, 0);
  g_wideLog = nullptr;
}

// Offsets and sizes beyond 32 bits: the formats cannot hold them, so a
// plug-in that cut them to 32 bits would find the data at the low bits.
TEST_F(PointerWidth, LengthsBeyondThirtyTwoBitsAreRefused) {
  const Bytes picture = SmallPicture();
  const Bytes archive = TinyPack();  // its member A.TXT starts at byte 40
  std::string picturePath = dir_.Write("P.I24", picture);
  std::string archivePath = dir_.Write("T.PAK", archive);
  auto getPictureInfo = glimmet_.Get<GetPictureInfoFn>("GetPictureInfo");
  auto getPicture = glimmet_.Get<GetPictureFn>("GetPicture");
  auto getArchiveInfo = chestrel_.Get<GetArchiveInfoFn>("GetArchiveInfo");
  auto getFileInfo = chestrel_.Get<GetFileInfoFn>("GetFileInfo");
  auto getFile = chestrel_.Get<GetFileFn>("GetFile");

  struct Case {
    const char* what;
    SpiLong len;
  };
  const Case offsets[] = {{"4 GiB", k4GiB}, {"4 GiB + 40", k4GiB + 40}, {"2^63 - 1", INTPTR_MAX}, {"-1", -1}};
  for (const Case& c : offsets) {
    SCOPED_TRACE(c.what);
    PictureInfo info;
    memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(getPictureInfo(picturePath.c_str(), c.len, kInputFile, &info), kResultReadError);
    HLOCAL header = reinterpret_cast<HLOCAL>(1);
    HLOCAL pixels = reinterpret_cast<HLOCAL>(1);
    EXPECT_EQ(getPicture(picturePath.c_str(), c.len, kInputFile, &header, &pixels, nullptr, 0), kResultReadError);
    EXPECT_EQ(header, nullptr);
    EXPECT_EQ(pixels, nullptr);
    HLOCAL listing = reinterpret_cast<HLOCAL>(1);
    EXPECT_EQ(getArchiveInfo(archivePath.c_str(), c.len, kInputFile, &listing), kResultReadError);
    fileInfo record;
    memset(&record, 0xA5, sizeof record);
    EXPECT_EQ(getFileInfo(archivePath.c_str(), c.len, "A.TXT", kInputFile, &record), kResultReadError);
    // GetFile's len is a member position: none is this far out.
    HLOCAL member = reinterpret_cast<HLOCAL>(1);
    EXPECT_EQ(getFile(archivePath.c_str(), c.len, reinterpret_cast<LPSTR>(&member), 1u << kFlagOutputShift, nullptr,
                      0),
              kResultReadError);
    EXPECT_EQ(member, reinterpret_cast<HLOCAL>(1));
    EXPECT_EQ(getFile(archivePath.c_str(), c.len, const_cast<LPSTR>(dir_.path().c_str()), 0, nullptr, 0),
              kResultReadError);
    EXPECT_FALSE(FileExists(dir_.File("A.TXT")));
  }

  // A memory image is opened over exactly `len` bytes; a size that mmio
  // cannot hold is refused before anything is read.
  PictureInfo info;
  EXPECT_EQ(getPictureInfo(reinterpret_cast<LPCSTR>(picture.data()), k4GiB + static_cast<SpiLong>(picture.size()),
                           kInputMemory, &info),
            kResultMemoryError);
  HLOCAL listing = nullptr;
  EXPECT_EQ(getArchiveInfo(reinterpret_cast<LPCSTR>(archive.data()), k4GiB + static_cast<SpiLong>(archive.size()),
                           kInputMemory, &listing),
            kResultMemoryError);
}

// Positions and sizes of 2 GiB and more reach the host as unsigned values.
TEST_F(PointerWidth, PositionsAndSizesAreZeroExtended) {
  const Bytes archive = PackDirectory({{0x90000000u, 0xF0000000u, NameField("BIG.BIN")},
                                       {0xFFFFFFFFu, 0xFFFFFFFFu, NameField("TOP.BIN")}});

  HLOCAL listing = nullptr;
  ASSERT_EQ(chestrel_.Get<GetArchiveInfoFn>("GetArchiveInfo")(reinterpret_cast<LPCSTR>(archive.data()),
                                                              static_cast<SpiLong>(archive.size()), kInputMemory,
                                                              &listing),
            kResultOk);
  const fileInfo* records = static_cast<const fileInfo*>(LocalLock(listing));
  EXPECT_EQ(records[0].position, 0x90000000u);
  EXPECT_EQ(records[0].compsize, 0xF0000000u);
  EXPECT_EQ(records[0].filesize, 0xF0000000u);
  EXPECT_EQ(records[1].position, 0xFFFFFFFFu);
  EXPECT_EQ(records[1].filesize, 0xFFFFFFFFu);
  LocalUnlock(listing);
  LocalFree(listing);

  fileInfo record;
  memset(&record, 0xA5, sizeof record);
  ASSERT_EQ(chestrel_.Get<GetFileInfoFn>("GetFileInfo")(reinterpret_cast<LPCSTR>(archive.data()),
                                                        static_cast<SpiLong>(archive.size()), "TOP.BIN",
                                                        kInputMemory, &record),
            kResultOk);
  EXPECT_EQ(record.position, 0xFFFFFFFFu);
  EXPECT_EQ(record.compsize, 0xFFFFFFFFu);
}

}  // namespace

#endif
