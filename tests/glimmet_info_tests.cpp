// glimmet as a host sees it before decoding: information strings, probing
// by buffer and by file handle, picture information and the preview.
#include <gtest/gtest.h>
#include <string.h>

#include "tests/i24b_samples.h"
#include "tests/plugin_host.h"

namespace {

class GlimmetInfo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadPlugin("glimmet", &plugin_)); }
  static void TearDownTestSuite() { UnloadPlugin(&plugin_); }
  void SetUp() override {
    getPluginInfo = plugin_.Get<GetPluginInfoFn>("GetPluginInfo");
    isSupported = plugin_.Get<IsSupportedFn>("IsSupported");
    getPictureInfo = plugin_.Get<GetPictureInfoFn>("GetPictureInfo");
    getPreview = plugin_.Get<GetPreviewFn>("GetPreview");
    ASSERT_TRUE(getPluginInfo && isSupported && getPictureInfo && getPreview);
    before = LiveResources();
  }
  void TearDown() override { EXPECT_EQ(before, LiveResources()) << "a block or stream leaked"; }

  // IsSupported on the first 2048 bytes of `data`, zero-padded, as hosts do.
  int ProbeBuffer(const Bytes& data) {
    Bytes probe(2048, 0);
    if (!data.empty()) memcpy(probe.data(), data.data(), data.size() < 2048 ? data.size() : 2048);
    return isSupported("x.i24", reinterpret_cast<SpiDword>(probe.data()));
  }
  int ProbeHandle(const std::string& path) {
    SpiDword h = OpenHostHandle(path);
    int answer = isSupported("x.i24", h);
    CloseHostHandle(h);
    return answer;
  }

  static Plugin plugin_;
  GetPluginInfoFn getPluginInfo = nullptr;
  IsSupportedFn isSupported = nullptr;
  GetPictureInfoFn getPictureInfo = nullptr;
  GetPreviewFn getPreview = nullptr;
  Resources before;
  ScratchDir dir;
};
Plugin GlimmetInfo::plugin_;

TEST_F(GlimmetInfo, PluginInfoEntriesAndTruncation) {
  struct Case {
    int infono;
    int buflen;
    const char* text;  // null: nothing is written
    int length;
  } cases[] = {
      {0, 64, "00IN", 4},
      {2, 64, "*", 1},
      {3, 64, "KALDORIN CG (*.I24)", 19},
      {4, 64, nullptr, 0},
      {-1, 64, nullptr, 0},
      {0, 3, "00", 2},
      {0, 1, "", 0},
      {0, 0, nullptr, 0},
  };
  auto getPluginInfoW = plugin_.Get<GetPluginInfoWFn>("GetPluginInfoW");
  ASSERT_NE(nullptr, getPluginInfoW);
  for (const Case& c : cases) {
    char buf[80];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(c.length, getPluginInfo(c.infono, buf, c.buflen)) << c.infono << "/" << c.buflen;
    // GetPluginInfoW writes the same text, one WCHAR per byte.
    WCHAR wide[80];
    for (WCHAR& w : wide) w = u'x';
    EXPECT_EQ(c.length, getPluginInfoW(c.infono, wide, c.buflen)) << c.infono << "/" << c.buflen;
    for (int i = 0; i <= c.buflen && i < 80; ++i) {
      EXPECT_EQ(static_cast<unsigned char>(buf[i]), static_cast<unsigned>(wide[i])) << "unit " << i;
    }
    if (c.text != nullptr) {
      EXPECT_STREQ(c.text, buf);
      // A shorter string is padded with NULs up to buflen - 1.
      for (int i = static_cast<int>(strlen(c.text)); i < c.buflen; ++i) EXPECT_EQ(0, buf[i]);
      EXPECT_EQ('x', buf[c.buflen]) << "wrote past buflen";
    } else {
      EXPECT_EQ('x', buf[0]) << "wrote for a missing entry";
    }
  }
  EXPECT_EQ(0, getPluginInfo(0, nullptr, 16));
  char about[128];
  ASSERT_GT(getPluginInfo(1, about, sizeof about), 0);
  EXPECT_EQ(0, strncmp(about, "KALDORIN I24B to DIB filter ver0.03  ", 37)) << about;
}

