// What chestrel's tests share: the PACK model (tests/pack_model.h) that
// builds their archives, byte patterns, a recording progress callback and a
// fixture that loads chestrel and its exports as a host does.
#ifndef KALDORIN_TESTS_PACK_SAMPLES_H
#define KALDORIN_TESTS_PACK_SAMPLES_H

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/pack_model.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"

// Bytes 0..n-1 of a pattern that differs from chunk to chunk.
inline Bytes PatternBytes(size_t n, uint32_t seed = 1) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

// A host's progress callback: records each call and answers non-zero at the
// call (nNum) chosen by `cancelAt`.
struct ProgressLog {
  std::vector<std::pair<int, int>> calls;
  int cancelAt = -1;
  // Run before answering (e.g. to change a memory source between chunks).
  void (*onCall)(ProgressLog* log, int nNum) = nullptr;
  void* context = nullptr;
};

inline int SPI_CALL RecordProgress(int nNum, int nDenom, SpiLong lData) {
  ProgressLog* log = reinterpret_cast<ProgressLog*>(lData);
  log->calls.emplace_back(nNum, nDenom);
  if (log->onCall != nullptr) log->onCall(log, nNum);
  return nNum == log->cancelAt ? 1 : 0;
}

inline SpiLong LogData(ProgressLog* log) { return reinterpret_cast<SpiLong>(log); }

// A fileInfo as bytes, for checking what was and was not written.
inline const uint8_t* RecordBytes(const fileInfo& r) { return reinterpret_cast<const uint8_t*>(&r); }

// What a wide export lists for the member of `r`: the same record with the
// (ASCII) path and name widened unit by unit.
inline fileInfoW WidenRecord(const fileInfo& r) {
  fileInfoW w;
  memset(&w, 0, sizeof w);
  memcpy(w.method, r.method, sizeof w.method);
  w.position = r.position;
  w.compsize = r.compsize;
  w.filesize = r.filesize;
  w.timestamp = r.timestamp;
  for (size_t i = 0; i < sizeof r.path; ++i) w.path[i] = static_cast<unsigned char>(r.path[i]);
  for (size_t i = 0; i < sizeof r.filename; ++i) w.filename[i] = static_cast<unsigned char>(r.filename[i]);
  w.crc = r.crc;
  return w;
}

// Loads chestrel once per suite and checks after each test that no block or
// stream was left behind.
class ChestrelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(LoadPlugin("chestrel", &plugin_)); }
  static void TearDownTestSuite() { UnloadPlugin(&plugin_); }
  void SetUp() override {
    isSupported = plugin_.Get<IsSupportedFn>("IsSupported");
    getArchiveInfo = plugin_.Get<GetArchiveInfoFn>("GetArchiveInfo");
    getFileInfo = plugin_.Get<GetFileInfoFn>("GetFileInfo");
    getFile = plugin_.Get<GetFileFn>("GetFile");
    ASSERT_TRUE(isSupported && getArchiveInfo && getFileInfo && getFile);
    isSupportedW = plugin_.Get<IsSupportedWFn>("IsSupportedW");
    getArchiveInfoW = plugin_.Get<GetArchiveInfoWFn>("GetArchiveInfoW");
    getFileInfoW = plugin_.Get<GetFileInfoWFn>("GetFileInfoW");
    getFileW = plugin_.Get<GetFileWFn>("GetFileW");
    ASSERT_TRUE(isSupportedW && getArchiveInfoW && getFileInfoW && getFileW);
    before = LiveResources();
  }
  void TearDown() override { EXPECT_EQ(before, LiveResources()) << "a block or stream leaked"; }

  // IsSupported on the first 2048 bytes of `data`, zero-padded, as hosts do.
  int ProbeBuffer(const Bytes& data) {
    Bytes probe(2048, 0);
    if (!data.empty()) memcpy(probe.data(), data.data(), data.size() < 2048 ? data.size() : 2048);
    return isSupported("x.pak", reinterpret_cast<SpiDword>(probe.data()));
  }
  int ProbeHandle(const std::string& path) {
    SpiDword h = OpenHostHandle(path);
    int answer = isSupported("x.pak", h);
    CloseHostHandle(h);
    return answer;
  }

  // The listing of `data` given as memory, copied out of the host block;
  // the block is freed. Returns the result code.
  ResultCode ListMemory(const Bytes& data, std::vector<fileInfo>* records) {
    HLOCAL h = nullptr;
    ResultCode r =
        getArchiveInfo(reinterpret_cast<LPCSTR>(data.data()), static_cast<SpiLong>(data.size()), kInputMemory, &h);
    TakeListing(r, h, records);
    return r;
  }
  ResultCode ListFile(const std::string& path, SpiLong offset, std::vector<fileInfo>* records) {
    HLOCAL h = nullptr;
    ResultCode r = getArchiveInfo(path.c_str(), offset, kInputFile, &h);
    TakeListing(r, h, records);
    return r;
  }
  // The listing of GetArchiveInfoW for the file `path`.
  ResultCode ListFileW(const std::u16string& path, SpiLong offset, std::vector<fileInfoW>* records) {
    HLOCAL h = nullptr;
    ResultCode r = getArchiveInfoW(AsWide(path), offset, kInputFile, &h);
    TakeListing(r, h, records);
    return r;
  }
  // Copies every record of a listing block (the end record included) and
  // frees the block; a failure must leave a null handle.
  template <class Record>
  void TakeListing(ResultCode r, HLOCAL h, std::vector<Record>* records) {
    records->clear();
    if (r != kResultOk) {
      EXPECT_EQ(nullptr, h) << "a handle after a failed listing";
      return;
    }
    ASSERT_NE(nullptr, h);
    size_t bytes = LocalSize(h);
    ASSERT_EQ(0u, bytes % sizeof(Record));
    const Record* p = static_cast<const Record*>(LocalLock(h));
    ASSERT_NE(nullptr, p);
    records->assign(p, p + bytes / sizeof(Record));
    LocalUnlock(h);
    EXPECT_EQ(nullptr, LocalFree(h));
  }

  // Extracts the member at `position` of the file to memory: its bytes, or
  // the failure code.
  ResultCode ExtractToMemory(const std::string& path, SpiLong position, Bytes* out, ProgressCallback cb = nullptr,
                             SpiLong lData = 0) {
    HLOCAL h = nullptr;
    ResultCode r = getFile(path.c_str(), position, reinterpret_cast<LPSTR>(&h), 1u << 8, cb, lData);
    out->clear();
    if (r != kResultOk) {
      EXPECT_EQ(nullptr, h);
      return r;
    }
    const uint8_t* p = static_cast<const uint8_t*>(LocalLock(h));
    EXPECT_NE(nullptr, p);
    if (p != nullptr) out->assign(p, p + LocalSize(h));
    LocalUnlock(h);
    LocalFree(h);
    return r;
  }

  inline static Plugin plugin_;
  IsSupportedFn isSupported = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
  GetFileFn getFile = nullptr;
  IsSupportedWFn isSupportedW = nullptr;
  GetArchiveInfoWFn getArchiveInfoW = nullptr;
  GetFileInfoWFn getFileInfoW = nullptr;
  GetFileWFn getFileW = nullptr;
  Resources before;
  ScratchDir dir;
};

#endif
