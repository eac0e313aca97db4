// Fuzz target for glimmet: IsSupported on a probe buffer, GetPictureInfo and
// GetPicture on the input as a memory image, with a progress callback that
// sometimes cancels and (by the second control byte) an injected platform
// failure. A decoded picture must match the plain reference decoder's, and
// with the control's file bit it is decoded again from a file and must come
// out the same. Every handed-over block is checked
// and freed; a leaked block or stream, or a broken promise of the exports,
// aborts.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/i24b_reference.h"

namespace {

constexpr size_t kHeaderSize = 24;
constexpr size_t kProbeBytes = 2048;
// Pictures whose pixel block would be larger are shrunk (fewer rows) before
// GetPicture, so that time goes into the coded stream, not into zeroing.
constexpr uint64_t kMaxPixelBlock = 256 * 1024;
// Decodes of pixel blocks up to this size are checked against the (slow)
// reference decoder.
constexpr uint64_t kMaxReferenceBlock = 64 * 1024;
const HLOCAL kUnset = reinterpret_cast<HLOCAL>(uintptr_t{0x5A5A5A5A});

struct Glimmet {
  IsSupportedFn isSupported;
  GetPictureInfoFn getPictureInfo;
  GetPictureFn getPicture;
} gPlugin;


uint32_t Le16(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }

uint64_t Stride(uint32_t width) { return (uint64_t{width} * 3 + 3) & ~uint64_t{3}; }

int ProbeBuffer(const FuzzControl& control, const uint8_t* data, size_t size, bool* fired) {
  std::vector<uint8_t> probe(kProbeBytes, 0);
  if (size > 0) memcpy(probe.data(), data, size < kProbeBytes ? size : kProbeBytes);
  ArmFault(control);
  const int answer = gPlugin.isSupported("fuzz.i24", reinterpret_cast<SpiDword>(probe.data()));
  *fired = DisarmFault();
  FUZZ_CHECK(answer == 0 || answer == 1, "IsSupported answers 1 or 0");
  return answer;
}

// Checks a successful GetPicture's blocks against the picture's size, copies
// the pixels to `*copy` (when given) and frees the blocks.
void CheckAndFreePicture(HLOCAL info, HLOCAL pixels, uint32_t width, uint32_t height, std::vector<uint8_t>* copy) {
  FUZZ_CHECK(info != nullptr && info != kUnset && pixels != nullptr && pixels != kUnset,
             "GetPicture hands over both blocks");
  FUZZ_CHECK(LocalSize(info) == sizeof(DibHeader), "the information block is 40 bytes");
  const void* p = LocalLock(info);
  FUZZ_CHECK(p != nullptr, "the information block can be locked");
  DibHeader bih;
  memcpy(&bih, p, sizeof bih);
  LocalUnlock(info);
  const uint64_t imageSize = Stride(width) * height;
  FUZZ_CHECK(bih.biSize == 40 && bih.biWidth == static_cast<int32_t>(width) &&
                 bih.biHeight == static_cast<int32_t>(height) && bih.biPlanes == 1 && bih.biBitCount == 24 &&
                 bih.biCompression == 0 && bih.biSizeImage == imageSize && bih.biXPelsPerMeter == 0 &&
                 bih.biYPelsPerMeter == 0 && bih.biClrUsed == 0 && bih.biClrImportant == 0,
             "the bitmap header describes the picture");
  FUZZ_CHECK(LocalSize(pixels) == imageSize, "the pixel block holds height x stride bytes");
  // Handed over unlocked: one lock and one unlock leave no lock behind.
  const uint8_t* bytes = static_cast<const uint8_t*>(LocalLock(pixels));
  FUZZ_CHECK(bytes != nullptr, "the pixel block can be locked");
  if (copy != nullptr) copy->assign(bytes, bytes + imageSize);
  FUZZ_CHECK(LocalUnlock(pixels) == FALSE, "the pixel block was handed over unlocked");
  FUZZ_CHECK(LocalFree(info) == nullptr && LocalFree(pixels) == nullptr, "the host can free both blocks");
}

// Decodes the picture with the plain reference decoder and compares.
void CompareWithReference(const uint8_t* picture, size_t size, uint32_t width, uint32_t height,
                          const std::vector<uint8_t>& decoded) {
  std::vector<uint8_t> expected;
  if (!ReferenceDecode(picture + kHeaderSize, size - kHeaderSize, width, height, &expected)) return;
  if (decoded == expected) return;
  size_t at = 0;
  while (at < decoded.size() && decoded[at] == expected[at]) ++at;
  const size_t stride = static_cast<size_t>(Stride(width));
  char detail[200];
  snprintf(detail, sizeof detail, "%ux%u picture: first difference at block byte %zu (memory row %zu, byte %zu): "
           "glimmet %02x, reference %02x", width, height, at, at / stride, at % stride, decoded[at], expected[at]);
  FuzzFail("glimmet and the reference decoder disagree", detail);
}

// Decodes the same picture from a file, behind a few bytes of something
// else (input type 0 with an offset), and compares the pixels with the
// memory decode.
void CompareWithFileInput(const uint8_t* picture, size_t size, uint32_t width, uint32_t height,
                          const std::vector<uint8_t>& expected) {
  static const uint8_t kPrefix[] = {'j', 'u', 'n', 'k', 0, 0, 0};
  std::vector<uint8_t> file(kPrefix, kPrefix + sizeof kPrefix);
  file.insert(file.end(), picture, picture + size);
  const std::string path = ScratchFolder() + "/picture.i24";
  if (!WriteFileBytes(path, file.data(), file.size())) FuzzFail("cannot write the picture file", path.c_str());
  const LiveCounts before = CountLive();
  HLOCAL info = kUnset;
  HLOCAL pixels = kUnset;
  const int rc = gPlugin.getPicture(path.c_str(), sizeof kPrefix, kInputFile, &info, &pixels, nullptr, 0);
  FUZZ_CHECK(rc == kResultOk, "a picture that decodes from memory decodes from a file");
  std::vector<uint8_t> decoded;
  CheckAndFreePicture(info, pixels, width, height, &decoded);
  CheckNoLeak(before, "GetPicture (file) leaked");
  FUZZ_CHECK(decoded == expected, "a file and a memory image decode to the same pixels");
  unlink(path.c_str());
}

enum HeaderVerdict { kHeaderValid, kHeaderInvalid, kHeaderUnknown };

void FuzzPicture(const FuzzControl& control, const uint8_t* data, size_t size, HeaderVerdict verdict) {
  // Shrink tall pictures; pictures whose block cannot be addressed at all
  // are passed on unchanged, since they must be refused before allocating.
  std::vector<uint8_t> copy;
  const uint8_t* picture = data;
  uint32_t width = 0;
  uint32_t height = 0;
  bool refuseSize = false;
  if (size >= kHeaderSize) {
    width = Le16(data + 12);
    height = Le16(data + 14);
    const uint64_t block = Stride(width) * height;
    if (block > 0xFFFFFFFFu) {
      refuseSize = true;
    } else if (block > kMaxPixelBlock) {
      height = static_cast<uint32_t>(kMaxPixelBlock / Stride(width));
      copy.assign(data, data + size);
      copy[14] = static_cast<uint8_t>(height);
      copy[15] = static_cast<uint8_t>(height >> 8);
      picture = copy.data();
    }
  }

  const LiveCounts before = CountLive();
  ProgressLog log;
  ResetProgress(&log, &control);
  HLOCAL info = kUnset;
  HLOCAL pixels = kUnset;
  ArmFault(control);
  const int rc = gPlugin.getPicture(reinterpret_cast<LPCSTR>(picture), static_cast<SpiLong>(size), kInputMemory,
                                    &info, &pixels, CallbackFor(control), reinterpret_cast<SpiLong>(&log));
  const bool fired = DisarmFault();
  std::vector<uint8_t> decoded;
  if (rc == kResultOk) CheckAndFreePicture(info, pixels, width, height, &decoded);
  CheckNoLeak(before, "GetPicture leaked");
  if (rc == kResultOk && decoded.size() <= kMaxReferenceBlock) {
    CompareWithReference(picture, size, width, height, decoded);
  }
  if (rc == kResultOk && !fired && control.toFiles) CompareWithFileInput(picture, size, width, height, decoded);

  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2 || rc == 4 || rc == 5 || rc == 6, "GetPicture returns a known code");
  FUZZ_CHECK(!log.orderBroken, "progress calls count rows upwards and end with the final call");
  if (log.calls > 0) {
    FUZZ_CHECK(log.sawFinal && log.lastNum == static_cast<int>(height) && log.lastDenom == static_cast<int>(height),
               "once rows were started, the last progress call is (height, height)");
  }
  if (control.cancel != kNullCallback) {
    FUZZ_CHECK(log.cancelled == (rc == kResultCancelled), "result 1 exactly when the callback cancelled");
  } else {
    FUZZ_CHECK(rc != kResultCancelled, "no cancellation without a callback");
  }
  if (rc == kResultOk && control.cancel != kNullCallback) {
    FUZZ_CHECK(log.calls == static_cast<long>(height) + 1, "a decoded picture reports every row and the end");
  }
  if (fired || verdict == kHeaderUnknown) return;
  // Without injected failures a memory image is read without errors and
  // coded data that ends early decodes as zero bits: a valid header decodes.
  if (verdict == kHeaderInvalid) {
    FUZZ_CHECK(rc == (size < kHeaderSize ? kResultReadError : kResultUnknownFormat),
               "GetPicture refuses what GetPictureInfo refused");
    FUZZ_CHECK(log.calls == 0, "no progress before the header is accepted");
  } else if (refuseSize) {
    FUZZ_CHECK(rc != kResultOk && log.calls == 0, "a pixel block beyond 32 bits is refused before decoding");
  } else if (width == 0 || height == 0) {
    FUZZ_CHECK(rc == kResultMemoryError && log.calls == 0, "an empty picture fails with 5 and no callback");
  } else {
    FUZZ_CHECK(rc == (log.cancelled ? kResultCancelled : kResultOk), "a valid header decodes or is cancelled");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  void* module = LoadPluginOrDie("glimmet.spi");
  gPlugin.isSupported = reinterpret_cast<IsSupportedFn>(ExportOrDie(module, "IsSupported"));
  gPlugin.getPictureInfo = reinterpret_cast<GetPictureInfoFn>(ExportOrDie(module, "GetPictureInfo"));
  gPlugin.getPicture = reinterpret_cast<GetPictureFn>(ExportOrDie(module, "GetPicture"));
  std::string error;
  if (!PrepareReferenceDecoder(&error)) FuzzFail("cannot build the reference decoder's codes", error.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;
  const LiveCounts before = CountLive();

  bool probeFired = false;
  const int answer = ProbeBuffer(control, data, size, &probeFired);
  CheckNoLeak(before, "IsSupported leaked");

  PictureInfo info;
  memset(&info, 0xA5, sizeof info);
  PictureInfo untouched = info;
  ArmFault(control);
  const int rc = gPlugin.getPictureInfo(reinterpret_cast<LPCSTR>(data), static_cast<SpiLong>(size), kInputMemory,
                                        &info);
  const bool infoFired = DisarmFault();
  CheckNoLeak(before, "GetPictureInfo leaked");
  if (rc == kResultOk) {
    FUZZ_CHECK(info.left == 0 && info.top == 0 && info.x_density == 0 && info.y_density == 0 &&
                   info.colorDepth == 24 && info.hInfo == nullptr && info.width <= 0xFFFF && info.height <= 0xFFFF,
               "GetPictureInfo fills the record from the header");
    FUZZ_CHECK(info.width == Le16(data + 12) && info.height == Le16(data + 14), "width and height come unchanged");
  } else if (rc != kResultReadError || !infoFired) {
    // A failed close after a successful check may leave a filled record.
    FUZZ_CHECK(memcmp(&info, &untouched, sizeof info) == 0, "a refused header leaves the record alone");
  }
  HeaderVerdict verdict = rc == kResultOk ? kHeaderValid : kHeaderInvalid;
  if (!infoFired) {
    FUZZ_CHECK(rc == 0 || rc == 2 || rc == 6, "GetPictureInfo returns 0, 2 or 6 on memory");
    FUZZ_CHECK((rc == kResultReadError) == (size < kHeaderSize), "only a short header is a read error");
    if (!probeFired && size >= kHeaderSize) {
      FUZZ_CHECK(answer == (rc == kResultOk ? 1 : 0), "IsSupported agrees with GetPictureInfo");
    }
  } else if (!probeFired && size >= kHeaderSize) {
    verdict = answer == 1 ? kHeaderValid : kHeaderInvalid;  // the probe saw the same 24 bytes
  } else {
    verdict = kHeaderUnknown;
  }
  FuzzPicture(control, data, size, verdict);
  return 0;
}