TEST_F(GlimmetInfo, ChestrelInfoEntries) {
  Plugin chestrel;
  ASSERT_TRUE(LoadPlugin("chestrel", &chestrel));
  auto info = chestrel.Get<GetPluginInfoFn>("GetPluginInfo");
  auto infoW = chestrel.Get<GetPluginInfoWFn>("GetPluginInfoW");
  ASSERT_NE(nullptr, info);
  ASSERT_NE(nullptr, infoW);
  const char* expected[] = {"00AM", nullptr, "*.PAK", "KALDORIN Archive (*.PAK)", "*.DAT", "KALDORIN Archive (*.DAT)"};
  char buf[128];
  for (int i = 0; i < 6; ++i) {
    int n = info(i, buf, sizeof buf);
    if (expected[i] != nullptr) {
      EXPECT_STREQ(expected[i], buf);
      EXPECT_EQ(static_cast<int>(strlen(expected[i])), n);
    }
    WCHAR wide[128];
    EXPECT_EQ(n, infoW(i, wide, 128));
    EXPECT_EQ(std::u16string(buf, buf + n), std::u16string(reinterpret_cast<const char16_t*>(wide), n));
  }
  EXPECT_EQ(0, strncmp(buf, "KALDORIN", 8));
  info(1, buf, sizeof buf);
  EXPECT_EQ(0, strncmp(buf, "Chestrel - KALDORIN Archive extract library ver0.03  ", 53)) << buf;
  EXPECT_EQ(0, info(6, buf, sizeof buf));
  UnloadPlugin(&chestrel);
}

