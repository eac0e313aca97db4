// The browser page's calls into the I24B decoder and the PACK reader,
// compiled to WebAssembly (scripts/build-web.sh). The page's workers own the
// memory: they copy input in with web_alloc, call in, copy results out and
// free what they were given. An archive's directory is read from the
// worker's File as the reader asks for it (Module.readArchive).
#include <emscripten/emscripten.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wasm_simd128.h>

#include "archive_pack/pack_diagnosis.h"
#include "archive_pack/pack_format.h"
#include "archive_pack/pack_member_walk.h"
#include "image_i24b/i24b_header.h"
#include "image_i24b/picture_decoder.h"

namespace {

// The worker's progress handler, when it set one.
EM_JS(void, ReportProgress, (int permille), {
  if (Module.onProgress) Module.onProgress(permille);
});

// Calls the worker once per hundredth of the rows, not once per row: each
// call posts a message.
int SPI_CALL ProgressPerCent(int row, int rows, SpiLong data) {
  int* last = reinterpret_cast<int*>(data);
  const int percent = rows > 0 ? static_cast<int>(int64_t{row} * 100 / rows) : 100;
  if (percent != *last) {
    *last = percent;
    ReportProgress(percent * 10);
  }
  return 0;
}

// Pictures smaller than this decode too fast to show progress.
constexpr size_t kProgressPixels = size_t{1} << 20;

const i24b::FastTables* Tables() {
  static const i24b::FastTables* tables = i24b::BuildDecodeTables();
  return tables;
}

// Bytes ToRgba may read past a row's last pixel.
constexpr size_t kRowSlack = 16;

// One blue, green, red row (`width` pixels at `from`, readable for
// kRowSlack bytes past its end) as red, green, blue, opaque at `to`: four
// pixels a shuffle, the rest one at a time (wasm is little-endian).
void ToRgba(const uint8_t* from, uint32_t width, uint8_t* to) {
  const v128_t order = wasm_i8x16_make(2, 1, 0, 16, 5, 4, 3, 16, 8, 7, 6, 16, 11, 10, 9, 16);
  const v128_t opaque = wasm_i32x4_splat(static_cast<int32_t>(0xFF000000u));
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, from += 12, to += 16) {
    wasm_v128_store(to, wasm_v128_or(wasm_i8x16_swizzle(wasm_v128_load(from), order), opaque));
  }
  for (; x < width; ++x, from += 3, to += 4) {
    const uint32_t pixel = 0xFF000000u | uint32_t{from[0]} << 16 | uint32_t{from[1]} << 8 | from[2];
    memcpy(to, &pixel, 4);
  }
}

// Where web_decode's rows go: top-down RGBA rows of `width` pixels.
struct RgbaRows {
  uint8_t* rgba;
  uint32_t width;
};

void TakeRgbaRow(void* context, uint32_t row, const uint8_t* bgr) {
  const RgbaRows* to = static_cast<const RgbaRows*>(context);
  ToRgba(bgr, to->width, to->rgba + size_t{row} * to->width * 4);
}

// The decoder's window of rows: small enough to stay in the processor's
// cache (a larger one measured no faster), large enough that rows are
// seldom moved within it.
constexpr size_t kWindowBytes = 256 * 1024;

// What web_decode and web_picture_check put in `out`.
enum PictureOut { kOutWidth, kOutHeight, kOutFirstGuessedRow, kOutResult, kOutFewestBytes, kOutCount };

// Results beyond the plug-in API's: the file is too short for the size its
// header claims.
constexpr int kResultTooShort = 100;

// Checks the header (24 bytes at `head`) against the file's `fileSize`.
int CheckPicture(const uint8_t* head, size_t headSize, double fileSize, uint32_t* out) {
  memset(out, 0, sizeof(uint32_t) * kOutCount);
  unsigned char raw[i24b::kHeaderSize];
  i24b::Header header;
  if (headSize < sizeof raw) return kResultUnknownFormat;
  memcpy(raw, head, sizeof raw);
  if (i24b::ParseHeader(raw, &header) != kResultOk) return kResultUnknownFormat;
  out[kOutWidth] = header.width;
  out[kOutHeight] = header.height;
  const uint64_t fewest = i24b::FewestCodedBytes(header.width, header.height);
  out[kOutFewestBytes] = static_cast<uint32_t>(fewest);  // at most 63913009
  return fileSize - i24b::kHeaderSize < static_cast<double>(fewest) ? kResultTooShort : kResultOk;
}

// A member as web_pack_list gives it to the worker.
struct MemberRecord {
  uint32_t offset;
  uint32_t size;
  uint32_t pastEnd;  // 1: its data runs past the end of the file
  char name[pack::kNameMaxLength + 1];
  char pad;
};
static_assert(sizeof(MemberRecord) == 28, "the worker reads 28-byte records");

struct MemberList {
  MemberRecord* records;
  uint32_t count;
  uint32_t capacity;
  uint64_t fileSize;
  bool whole;
};

void AddMember(void* context, uint32_t, uint32_t offset, uint32_t size, const char* name) {
  MemberList* list = static_cast<MemberList*>(context);
  if (!list->whole) return;
  if (list->count == list->capacity) {
    const uint32_t capacity = list->capacity ? list->capacity * 2 : 256;
    void* grown = realloc(list->records, sizeof(MemberRecord) * capacity);
    if (grown == nullptr) {
      list->whole = false;
      return;
    }
    list->records = static_cast<MemberRecord*>(grown);
    list->capacity = capacity;
  }
  MemberRecord* r = &list->records[list->count++];
  memset(r, 0, sizeof *r);
  r->offset = offset;
  r->size = size;
  r->pastEnd = uint64_t{offset} + size > list->fileSize;
  strncpy(r->name, name, pack::kNameMaxLength);
}

