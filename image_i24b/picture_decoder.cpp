#include "image_i24b/picture_decoder.h"

#include <string.h>

#include "common/movable_block.h"
#include "image_i24b/bit_reader.h"
#include "image_i24b/glimmet_tables.h"
#include "image_i24b/i24b_header.h"

namespace {

// The reference offsets (dx pixels, dy rows towards the top) in the order
// the move-to-front list holds them at the start of every picture.
const int8_t kNeighbours[11][2] = {{-1, 0}, {0, 1},  {1, 1},  {-1, 1}, {2, 1}, {-2, 1},
                                   {-2, 0}, {0, 2},  {1, 2},  {-1, 2}, {-3, 0}};
// The list as eleven 4-bit indices into kNeighbours, front in the low bits.
constexpr uint64_t kInitialOrder = 0xA9876543210ull;

constexpr unsigned kLongRunSymbol = 239;   // MainTable symbol that a LongRunTable symbol extends
constexpr unsigned kLastPixelSymbol = 215;  // symbols above are runs of s - 214 pixels
constexpr unsigned kFarEscapeSymbol = 43;   // EscapeTable symbol that a FarEscapeTable symbol extends
constexpr int kExplicitDelta = -3;          // palette entry: an explicit delta follows

// Widest reads: a token's main, long-run and offset codes together take at
// most 29 bits, an explicit delta at most 21.
constexpr unsigned kTokenBits = 13 + 11 + 5;
constexpr unsigned kDeltaBits = 8 + 13;

// A reference byte at block position `pos`: 0 outside the block.
I24B_ALWAYS_INLINE uint8_t ReferenceByte(const PixelBlock& block, intptr_t pos) {
  return static_cast<uintptr_t>(pos) < block.size ? block.base[pos] : 0;
}

// Copies a run of `n` bytes from block position `ref` to `dst`, first byte
// first, so that a source overlapping the destination repeats itself.
I24B_ALWAYS_INLINE void CopyRun(const PixelBlock& block, size_t dst, intptr_t ref, size_t n) {
  if (ref >= 0 && static_cast<size_t>(ref) + n <= block.size && dst + n <= block.size) {
    uint8_t* d = block.base + dst;
    const uint8_t* s = block.base + ref;
    const intptr_t distance = ref - static_cast<intptr_t>(dst);
    size_t i = 0;
    if (distance < 0 && distance > -8) {
      // The run repeats the -distance bytes before it, so it also repeats
      // with any multiple of that period; from a period of 8 on, word
      // copies from that far back read only final bytes.
      const size_t period = static_cast<size_t>(-distance) * (8 / static_cast<size_t>(-distance) + 1);
      if (n >= period + 8) {
        for (; i < period; ++i) d[i] = s[i];
        for (; i + 8 <= n; i += 8) memcpy(d + i, d + i - period, 8);
        memcpy(d + n - 8, d + n - 8 - period, 8);  // the tail, over bytes already equal
        return;
      }
    } else {
      // A source ahead of the destination, or 8 or more bytes behind it:
      // every 8-byte source word is untouched by this run or already final.
      for (; i + 8 <= n; i += 8) memcpy(d + i, s + i, 8);
    }
    for (; i < n; ++i) d[i] = s[i];
    return;
  }
  // Near the block's edges: bytes outside read as 0, writes outside are dropped.
  for (size_t i = 0; i < n; ++i) {
    uint8_t v = ReferenceByte(block, ref + static_cast<intptr_t>(i));
    if (dst + i < block.size) block.base[dst + i] = v;
  }
}

}  // namespace

