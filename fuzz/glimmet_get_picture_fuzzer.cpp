// Fuzz target for glimmet's GetPicture on the input as a memory image that
// ends right before a guard page, with the flag's other bits, the progress
// callback's answers and (by the control) an injected platform failure drawn
// from the input. Both handed-over blocks are checked and freed with
// LocalFree; a decoded picture must match the plain reference decoder's,
// and with the file bit it is decoded again from a file at an offset and
// must come out the same. A leaked block or stream, or a broken promise of
// the export, aborts.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image_i24b/i24b_format.h"
#include "image_i24b/picture_decoder.h"
#include "tests/i24b_model.h"

namespace {

// Pictures whose pixel block would be larger are shrunk (fewer rows) before
// GetPicture, so that time goes into the coded stream, not into zeroing.
constexpr uint64_t kMaxPixelBlock = 256 * 1024;
// Decodes of pixel blocks up to this size are checked against the (slow)
// reference decoder.
constexpr uint64_t kMaxReferenceBlock = 64 * 1024;

GetPictureFn gGetPicture = nullptr;
const i24b::FastTables* gTables = nullptr;  // built once, for the 32-bit buffer's decode

uint64_t Stride(uint32_t width) { return (uint64_t{width} * 3 + 3) & ~uint64_t{3}; }

// Checks a successful GetPicture's blocks against the picture's size, copies
// the pixels to `*pixelsOut` and frees both blocks.
void CheckAndFreePicture(HLOCAL info, HLOCAL pixels, uint32_t width, uint32_t height,
                         std::vector<uint8_t>* pixelsOut) {
  FUZZ_CHECK(pixels != nullptr && pixels != FUZZ_UNSET_HANDLE, "GetPicture hands over both blocks");
  std::vector<uint8_t> header;
  CheckAndFreeBlock(info, sizeof(DibHeader), &header, "the information block is 40 bytes");
  DibHeader bih;
  memcpy(&bih, header.data(), sizeof bih);
  const uint64_t imageSize = Stride(width) * height;
  FUZZ_CHECK(bih.biSize == 40 && bih.biWidth == static_cast<int32_t>(width) &&
                 bih.biHeight == static_cast<int32_t>(height) && bih.biPlanes == 1 && bih.biBitCount == 24 &&
                 bih.biCompression == 0 && bih.biSizeImage == imageSize && bih.biXPelsPerMeter == 0 &&
                 bih.biYPelsPerMeter == 0 && bih.biClrUsed == 0 && bih.biClrImportant == 0,
             "the bitmap header describes the picture");
  CheckAndFreeBlock(pixels, static_cast<size_t>(imageSize), pixelsOut, "the pixel block holds height x stride bytes");
}

// Decodes the picture with the plain reference decoder and compares.
void CompareWithReference(const uint8_t* picture, size_t size, uint32_t width, uint32_t height,
                          const std::vector<uint8_t>& decoded) {
  std::vector<uint8_t> expected;
  if (!i24b::model::ReferenceDecode(picture + i24b::kHeaderSize, size - i24b::kHeaderSize, width, height, &expected)) return;
  if (decoded == expected) return;
  size_t at = 0;
  while (at < decoded.size() && decoded[at] == expected[at]) ++at;
  const size_t stride = static_cast<size_t>(Stride(width));
  char detail[200];
  snprintf(detail, sizeof detail, "%ux%u picture: first difference at block byte %zu (memory row %zu, byte %zu): "
           "glimmet %02x, reference %02x", width, height, at, at / stride, at % stride, decoded[at], expected[at]);
  FuzzFail("glimmet and the reference decoder disagree", detail);
}

// Decodes the coded data again with the 32-bit bit buffer that 32-bit
// builds use, and compares with glimmet's block.
void CompareWithNarrowBuffer(const uint8_t* picture, size_t size, uint32_t width, uint32_t height,
                             const std::vector<uint8_t>& decoded) {
  std::vector<uint8_t> block(decoded.size(), 0xA5);  // not zeroed: the decoder must not depend on it
  const i24b::PixelBlock pixels = {block.data(), block.size(), static_cast<uint32_t>(Stride(width)), width, height};
  const i24b::CodedInput input = i24b::MemoryInput(picture + i24b::kHeaderSize, size - i24b::kHeaderSize);
  FUZZ_CHECK(i24b::DecodePixelsNarrow(*gTables, input, pixels, nullptr, 0) == kResultOk,
             "the 32-bit buffer's decode succeeds");
  FUZZ_CHECK(block == decoded, "the 32-bit and the 64-bit bit buffers decode to the same pixels");
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
  HLOCAL info = FUZZ_UNSET_HANDLE;
  HLOCAL pixels = FUZZ_UNSET_HANDLE;
  const int rc = gGetPicture(path.c_str(), sizeof kPrefix, kInputFile, &info, &pixels, nullptr, 0);
  FUZZ_CHECK(rc == kResultOk, "a picture that decodes from memory decodes from a file");
  std::vector<uint8_t> decoded;
  CheckAndFreePicture(info, pixels, width, height, &decoded);
  CheckNoLeak(before, "GetPicture (file) leaked");
  FUZZ_CHECK(decoded == expected, "a file and a memory image decode to the same pixels");
  unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gGetPicture = reinterpret_cast<GetPictureFn>(ExportOrDie(LoadPluginOrDie("glimmet"), "GetPicture"));
  std::string error;
  if (!i24b::model::PrepareReferenceDecoder(&error)) FuzzFail("cannot build the reference decoder's codes", error.c_str());
  gTables = i24b::BuildDecodeTables();
  if (gTables == nullptr) FuzzFail("cannot build the decoder's tables", "out of memory");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;

  // Shrink tall pictures; pictures whose block cannot be addressed at all
  // are passed on unchanged, since they must be refused before allocating.
  std::vector<uint8_t> shrunk;
  const uint8_t* picture = data;
  uint32_t width = 0;
  uint32_t height = 0;
  bool refuseSize = false;
  if (size >= i24b::kHeaderSize) {
    width = Le16(data + 12);
    height = Le16(data + 14);
    const uint64_t block = Stride(width) * height;
    if (block > 0xFFFFFFFFu) {
      refuseSize = true;
    } else if (block > kMaxPixelBlock) {
      height = static_cast<uint32_t>(kMaxPixelBlock / Stride(width));
      shrunk.assign(data, data + size);
      shrunk[14] = static_cast<uint8_t>(height);
      shrunk[15] = static_cast<uint8_t>(height >> 8);
      picture = shrunk.data();
    }
  }

  const LiveCounts before = CountLive();
  const uint8_t* image = GuardedImage(picture, size);
  ProgressLog log;
  ResetProgress(&log, &control);
  HLOCAL info = FUZZ_UNSET_HANDLE;
  HLOCAL pixels = FUZZ_UNSET_HANDLE;
  ArmFault(control);
  const int rc = gGetPicture(reinterpret_cast<LPCSTR>(image), static_cast<SpiLong>(size),
                             FlagFor(control, kInputMemory, false), &info, &pixels, CallbackFor(control),
                             reinterpret_cast<SpiLong>(&log));
  const bool fired = DisarmFault();
  std::vector<uint8_t> decoded;
  if (rc == kResultOk) CheckAndFreePicture(info, pixels, width, height, &decoded);
  CheckNoLeak(before, "GetPicture leaked");
  if (rc == kResultOk && decoded.size() <= kMaxReferenceBlock) {
    CompareWithReference(picture, size, width, height, decoded);
  }
  if (rc == kResultOk && !fired) CompareWithNarrowBuffer(picture, size, width, height, decoded);
  if (rc == kResultOk && !fired && control.toFiles) CompareWithFileInput(picture, size, width, height, decoded);

  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2 || rc == 4 || rc == 5 || rc == 6, "GetPicture returns a known code");
  FUZZ_CHECK(!log.orderBroken, "progress calls count rows upwards and end with the final call");
  if (log.calls > 0) {
    FUZZ_CHECK(log.sawFinal && log.lastNum == static_cast<int>(height) && log.lastDenom == static_cast<int>(height),
               "once rows were started, the last progress call is (height, height)");
  }
  CheckCancelResult(control, log, rc);
  if (rc == kResultOk && control.cancel != kNullCallback) {
    FUZZ_CHECK(log.calls == static_cast<long>(height) + 1, "a decoded picture reports every row and the end");
  }
  const int header = i24b::model::ModelHeaderCheck(picture, size);
  if (header != kResultOk) {
    FUZZ_CHECK(fired || rc == header, "GetPicture refuses a header the check refuses, with its code");
    FUZZ_CHECK(log.calls == 0, "no progress before the header is accepted");
    return 0;
  }
  if (fired) return 0;
  // Without injected failures a memory image is read without errors and
  // coded data that ends early decodes as zero bits: a valid header decodes.
  if (refuseSize) {
    FUZZ_CHECK(rc != kResultOk && log.calls == 0, "a pixel block beyond 32 bits is refused before decoding");
  } else if (width == 0 || height == 0) {
    FUZZ_CHECK(rc == kResultMemoryError && log.calls == 0, "an empty picture fails with 5 and no callback");
  } else {
    FUZZ_CHECK(rc == (log.cancelled ? kResultCancelled : kResultOk), "a valid header decodes or is cancelled");
  }
  return 0;
}
