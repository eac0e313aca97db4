// Every data export of both plug-ins, with file and with memory input, run
// once cleanly and then once for each platform call it made, with that call
// failing (and each read or write also cut short). Each run must give the
// result the table names for that failure, free or hand over every block,
// close every stream exactly once, leave the host's out-parameters as they
// were unless a success (or a failing close after the work) fills them, and
// leave the host's input buffers alone. Native only: the platform stand-in
// injects the faults.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/source_stream.h"
#include "platform/fault_injection.h"
#include "tests/fault_sweep.h"
#include "tests/pack_samples.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"
#include "image_i24b/i24b_encoder.h"

namespace {

using namespace pack::model;

// ---------------------------------------------------------------------------
// The expected result of one failing call.

constexpr int kAnyCall = -1;
constexpr int kAnyMode = -1;
constexpr long kLastCall = LONG_MAX;  // as an nth bound: the last call of its kind in the clean run

struct Outcome {
  int call;         // kind of the failing call, or kAnyCall
  long from, to;    // its nth, 1-based, inclusive (kLastCall: the clean run's last)
  int mode;         // kFaultError, kFaultShort or kAnyMode
  int result;       // what the export must return
  const char* why;  // shown when the result differs
};

Outcome Fails(int call, int result, const char* why) { return Outcome{call, 1, kLastCall, kAnyMode, result, why}; }
Outcome FailsNth(int call, long from, long to, int mode, int result, const char* why) {
  return Outcome{call, from, to, mode, result, why};
}
Outcome Otherwise(int result, const char* why) { return Outcome{kAnyCall, 1, kLastCall, kAnyMode, result, why}; }

// The first row that matches `fault` decides; every table ends with Otherwise.
const Outcome& OutcomeOf(const std::vector<Outcome>& rows, const PlatformFault& fault,
                         const long (&made)[kPlatformCallKinds]) {
  for (const Outcome& o : rows) {
    if (o.call != kAnyCall && o.call != fault.call) continue;
    const long from = o.from == kLastCall ? made[fault.call] : o.from;
    const long to = o.to == kLastCall ? made[fault.call] : o.to;
    if (fault.nth < from || fault.nth > to) continue;
    if (o.mode != kAnyMode && o.mode != fault.mode) continue;
    return o;
  }
  return rows.back();
}

// How many calls of a kind the clean run makes.
struct CallCount {
  int call;
  long atLeast, atMost;
};

// ---------------------------------------------------------------------------
// The inputs, made once: a picture whose coded data takes several reads, a
// small archive behind 16 foreign bytes, and one at the start of its file
// (GetFile reads the directory from byte 0).

constexpr unsigned kToMemory = 1u << 8;
constexpr SpiLong kPictureAt = 13;
constexpr SpiLong kArchiveAt = 16;
constexpr uint8_t kRecordSentinel = 0xA5;
const HLOCAL kHandleSentinel = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0x5A5A5A5A));

struct SweepInputs {
  Plugin glimmet;
  Plugin chestrel;
  IsSupportedFn glimmetIsSupported = nullptr;
  GetPictureInfoFn getPictureInfo = nullptr;
  GetPictureFn getPicture = nullptr;
  IsSupportedFn chestrelIsSupported = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
  GetFileFn getFile = nullptr;
  GetPictureWFn getPictureW = nullptr;
  GetFileWFn getFileW = nullptr;

  ScratchDir dir;
  int pictureHeight = 0;
  Bytes picture;            // the I24B image
  Bytes pictureProbe;       // its first 2048 bytes
  std::string picturePath;  // kPictureAt foreign bytes, then the image
  Bytes pictureDecoded;     // the bitmap header and pixel block it decodes to
  Bytes archive;            // two members, offsets counted from kArchiveAt
  Bytes archiveProbe;
  std::string archivePath;  // kArchiveAt zero bytes, then the archive
  Bytes member;             // the 40-byte member extracted
  std::string extractPath;  // an archive at byte 0 holding `member` as B.TXT
  SpiLong memberAt = 0;
  std::string outDir;
  SpiDword pictureHandle = 0;
  SpiDword archiveHandle = 0;
  // Copies for the wide exports, in a folder named in Japanese.
  std::u16string widePicturePath;
  std::u16string wideExtractPath;
  std::u16string wideOutDir;