ResultCode DecodePicture(const CodeTableSet& tables, SourceStream* stream, const PixelBlock& pixelBlock,
                         ProgressCallback callback, SpiLong lData) {
  // A local copy: byte stores into the block cannot alias it, so its fields
  // stay in registers.
  const PixelBlock block = pixelBlock;
  const CodeEntry* const mainCodes = tables.mainTable->entries;
  const CodeEntry* const longRunCodes = tables.longRunTable->entries;
  const CodeEntry* const offsetCodes = tables.offsetTable->entries;
  const CodeEntry* const escapeCodes = tables.escapeTable->entries;
  const CodeEntry* const farEscapeCodes = tables.farEscapeTable->entries;

  // Byte distance from the output position to each neighbour.
  intptr_t neighbourOffset[11];
  for (int i = 0; i < 11; ++i) {
    neighbourOffset[i] = static_cast<intptr_t>(kNeighbours[i][1]) * block.stride + kNeighbours[i][0] * 3;
  }

  InputWindow window;
  const uint8_t* in = OpenInputWindow(&window, stream);
  const uint8_t* limit = window.limit;
  uint64_t bits = 0;
  unsigned count = 0;
  uint64_t order = kInitialOrder;

  const size_t rowBytes = size_t{3} * block.width;
  const size_t padBytes = block.stride - rowBytes;
  ResultCode result = kResultOk;
  for (uint32_t r = 0; r < block.height; ++r) {
    if (callback != nullptr && callback(static_cast<int>(r), static_cast<int>(block.height), lData) != 0) {
      result = kResultCancelled;
      break;
    }
    size_t dst = size_t{block.height - 1 - r} * block.stride;
    const size_t rowEnd = dst + rowBytes;
    while (dst < rowEnd) {
      RefillBits(&window, in, limit, bits, count);
      unsigned s = DecodeSymbol(mainCodes, 13, bits, count);
      if (s == kLongRunSymbol) s += DecodeSymbol(longRunCodes, 11, bits, count);
      unsigned k = DecodeSymbol(offsetCodes, 5, bits, count);
      // Move entry k to the front of the list.
      unsigned shift = 4 * k;
      unsigned taken = static_cast<unsigned>(order >> shift) & 15;
      uint64_t before = order & ((uint64_t{1} << shift) - 1);
      order = (order & ~((uint64_t{16} << shift) - 1)) | (before << 4) | taken;
      const intptr_t ref = static_cast<intptr_t>(dst) + neighbourOffset[taken];

      if (s <= kLastPixelSymbol) {
        int delta[3] = {tables.deltaRed[s], tables.deltaGreen[s], tables.deltaBlue[s]};
        for (int c = 0; c < 3; ++c) {
          if (delta[c] != kExplicitDelta) continue;
          if (count < kDeltaBits) RefillBits(&window, in, limit, bits, count);
          unsigned index = DecodeSymbol(escapeCodes, 8, bits, count);
          if (index == kFarEscapeSymbol) index += DecodeSymbol(farEscapeCodes, 13, bits, count);
          delta[c] = tables.escapeDeltas[index];
        }
        // Red, green, blue: each reference byte is read just before its own
        // output byte is written, so an overlapping reference sees the new
        // bytes. The pixel itself always lies inside its row.
        uint8_t* out = block.base + dst;
        if (static_cast<uintptr_t>(ref) <= block.size - 3) {
          const uint8_t* src = block.base + ref;
          out[2] = static_cast<uint8_t>(src[2] - delta[0]);
          out[1] = static_cast<uint8_t>(src[1] - delta[1]);
          out[0] = static_cast<uint8_t>(src[0] - delta[2]);
        } else {
          out[2] = static_cast<uint8_t>(ReferenceByte(block, ref + 2) - delta[0]);
          out[1] = static_cast<uint8_t>(ReferenceByte(block, ref + 1) - delta[1]);
          out[0] = static_cast<uint8_t>(ReferenceByte(block, ref) - delta[2]);
        }
        dst += 3;
      } else {
        size_t n = size_t{3} * (s - 214);
        CopyRun(block, dst, ref, n);
        dst += n;
      }
    }
    // The pad bytes, from wherever the row's last token ended.
    for (size_t i = 0; i < padBytes; ++i) {
      if (dst + i < block.size) block.base[dst + i] = 0;
    }
    if (LostBitsConsumed(window, in, count)) {
      result = kResultReadError;
      break;
    }
  }
  if (callback != nullptr && callback(static_cast<int>(block.height), static_cast<int>(block.height), lData) != 0) {
    result = kResultCancelled;
  }
  return result;
}

SPI_EXPORT int SPI_CALL GetPicture(LPCSTR buf, SpiLong len, unsigned int flag, HLOCAL* pHBInfo, HLOCAL* pHBm,
                                   ProgressCallback lpPrgressCallback, SpiLong lData) {
  if (pHBInfo == nullptr || pHBm == nullptr) return kResultInternalError;
  *pHBInfo = nullptr;
  *pHBm = nullptr;
  const CodeTableSet* tables = LoadedCodeTables();
  if (tables == nullptr) return kResultOutOfMemory;

  SourceStream stream;
  ResultCode result = OpenSource(buf, len, flag, &stream);
  if (result != kResultOk) return result;

  I24BHeader header = {};
  result = CheckI24BHeader(&stream, &header);
  HLOCAL info = nullptr;
  HLOCAL pixels = nullptr;
  void* infoPtr = nullptr;
  void* pixelPtr = nullptr;
  PixelBlock block = {nullptr, 0, RowStride(header.width), header.width, header.height};
  if (result == kResultOk) {
    // Every position in the block, plus the longest overshoot of a run and
    // the pad bytes after it, must fit in a signed address-sized integer.
    uint64_t imageSize = uint64_t{block.height} * block.stride;
    if (imageSize > 0xFFFFFFFFu || imageSize > static_cast<uint64_t>(INTPTR_MAX) - 1024) {
      result = kResultOutOfMemory;
    } else {
      block.size = static_cast<size_t>(imageSize);
    }
  }
  if (result == kResultOk) result = AllocBlock(sizeof(DibHeader), &info, &infoPtr);
  if (result == kResultOk) {
    DibHeader dib = {};
    dib.biSize = sizeof(DibHeader);
    dib.biWidth = static_cast<int32_t>(block.width);
    dib.biHeight = static_cast<int32_t>(block.height);
    dib.biPlanes = 1;
    dib.biBitCount = header.bitsPerPixel;
    dib.biCompression = 0;  // BI_RGB
    dib.biSizeImage = static_cast<uint32_t>(block.size);
    memcpy(infoPtr, &dib, sizeof dib);
    result = AllocBlock(block.size, &pixels, &pixelPtr);
  }
  if (result == kResultOk) {
    block.base = static_cast<uint8_t*>(pixelPtr);
    result = DecodePicture(*tables, &stream, block, lpPrgressCallback, lData);
  }
  CloseSource(&stream, &result);
  if (result == kResultOk) {
    ReleaseBlock(info, nullptr);
    ReleaseBlock(pixels, nullptr);
    *pHBInfo = info;
    *pHBm = pixels;
  } else {
    ReleaseBlock(info, infoPtr);
    ReleaseBlock(pixels, pixelPtr);
  }
  return result;
}