// Up to `space` bytes of the archive from where the last read ended: the
// count, or -1 when the File cannot be read.
EM_JS(int, ReadArchiveBytes, (uint8_t* dst, size_t space), { return Module.readArchive(dst, space); });

bool ReadFromWorker(void*, uint8_t* dst, size_t space, size_t* got) {
  const int n = ReadArchiveBytes(dst, space);
  if (n < 0) return false;
  *got = static_cast<size_t>(n);
  return true;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE uint8_t* web_alloc(size_t size) { return static_cast<uint8_t*>(malloc(size ? size : 1)); }
EMSCRIPTEN_KEEPALIVE void web_free(void* block) { free(block); }

// What the `size` bytes at `head` (a file's first bytes) start: 1 an I24B
// picture, 2 a PACK archive, 0 neither.
EMSCRIPTEN_KEEPALIVE int web_kind(const uint8_t* head, size_t size) {
  if (size >= pack::kMagicSize && memcmp(head, pack::kMagic, pack::kMagicSize) == 0) return 2;
  uint32_t word = 0;
  if (size >= i24b::kMagicAt + sizeof word) memcpy(&word, head + i24b::kMagicAt, sizeof word);
  return word == i24b::kMagic ? 1 : 0;
}

// Reads the header of a file of `fileSize` bytes: `out` gets width, height
// and the fewest coded bytes such a picture takes. 0; 2 when it is not
// I24B; kResultTooShort when no coding of that size fits the file.
EMSCRIPTEN_KEEPALIVE int web_picture_check(const uint8_t* head, size_t headSize, double fileSize, uint32_t* out) {
  return CheckPicture(head, headSize, fileSize, out);
}

// Decodes the I24B file at `data` into a new block of top-down RGBA rows
// (width x height x 4 bytes), which the caller frees; null when there is no
// picture. `out` gets width, height, the first guessed row (0 = top;
// kNoGuessedRow when none) and the result: 0, 2 (not I24B), 4 (no memory)
// or kResultTooShort, checked before anything is allocated.
EMSCRIPTEN_KEEPALIVE uint8_t* web_decode(const uint8_t* data, size_t size, uint32_t* out) {
  int result = CheckPicture(data, size, static_cast<double>(size), out);
  out[kOutResult] = static_cast<uint32_t>(result);
  out[kOutFirstGuessedRow] = i24b::kNoGuessedRow;
  if (result != kResultOk) return nullptr;
  const uint32_t width = out[kOutWidth];
  const uint32_t height = out[kOutHeight];
  const uint32_t stride = i24b::RowStride(width);
  const size_t pixels = size_t{width} * height;
  // The decoder's rows pass through a window that stays in the cache, each
  // turned into RGBA as soon as it is final: the picture is written once.
  uint32_t windowRows = static_cast<uint32_t>(kWindowBytes / (stride ? stride : 1));
  if (windowRows > height) windowRows = height;
  if (windowRows < i24b::FewestWindowRows(width)) windowRows = i24b::FewestWindowRows(width);
  uint8_t* window = static_cast<uint8_t*>(malloc(size_t{stride} * windowRows + kRowSlack));
  uint8_t* rgba = static_cast<uint8_t*>(malloc(pixels * 4 + 1));
  const i24b::FastTables* tables = Tables();
  if (window == nullptr || rgba == nullptr || tables == nullptr) {
    free(window);
    free(rgba);
    out[kOutResult] = kResultOutOfMemory;
    return nullptr;
  }
  int lastPercent = -1;
  RgbaRows target = {rgba, width};
  result = i24b::DecodeThroughWindow(
      *tables, i24b::MemoryInput(data + i24b::kHeaderSize, size - i24b::kHeaderSize), width, height, window,
      windowRows, TakeRgbaRow, &target, pixels >= kProgressPixels ? ProgressPerCent : nullptr,
      reinterpret_cast<SpiLong>(&lastPercent), &out[kOutFirstGuessedRow]);
  free(window);
  // Data in memory cannot fail to be read and the progress never cancels,
  // but rows not handed over would be garbage: no picture then.
  if (result != kResultOk) {
    free(rgba);
    out[kOutResult] = static_cast<uint32_t>(result);
    return nullptr;
  }
  return rgba;
}

// Lists the PACK archive of `fileSize` bytes in the worker's File, read
// through Module.readArchive as the reader asks for bytes: a new block of
// one MemberRecord a member (freed by the caller; null when there are none
// or no memory), `out` gets the count, the diagnosis's fault and member and
// whether the list is whole (0: no memory for all of it), `why` the cause
// in plain words (`whySize` bytes).
EMSCRIPTEN_KEEPALIVE MemberRecord* web_pack_list(double fileSize, uint32_t* out, char* why, size_t whySize) {
  MemberList list = {nullptr, 0, 0, static_cast<uint64_t>(fileSize), true};
  const pack::ArchiveDiagnosis d =
      pack::WalkArchiveMembers(ReadFromWorker, nullptr, nullptr, 0, list.fileSize, AddMember, &list);
  pack::DescribeArchiveFault(d, why, whySize);
  out[0] = list.count;
  out[1] = d.fault;
  out[2] = d.member;
  out[3] = list.whole;
  return list.records;
}

}  // extern "C"