// Each header variant: what IsSupported (buffer and handle) and
// GetPictureInfo (file and memory) make of it.
TEST_F(GlimmetInfo, HeaderCheck) {
  struct Case {
    const char* what;
    Bytes data;
    int supported;
    ResultCode info;
  };
  I24BHeaderFields valid;
  I24BHeaderFields wide = valid;
  wide.width = 65535;
  wide.height = 3;
  I24BHeaderFields bpp32 = valid;
  bpp32.bitsPerPixel = 32;
  I24BHeaderFields version2 = valid;
  version2.version = 0x00020000;
  I24BHeaderFields reserved8 = valid;
  reserved8.reserved8 = 1;
  I24BHeaderFields reserved20 = valid;
  reserved20.reserved20 = 0x01000000;
  I24BHeaderFields magic = valid;
  magic.magic = 0x41343249;
  Bytes short23 = MakeI24BHeader(valid);
  short23.resize(23);
  Case cases[] = {
      {"valid, 0 x 0", MakeI24BHeader(valid), 1, kResultOk},
      {"width 65535", MakeI24BHeader(wide), 1, kResultOk},
      {"32 bits per pixel", MakeI24BHeader(bpp32), 0, kResultUnknownFormat},
      {"version 2", MakeI24BHeader(version2), 0, kResultUnknownFormat},
      {"reserved word at 8", MakeI24BHeader(reserved8), 0, kResultUnknownFormat},
      {"reserved word at 20", MakeI24BHeader(reserved20), 0, kResultUnknownFormat},
      {"wrong magic", MakeI24BHeader(magic), 0, kResultUnknownFormat},
      // The probe is zero-padded, so the missing last byte reads as 0.
      {"23 bytes", short23, 1, kResultReadError},
      {"empty", Bytes(), 0, kResultReadError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.Write("h.i24", c.data);
    EXPECT_EQ(c.supported, ProbeBuffer(c.data));
    EXPECT_EQ(c.supported, ProbeHandle(path));
    for (int memory = 0; memory < 2; ++memory) {
      PictureInfo info;
      memset(&info, 0xAB, sizeof info);
      ResultCode r = memory ? getPictureInfo(reinterpret_cast<LPCSTR>(c.data.data()),
                                             static_cast<SpiLong>(c.data.size()), kInputMemory, &info)
                            : getPictureInfo(path.c_str(), 0, kInputFile, &info);
      if (memory && c.data.empty()) continue;  // a 0-byte memory image is a platform matter
      EXPECT_EQ(c.info, r) << (memory ? "memory" : "file");
      if (r == kResultOk) {
        uint16_t w = static_cast<uint16_t>(c.data[12] | c.data[13] << 8);
        EXPECT_EQ(w, info.width);
        EXPECT_EQ(0, info.left);
        EXPECT_EQ(0, info.top);
        EXPECT_EQ(0, info.x_density);
        EXPECT_EQ(0, info.y_density);
        EXPECT_EQ(24, info.colorDepth);
        EXPECT_EQ(nullptr, info.hInfo);
      } else {
        EXPECT_EQ(0xABABABABu, info.width) << "record written on failure";
      }
    }
  }
}

TEST_F(GlimmetInfo, PictureInfoAtFileOffset) {
  I24BHeaderFields f;
  f.width = 640;
  f.height = 480;
  Bytes data(100, 0x55);
  Bytes header = MakeI24BHeader(f);
  data.insert(data.end(), header.begin(), header.end());
  std::string path = dir.Write("off.bin", data);
  PictureInfo info;
  ASSERT_EQ(kResultOk, getPictureInfo(path.c_str(), 100, kInputFile, &info));
  EXPECT_EQ(640u, info.width);
  EXPECT_EQ(480u, info.height);
  EXPECT_EQ(kResultUnknownFormat, getPictureInfo(path.c_str(), 0, kInputFile, &info));
  EXPECT_EQ(kResultReadError, getPictureInfo(path.c_str(), 101, kInputFile, &info));
}

TEST_F(GlimmetInfo, RefusedArguments) {
  Bytes data = MakeI24BHeader(I24BHeaderFields());
  std::string path = dir.Write("a.i24", data);
  PictureInfo info;
  for (unsigned type = 2; type < 8; ++type) {
    EXPECT_EQ(kResultInternalError, getPictureInfo(path.c_str(), 0, type, &info)) << type;
  }
  // Bits other than the input type are ignored.
  EXPECT_EQ(kResultOk, getPictureInfo(path.c_str(), 0, 0xFFFFFFF8u, &info));
  EXPECT_EQ(kResultInternalError, getPictureInfo(path.c_str(), 0, kInputFile, nullptr));
  EXPECT_EQ(kResultReadError, getPictureInfo(dir.File("missing.i24").c_str(), 0, kInputFile, &info));
  HLOCAL a = nullptr;
  HLOCAL b = nullptr;
  EXPECT_EQ(kResultNotImplemented, getPreview(path.c_str(), 0, 0, &a, &b, nullptr, 0));
  EXPECT_EQ(kResultNotImplemented, getPreview(nullptr, -5, 7, nullptr, nullptr, nullptr, 9));
}

TEST_F(GlimmetInfo, ProbeByHandleRestoresPosition) {
  Bytes data(50, 0);
  Bytes header = MakeI24BHeader(I24BHeaderFields());
  data.insert(data.end(), header.begin(), header.end());
  std::string path = dir.Write("at50.i24", data);
  SpiDword h = OpenHostHandle(path);
  EXPECT_EQ(0, isSupported("at50.i24", h));  // position 0: zeros, no magic
  EXPECT_EQ(0, HostHandlePosition(h));
  ASSERT_EQ(50, SeekHostHandle(h, 50));
  EXPECT_EQ(1, isSupported(nullptr, h));  // the probe starts at the handle's position
  EXPECT_EQ(50, HostHandlePosition(h));
  CloseHostHandle(h);
}

}  // namespace