  // Pristine copies of every buffer handed to the plug-ins as input.
  std::vector<std::pair<const Bytes*, Bytes>> hostBuffers;
  void KeepPristine(const Bytes* b) { hostBuffers.emplace_back(b, *b); }
  bool HostBuffersIntact() const {
    for (const auto& kept : hostBuffers) {
      if (*kept.first != kept.second) return false;
    }
    return true;
  }
};
SweepInputs* gIn = nullptr;

// The bitmap a decode of `rgb` (top-down RGB rows) yields: the 40-byte
// header and the bottom-up BGR pixel block with zero pad bytes.
Bytes DecodedBitmap(const Bytes& rgb, int width, int height) {
  const int stride = (3 * width + 3) & ~3;
  DibHeader dib = {};
  dib.biSize = sizeof dib;
  dib.biWidth = width;
  dib.biHeight = height;
  dib.biPlanes = 1;
  dib.biBitCount = 24;
  dib.biSizeImage = static_cast<uint32_t>(stride * height);
  Bytes out(reinterpret_cast<const uint8_t*>(&dib), reinterpret_cast<const uint8_t*>(&dib) + sizeof dib);
  Bytes pixels(static_cast<size_t>(stride) * height, 0);
  for (int r = 0; r < height; ++r) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* in = &rgb[(static_cast<size_t>(r) * width + x) * 3];
      uint8_t* px = &pixels[static_cast<size_t>(height - 1 - r) * stride + 3 * x];
      px[0] = in[2];
      px[1] = in[1];
      px[2] = in[0];
    }
  }
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

bool MakeInputs(SweepInputs* in) {
  if (!LoadPlugin("glimmet", &in->glimmet) || !LoadPlugin("chestrel", &in->chestrel)) return false;
  in->glimmetIsSupported = in->glimmet.Get<IsSupportedFn>("IsSupported");
  in->getPictureInfo = in->glimmet.Get<GetPictureInfoFn>("GetPictureInfo");
  in->getPicture = in->glimmet.Get<GetPictureFn>("GetPicture");
  in->chestrelIsSupported = in->chestrel.Get<IsSupportedFn>("IsSupported");
  in->getArchiveInfo = in->chestrel.Get<GetArchiveInfoFn>("GetArchiveInfo");
  in->getFileInfo = in->chestrel.Get<GetFileInfoFn>("GetFileInfo");
  in->getFile = in->chestrel.Get<GetFileFn>("GetFile");
  in->getPictureW = in->glimmet.Get<GetPictureWFn>("GetPictureW");
  in->getFileW = in->chestrel.Get<GetFileWFn>("GetFileW");

  // Noise codes to more bytes than it has, so 150 x 100 pixels take four
  // reads of the decoder's 16 KiB window, plus the one that finds the end.
  const int width = 150;
  const int height = 100;
  std::mt19937 random(7);
  Bytes rgb(static_cast<size_t>(width) * height * 3);
  for (uint8_t& b : rgb) b = static_cast<uint8_t>(random());
  std::string error;
  if (!i24b::EncodeI24B(rgb.data(), width, height, &in->picture, nullptr, nullptr, nullptr, &error)) return false;
  in->pictureHeight = height;
  in->pictureDecoded = DecodedBitmap(rgb, width, height);
  in->pictureProbe.assign(in->picture.begin(), in->picture.begin() + kProbeSize);
  // Sized at once: GCC 12 at -O3 takes an insert after the 13 bytes for a
  // write past them (-Warray-bounds).
  Bytes file(kPictureAt + in->picture.size(), 0xEE);
  memcpy(file.data() + kPictureAt, in->picture.data(), in->picture.size());
  in->picturePath = in->dir.Write("picture.i24", file);

  in->archive = MakePack({{"A.TXT", {1, 2, 3}}, {"B.TXT", PatternBytes(5, 3)}}, kArchiveAt);
  in->archiveProbe = Bytes(kProbeSize, 0);
  memcpy(in->archiveProbe.data(), in->archive.data(), in->archive.size());
  Bytes shifted(kArchiveAt + in->archive.size(), 0);
  memcpy(shifted.data() + kArchiveAt, in->archive.data(), in->archive.size());
  in->archivePath = in->dir.Write("at16.pak", shifted);

  // 40 bytes: 32 chunks of one byte and a rest of eight.
  in->member = PatternBytes(40, 5);
  in->extractPath = in->dir.Write("extract.pak", MakePack({{"A.TXT", {9, 9}}, {"B.TXT", in->member}}));
  in->memberAt = 8 + 2 * 24 + 8 + 2;
  in->outDir = in->dir.File("out");
  std::filesystem::create_directories(in->outDir);

  const std::string wideFolder = "\xE7\x94\xBB\xE5\x83\x8F";
  in->widePicturePath = in->dir.WideFile(wideFolder + "/picture.i24");
  in->wideExtractPath = in->dir.WideFile(wideFolder + "/extract.pak");
  in->wideOutDir = in->dir.WideFile(wideFolder + "/out " + wideFolder);
  Bytes copy;
  if (!MakeFolders(in->wideOutDir) || !ReadWholeFile(in->picturePath, &copy) ||
      !WriteWholeFile(in->widePicturePath, copy) || !ReadWholeFile(in->extractPath, &copy) ||
      !WriteWholeFile(in->wideExtractPath, copy) || !in->getPictureW || !in->getFileW) {
    return false;
  }

  in->pictureHandle = OpenHostHandle(in->picturePath);
  in->archiveHandle = OpenHostHandle(in->archivePath);
  for (const Bytes* b : {&in->picture, &in->pictureProbe, &in->archive, &in->archiveProbe, &in->member}) {
    in->KeepPristine(b);
  }
  return in->glimmetIsSupported && in->getPictureInfo && in->getPicture && in->chestrelIsSupported &&
         in->getArchiveInfo && in->getFileInfo && in->getFile && static_cast<long>(in->pictureHandle) >= 0 &&
         static_cast<long>(in->archiveHandle) >= 0;
}

