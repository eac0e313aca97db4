#include "tests/i24b_model.h"

#include <string.h>

#include "image_i24b/i24b_code_book.h"
#include "image_i24b/i24b_format.h"

namespace i24b {
namespace model {
namespace {

constexpr int kMaxCodeLength = 16;

// Symbol for each (length, code) pair of one code, or -1.
struct CodeLookup {
  std::vector<int> byLength[kMaxCodeLength + 1];
  int longest = 0;
};

struct ReferenceCodes {
  CodeLookup main, longRun, offset, escape, farEscape;
};

ReferenceCodes* gCodes = nullptr;

void Fill(const CodeWord* words, int symbols, CodeLookup* lookup) {
  for (int len = 1; len <= kMaxCodeLength; ++len) lookup->byLength[len].assign(size_t{1} << len, -1);
  for (int s = 0; s < symbols; ++s) {
    const CodeWord& w = words[s];
    if (w.length == 0 || w.length > kMaxCodeLength) continue;
    lookup->byLength[w.length][w.bits] = s;
    if (w.length > lookup->longest) lookup->longest = w.length;
  }
}

// The coded bits, first bit of the stream = bit 7 of the first byte; zero
// bits after the end.
struct Bits {
  const uint8_t* data;
  size_t size;
  uint64_t pos;
  unsigned Next() {
    const uint64_t byte = pos / 8;
    const unsigned bit = byte < size ? (data[byte] >> (7 - pos % 8)) & 1 : 0;
    ++pos;
    return bit;
  }
};

int Decode(Bits* bits, const CodeLookup& lookup) {
  unsigned code = 0;
  for (int len = 1; len <= lookup.longest; ++len) {
    code = (code << 1) | bits->Next();
    const int s = lookup.byLength[len][code];
    if (s >= 0) return s;
  }
  return -1;
}

}  // namespace

bool PrepareReferenceDecoder(std::string* error) {
  I24BCodeBook book;
  if (!BuildI24BCodeBook(&book, error)) return false;
  if (gCodes == nullptr) gCodes = new ReferenceCodes;
  Fill(book.main, kMainSymbols, &gCodes->main);
  Fill(book.longRun, kLongRunSymbols, &gCodes->longRun);
  Fill(book.offset, kOffsetSymbols, &gCodes->offset);
  Fill(book.escape, kEscapeSymbols, &gCodes->escape);
  Fill(book.farEscape, kFarEscapeSymbols, &gCodes->farEscape);
  return true;
}

bool ReferenceDecode(const uint8_t* coded, size_t codedSize, uint32_t width, uint32_t height,
                     std::vector<uint8_t>* out) {
  const int64_t stride = RowStride(width);
  const int64_t end = stride * height;
  out->assign(static_cast<size_t>(end), 0);
  std::vector<uint8_t>& block = *out;
  auto read = [&](int64_t at) -> uint8_t { return at >= 0 && at < end ? block[static_cast<size_t>(at)] : 0; };
  auto write = [&](int64_t at, uint8_t v) {
    if (at >= 0 && at < end) block[static_cast<size_t>(at)] = v;
  };
  ReferenceOffset list[kOffsetSymbols];
  for (int i = 0; i < kOffsetSymbols; ++i) list[i] = kReferenceOffsets[i];
  Bits bits = {coded, codedSize, 0};
  const ReferenceCodes& c = *gCodes;
  for (uint32_t r = 0; r < height; ++r) {
    int64_t dst = int64_t{height - 1 - r} * stride;
    for (uint32_t count = 0; count < width;) {
      int s = Decode(&bits, c.main);
      if (s == kLongRunSymbol) {
        const int more = Decode(&bits, c.longRun);
        if (more < 0) return false;
        s += more;
      }
      const int k = Decode(&bits, c.offset);
      if (s < 0 || k < 0) return false;
      const ReferenceOffset taken = list[k];
      for (int i = k; i > 0; --i) list[i] = list[i - 1];
      list[0] = taken;
      const int64_t ref = dst + taken.dy * stride + taken.dx * 3;
      if (s <= kLastPixelSymbol) {
        const int digits[3] = {RedDigit(s), GreenDigit(s), BlueDigit(s)};
        for (int comp = 0; comp < 3; ++comp) {
          int delta = DigitDelta(digits[comp]);
          if (digits[comp] == kExplicitDigit) {
            int e = Decode(&bits, c.escape);
            if (e == kFarEscapeSymbol) {
              const int far = Decode(&bits, c.farEscape);
              if (far < 0) return false;
              e += far;
            }
            if (e < 0) return false;
            delta = EscapeDelta(e);
          }
          const int byte = 2 - comp;  // red is byte 2, blue byte 0
          const uint8_t refByte = ref >= end ? 0 : read(ref + byte);
          write(dst + byte, static_cast<uint8_t>(refByte - delta));
        }
        dst += 3;
        count += 1;
      } else {
        const int n = RunPixels(s);
        count += static_cast<uint32_t>(n);
        for (int i = 0; i < 3 * n; ++i) write(dst + i, ref >= end ? 0 : read(ref + i));
        dst += 3 * n;
      }
    }
    for (int64_t i = 0; i < stride - int64_t{width} * 3; ++i) write(dst + i, 0);
  }
  return true;
}

int ModelHeaderCheck(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 6;
  static const uint8_t kFixed[] = {'I', '2', '4', 'B', 0, 0, 1, 0, 0, 0, 0, 0};
  static const uint8_t kDepth[] = {24, 0, 0, 0, 0, 0, 0, 0};
  const bool ok = memcmp(data, kFixed, sizeof kFixed) == 0 && memcmp(data + 16, kDepth, sizeof kDepth) == 0;
  return ok ? 0 : 2;
}

}  // namespace model
}  // namespace i24b