// ---------------------------------------------------------------------------
// One run of an export, and the checks of what it left the host.

struct ExportRun {
  const PlatformFault* fault;          // null: the clean run
  const Bytes* clean;                  // the clean run's output (null during it)
  Bytes output;                        // what a success delivered
  long made[kPlatformCallKinds] = {};  // the export's platform calls
  bool fired = false;                  // whether the fault fired inside the export
  bool FailedCall(int call) const { return fault != nullptr && fault->call == call; }
  // Called as the export returns: counts its calls and disarms the fault,
  // so that what the host does next (locking a block it received) is
  // neither counted nor failed.
  void Returned() {
    for (int call = 0; call < kPlatformCallKinds; ++call) made[call] = PlatformCallsMade(call);
    fired = PlatformFaultFired() != 0;
    PlatformFailCall(-1, 0, kFaultError);
  }
};

LPCSTR Image(const Bytes& b) { return reinterpret_cast<LPCSTR>(b.data()); }
SpiLong Size(const Bytes& b) { return static_cast<SpiLong>(b.size()); }
template <class T>
Bytes BytesOf(const T& record) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p, p + sizeof record);
}

// Copies a handed-over block and frees it with LocalFree, as a host does.
Bytes TakeBlock(HLOCAL h) {
  Bytes out;
  const uint8_t* p = static_cast<const uint8_t*>(LocalLock(h));
  EXPECT_NE(nullptr, p) << "a handed-over block cannot be locked";
  if (p != nullptr) out.assign(p, p + LocalSize(h));
  LocalUnlock(h);
  EXPECT_EQ(nullptr, LocalFree(h)) << "the host could not free a handed-over block";
  return out;
}

// A host record after the call: on success it is the output; after a
// failing close of the source (the work was done) it holds what a success
// would; after any other failure it is untouched.
void CheckRecord(int result, ExportRun* run, const Bytes& record) {
  if (result == kResultOk) {
    run->output = record;
  } else if (run->FailedCall(kCallMmioClose)) {
    EXPECT_EQ(*run->clean, record) << "the record filled before the failing close";
  } else {
    EXPECT_EQ(Bytes(record.size(), kRecordSentinel), record) << "record written after a failure";
  }
}

int ProbeHandle(IsSupportedFn isSupported, SpiDword handle, SpiLong at, ExportRun* run) {
  SeekHostHandle(handle, static_cast<long>(at));
  int answer = isSupported("x", handle);
  run->Returned();
  // The probe puts the handle back unless moving it back is what failed.
  if (!run->FailedCall(kCallSetFilePointer)) {
    EXPECT_EQ(at, HostHandlePosition(handle)) << "the host's handle was moved";
  }
  return answer;
}

int GlimmetProbeBuffer(ExportRun* run) {
  int answer = gIn->glimmetIsSupported("x", reinterpret_cast<SpiDword>(gIn->pictureProbe.data()));
  run->Returned();
  return answer;
}
int GlimmetProbeHandle(ExportRun* run) {
  return ProbeHandle(gIn->glimmetIsSupported, gIn->pictureHandle, kPictureAt, run);
}

int PictureInfoRun(ExportRun* run, bool fromFile) {
  PictureInfo info;
  memset(&info, kRecordSentinel, sizeof info);
  int r = fromFile ? gIn->getPictureInfo(gIn->picturePath.c_str(), kPictureAt, kInputFile, &info)
                   : gIn->getPictureInfo(Image(gIn->picture), Size(gIn->picture), kInputMemory, &info);
  run->Returned();
  CheckRecord(r, run, BytesOf(info));
  return r;
}
int PictureInfoFile(ExportRun* run) { return PictureInfoRun(run, true); }
int PictureInfoMemory(ExportRun* run) { return PictureInfoRun(run, false); }

struct ProgressSeen {
  int calls = 0;
  int lastNum = -1;
  int lastDenom = -1;
};
int SPI_CALL SeeProgress(int num, int denom, SpiLong data) {
  ProgressSeen* seen = reinterpret_cast<ProgressSeen*>(data);
  ++seen->calls;
  seen->lastNum = num;
  seen->lastDenom = denom;
  return 0;
}

int PictureRun(ExportRun* run, bool fromFile, bool wide = false) {
  HLOCAL info = kHandleSentinel;
  HLOCAL pixels = kHandleSentinel;
  ProgressSeen seen;
  const SpiLong data = reinterpret_cast<SpiLong>(&seen);
  int r = wide       ? gIn->getPictureW(AsWide(gIn->widePicturePath), kPictureAt, kInputFile, &info, &pixels,
                                        SeeProgress, data)
          : fromFile ? gIn->getPicture(gIn->picturePath.c_str(), kPictureAt, kInputFile, &info, &pixels, SeeProgress,
                                       data)
                     : gIn->getPicture(Image(gIn->picture), Size(gIn->picture), kInputMemory, &info, &pixels,
                                       SeeProgress, data);
  run->Returned();
  // Once the rows have started, the closing progress call is made, also
  // after a failure.
  if (seen.calls > 0) {
    EXPECT_EQ(gIn->pictureHeight, seen.lastNum) << "no closing progress call";
    EXPECT_EQ(gIn->pictureHeight, seen.lastDenom);
  }
  if (r != kResultOk) {
    // GetPicture clears both handles on entry: a failure hands over nothing.
    EXPECT_EQ(nullptr, info) << "bitmap header handle after a failure";
    EXPECT_EQ(nullptr, pixels) << "pixel handle after a failure";
    return r;
  }
  run->output = TakeBlock(info);
  Bytes block = TakeBlock(pixels);
  run->output.insert(run->output.end(), block.begin(), block.end());
  return r;
}
int PictureFile(ExportRun* run) { return PictureRun(run, true); }
int PictureMemory(ExportRun* run) { return PictureRun(run, false); }
int PictureFileWide(ExportRun* run) { return PictureRun(run, true, true); }

int ChestrelProbeBuffer(ExportRun* run) {
  int answer = gIn->chestrelIsSupported("x", reinterpret_cast<SpiDword>(gIn->archiveProbe.data()));
  run->Returned();
  return answer;
}
int ChestrelProbeHandle(ExportRun* run) {
  return ProbeHandle(gIn->chestrelIsSupported, gIn->archiveHandle, kArchiveAt, run);
}

int ListingRun(ExportRun* run, bool fromFile) {
  HLOCAL h = kHandleSentinel;
  int r = fromFile ? gIn->getArchiveInfo(gIn->archivePath.c_str(), kArchiveAt, kInputFile, &h)
                   : gIn->getArchiveInfo(Image(gIn->archive), Size(gIn->archive), kInputMemory, &h);
  run->Returned();
  if (r != kResultOk) {
    EXPECT_EQ(nullptr, h) << "a failed listing leaves a null handle";
    return r;
  }
  run->output = TakeBlock(h);
  return r;
}
int ListingFile(ExportRun* run) { return ListingRun(run, true); }
int ListingMemory(ExportRun* run) { return ListingRun(run, false); }

int FileInfoRun(ExportRun* run, bool fromFile) {
  fileInfo info;
  memset(&info, kRecordSentinel, sizeof info);
  int r = fromFile ? gIn->getFileInfo(gIn->archivePath.c_str(), kArchiveAt, "b.txt", kFlagIgnoreCase, &info)
                   : gIn->getFileInfo(Image(gIn->archive), Size(gIn->archive), "B.TXT", kInputMemory, &info);
  run->Returned();
  CheckRecord(r, run, BytesOf(info));
  return r;
}
int FileInfoFile(ExportRun* run) { return FileInfoRun(run, true); }
int FileInfoMemory(ExportRun* run) { return FileInfoRun(run, false); }

int ExtractRun(ExportRun* run, bool fromFile, bool toMemory, bool wide = false) {
  const unsigned flag = (fromFile ? kInputFile : kInputMemory) | (toMemory ? kToMemory : 0u);
  HLOCAL h = kHandleSentinel;
  LPSTR dest = toMemory ? reinterpret_cast<LPSTR>(&h) : const_cast<LPSTR>(gIn->outDir.c_str());
  const std::string outFile = gIn->outDir + "/" + (fromFile ? "B.TXT" : "noname");
  const std::u16string wideOutFile = gIn->wideOutDir + u"/B.TXT";
  std::filesystem::remove(outFile);
  std::filesystem::remove(std::filesystem::path(wideOutFile));
  std::u16string wideDest = gIn->wideOutDir;
  int r = wide       ? gIn->getFileW(AsWide(gIn->wideExtractPath), gIn->memberAt, AsWide(&wideDest), flag, nullptr, 0)
          : fromFile ? gIn->getFile(gIn->extractPath.c_str(), gIn->memberAt, dest, flag, nullptr, 0)
                     : gIn->getFile(Image(gIn->member), Size(gIn->member), dest, flag, nullptr, 0);
  run->Returned();
  if (toMemory) {
    EXPECT_FALSE(FileExists(outFile)) << "a file written for output to memory";
    if (r != kResultOk) {
      EXPECT_EQ(kHandleSentinel, h) << "the host's handle changed after a failure";
      return r;
    }
    run->output = TakeBlock(h);
    return r;
  }
  Bytes written;
  const bool exists = wide ? ReadWholeFile(wideOutFile, &written) : ReadWholeFile(outFile, &written);
  if (r == kResultOk) {
    run->output = written;
    return r;
  }
  // The output file is created only once the member is read; a failing
  // write leaves what it stored, and a failing close (of the output or of
  // the source afterwards) leaves the whole member.
  const bool created = run->FailedCall(kCallMmioWrite) || run->FailedCall(kCallMmioClose);
  EXPECT_EQ(created, exists) << "output file " << (exists ? "written" : "missing") << " after the failure";
  if (exists) {
    EXPECT_LE(written.size(), run->clean->size());
    EXPECT_TRUE(std::equal(written.begin(), written.end(), run->clean->begin())) << "not a prefix of the member";
    if (run->FailedCall(kCallMmioClose)) {
      EXPECT_EQ(*run->clean, written);
    }
  }
  return r;
}
int ExtractFileToFile(ExportRun* run) { return ExtractRun(run, true, false); }
int ExtractFileToMemory(ExportRun* run) { return ExtractRun(run, true, true); }
int ExtractMemoryToFile(ExportRun* run) { return ExtractRun(run, false, false); }
int ExtractMemoryToMemory(ExportRun* run) { return ExtractRun(run, false, true); }
int ExtractFileToFileWide(ExportRun* run) { return ExtractRun(run, true, false, true); }

// ---------------------------------------------------------------------------
// The table: every export, its clean calls and the result of each failure.

struct ExportCase {
  const char* name;  // as printed
  const char* id;    // the test's name
  int (*run)(ExportRun* run);
  int cleanResult;
  Bytes SweepInputs::*expectedOutput;  // what the clean run delivers, or null: not checked here
  std::vector<CallCount> calls;        // the clean run's calls (kinds not listed: any number)
  std::vector<Outcome> outcomes;
};

// Shared rows.
const Outcome kProbeCloseKeepsAnswer = Fails(kCallMmioClose, 1, "closing the probe does not change the answer");
const Outcome kProbeFails = Otherwise(0, "the probe cannot be opened, filled or read");
const Outcome kProbeHandleShort =
    FailsNth(kCallReadFile, 1, 1, kFaultShort, 1,
             "a short read of the host's handle leaves zeros after the bytes it got, and the data lies within them");
const Outcome kDirectoryReadsOn = FailsNth(kCallMmioRead, 2, kLastCall, kFaultShort, 0,
                                           "the directory reader reads on after a short read: it only delays the data");
const Outcome kAllocFails = Fails(kCallLocalAlloc, kResultOutOfMemory, "a block cannot be allocated");
const Outcome kLockFails = Fails(kCallLocalLock, kResultMemoryError, "a block cannot be locked");
const Outcome kMemoryOpenFails = Fails(kCallMmioOpen, kResultMemoryError, "a memory source cannot be opened");
const Outcome kReadError = Otherwise(kResultReadError, "the source cannot be opened, positioned, read or closed");

Bytes SweepInputs::*const kNoOutput = nullptr;

std::vector<ExportCase> Cases() {
  const Outcome pictureHeader =
      FailsNth(kCallMmioRead, 1, 1, kAnyMode, kResultReadError, "the header is read exactly");
  const Outcome pictureReadsOn = FailsNth(kCallMmioRead, 2, kLastCall, kFaultShort, kResultOk,
                                          "the decoder reads on after a short read: it only delays the data");
  const Outcome pictureEnd = FailsNth(kCallMmioRead, kLastCall, kLastCall, kFaultError, kResultOk,
                                      "the read that finds the end of the data loses nothing the picture needs");
  // GetFile from a file: read 1 is the header, read 2 the directory, then
  // the member in 32 one-byte chunks and an eight-byte rest.
  const Outcome extractDirectory = FailsNth(kCallMmioRead, 2, 2, kFaultShort, kResultOk,
                                            "the directory reader reads on after a short read");
  const Outcome outputOpen = FailsNth(kCallMmioOpen, 2, 2, kAnyMode, kResultInternalError,
                                      "the output file cannot be created");
  const Outcome outputWrite =
      Fails(kCallMmioWrite, kResultInternalError, "writing the output fails or stores fewer bytes");
  const Outcome outputClose = FailsNth(kCallMmioClose, 1, 1, kAnyMode, kResultInternalError,
                                       "closing the output fails: its bytes may not be on disk");
  const long many = LONG_MAX;
  // The probe reads the header, then each entry's first 8 bytes and name,
  // then the terminator's 8 bytes: six reads for the two-member archive.
  const CallCount probeReads = {kCallMmioRead, 6, 6};
  return {
      {"glimmet IsSupported (buffer)", "GlimmetIsSupportedBuffer", GlimmetProbeBuffer, 1, kNoOutput,
       {{kCallMmioOpen, 1, 1}, {kCallMmioRead, 1, 1}, {kCallMmioClose, 1, 1}},
       {kProbeCloseKeepsAnswer, kProbeFails}},
      {"glimmet IsSupported (handle)", "GlimmetIsSupportedHandle", GlimmetProbeHandle, 1, kNoOutput,
       {{kCallMmioGetInfo, 1, 1}, {kCallReadFile, 1, 1}, {kCallSetFilePointer, 1, 1}, {kCallMmioClose, 1, 1}},
       {kProbeCloseKeepsAnswer, kProbeHandleShort, kProbeFails}},
      {"GetPictureInfo (file)", "GetPictureInfoFile", PictureInfoFile, 0, kNoOutput,
       {{kCallMmioSeek, 1, 1}, {kCallMmioRead, 1, 1}, {kCallMmioClose, 1, 1}},
       {kReadError}},
      {"GetPictureInfo (memory)", "GetPictureInfoMemory", PictureInfoMemory, 0, kNoOutput,
       {{kCallMmioRead, 1, 1}, {kCallMmioClose, 1, 1}},
       {kMemoryOpenFails, kReadError}},
      {"GetPicture (file)", "GetPictureFile", PictureFile, 0, &SweepInputs::pictureDecoded,
       {{kCallLocalAlloc, 2, 2}, {kCallLocalLock, 2, 2}, {kCallMmioRead, 5, many}, {kCallMmioClose, 1, 1}},
       {kAllocFails, kLockFails, pictureHeader, pictureReadsOn, pictureEnd, kReadError}},
      {"GetPicture (memory)", "GetPictureMemory", PictureMemory, 0, &SweepInputs::pictureDecoded,
       {{kCallLocalAlloc, 2, 2}, {kCallLocalLock, 2, 2}, {kCallMmioRead, 5, many}, {kCallMmioClose, 1, 1}},
       {kMemoryOpenFails, kAllocFails, kLockFails, pictureHeader, pictureReadsOn, pictureEnd, kReadError}},
      {"GetPictureW (file)", "GetPictureWFile", PictureFileWide, 0, &SweepInputs::pictureDecoded,
       {{kCallLocalAlloc, 2, 2}, {kCallLocalLock, 2, 2}, {kCallMmioRead, 5, many}, {kCallMmioClose, 1, 1}},
       {kAllocFails, kLockFails, pictureHeader, pictureReadsOn, pictureEnd, kReadError}},
      {"chestrel IsSupported (buffer)", "ChestrelIsSupportedBuffer", ChestrelProbeBuffer, 1, kNoOutput,
       {probeReads, {kCallMmioClose, 1, 1}},
       {kProbeCloseKeepsAnswer,
        FailsNth(kCallMmioRead, 2, kLastCall, kFaultShort, 1, "the directory reader reads on after a short read"),
        kProbeFails}},
      {"chestrel IsSupported (handle)", "ChestrelIsSupportedHandle", ChestrelProbeHandle, 1, kNoOutput,
       {{kCallReadFile, 1, 1}, {kCallSetFilePointer, 1, 1}, probeReads, {kCallMmioClose, 1, 1}},
       {kProbeCloseKeepsAnswer, kProbeHandleShort,
        FailsNth(kCallMmioRead, 2, kLastCall, kFaultShort, 1, "the directory reader reads on after a short read"),
        kProbeFails}},
      {"GetArchiveInfo (file)", "GetArchiveInfoFile", ListingFile, 0, kNoOutput,
       {{kCallMmioSeek, 1, 1}, {kCallLocalAlloc, 1, 1}, {kCallLocalLock, 1, 1}, {kCallMmioClose, 1, 1}},
       {kAllocFails, kLockFails, kDirectoryReadsOn, kReadError}},
      {"GetArchiveInfo (memory)", "GetArchiveInfoMemory", ListingMemory, 0, kNoOutput,
       {{kCallLocalAlloc, 1, 1}, {kCallLocalLock, 1, 1}, {kCallMmioClose, 1, 1}},
       {kMemoryOpenFails, kAllocFails, kLockFails, kDirectoryReadsOn, kReadError}},
      {"GetFileInfo (file)", "GetFileInfoFile", FileInfoFile, 0, kNoOutput,
       {{kCallMmioSeek, 1, 1}, {kCallLocalAlloc, 0, 0}, {kCallMmioClose, 1, 1}},
       {kDirectoryReadsOn, kReadError}},
      {"GetFileInfo (memory)", "GetFileInfoMemory", FileInfoMemory, 0, kNoOutput,
       {{kCallLocalAlloc, 0, 0}, {kCallMmioClose, 1, 1}},
       {kMemoryOpenFails, kDirectoryReadsOn, kReadError}},
      {"GetFile (file to file)", "GetFileFileToFile", ExtractFileToFile, 0, &SweepInputs::member,
       {{kCallMmioOpen, 2, 2}, {kCallMmioRead, 35, 35}, {kCallMmioWrite, 1, 1}, {kCallMmioClose, 2, 2}},
       {kAllocFails, kLockFails, outputOpen, extractDirectory, outputWrite, outputClose, kReadError}},
      {"GetFileW (file to file)", "GetFileWFileToFile", ExtractFileToFileWide, 0, &SweepInputs::member,
       {{kCallMmioOpen, 2, 2}, {kCallMmioRead, 35, 35}, {kCallMmioWrite, 1, 1}, {kCallMmioClose, 2, 2}},
       {kAllocFails, kLockFails, outputOpen, extractDirectory, outputWrite, outputClose, kReadError}},
      {"GetFile (file to memory)", "GetFileFileToMemory", ExtractFileToMemory, 0, &SweepInputs::member,
       {{kCallMmioOpen, 1, 1}, {kCallMmioRead, 35, 35}, {kCallMmioWrite, 0, 0}, {kCallMmioClose, 1, 1}},
       {kAllocFails, kLockFails, extractDirectory, kReadError}},
      {"GetFile (memory to file)", "GetFileMemoryToFile", ExtractMemoryToFile, 0, &SweepInputs::member,
       {{kCallMmioOpen, 2, 2}, {kCallMmioRead, 33, 33}, {kCallMmioWrite, 1, 1}, {kCallMmioClose, 2, 2}},
       {FailsNth(kCallMmioOpen, 1, 1, kAnyMode, kResultMemoryError, "a memory source cannot be opened"), outputOpen,
        kAllocFails, kLockFails, outputWrite, outputClose, kReadError}},
      {"GetFile (memory to memory)", "GetFileMemoryToMemory", ExtractMemoryToMemory, 0, &SweepInputs::member,
       {{kCallMmioOpen, 1, 1}, {kCallMmioRead, 33, 33}, {kCallMmioClose, 1, 1}},
       {kMemoryOpenFails, kAllocFails, kLockFails, kReadError}},
  };
}

class ExportFaultSweep : public ::testing::TestWithParam<size_t> {
 protected:
  static void SetUpTestSuite() {
    gIn = new SweepInputs;
    PlatformResetFaults();
    ready_ = MakeInputs(gIn);
  }
  static void TearDownTestSuite() {
    PlatformResetFaults();
    CloseHostHandle(gIn->pictureHandle);
    CloseHostHandle(gIn->archiveHandle);
    UnloadPlugin(&gIn->glimmet);
    UnloadPlugin(&gIn->chestrel);
    delete gIn;
    gIn = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(ready_) << "the plug-ins or the inputs could not be made"; }
  void TearDown() override { PlatformResetFaults(); }
  inline static bool ready_ = false;
};

TEST_P(ExportFaultSweep, EachPlatformCallFails) {
  const ExportCase c = Cases()[GetParam()];
  const Resources before = LiveResources();

  PlatformResetFaults();
  ExportRun clean{nullptr, nullptr, {}};
  ASSERT_EQ(c.cleanResult, c.run(&clean)) << "clean run";
  const long (&made)[kPlatformCallKinds] = clean.made;
  ASSERT_EQ(before, LiveResources()) << "clean run";
  for (const CallCount& count : c.calls) {
    EXPECT_GE(made[count.call], count.atLeast) << PlatformCallName(count.call) << " calls in the clean run";
    EXPECT_LE(made[count.call], count.atMost) << PlatformCallName(count.call) << " calls in the clean run";
  }
  if (c.expectedOutput != nullptr) {
    EXPECT_TRUE(gIn->*c.expectedOutput == clean.output) << "clean run output";
  }
  ASSERT_EQ(kAnyCall, c.outcomes.back().call) << "the table ends with a row for every other failure";

  const std::vector<PlatformFault> faults = FaultsOfCalls(made);
  for (const PlatformFault& fault : faults) {
    const Outcome& expected = OutcomeOf(c.outcomes, fault, made);
    SCOPED_TRACE(std::string(c.name) + ": " + fault.Describe() + " (" + expected.why + ")");
    const Resources atStart = LiveResources();
    fault.Arm();
    ExportRun run{&fault, &clean.output, {}};
    const int r = c.run(&run);
    ASSERT_TRUE(run.fired) << "the failure point was not reached";
    EXPECT_EQ(expected.result, r);
    if (r == kResultOk && c.cleanResult == kResultOk) {
      EXPECT_TRUE(clean.output == run.output) << "a success despite the failure delivered something else";
    }
    const Resources after = LiveResources();
    EXPECT_EQ(atStart.blocks, after.blocks) << "a block leaked";
    EXPECT_EQ(atStart.streams, after.streams) << "a stream was left open";
    EXPECT_EQ(atStart.heap, after.heap) << "a heap allocation leaked";
    EXPECT_EQ(atStart.badCloses, after.badCloses) << "a stream closed twice, or a handle closed that was not open";
    EXPECT_TRUE(gIn->HostBuffersIntact()) << "an input buffer of the host was written";
  }
  PlatformResetFaults();

  printf("%s: %zu failure points\n", c.name, faults.size());
  RecordProperty("failure_points", static_cast<int>(faults.size()));
  EXPECT_GT(faults.size(), 0u);
}

std::string CaseName(const ::testing::TestParamInfo<size_t>& info) { return Cases()[info.param].id; }

INSTANTIATE_TEST_SUITE_P(EveryExport, ExportFaultSweep, ::testing::Range(size_t{0}, Cases().size()), CaseName);

}  // namespace
