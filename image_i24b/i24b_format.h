// The I24B picture format in one place: the header, the pixel block, the
// symbols of the five codes, the palette and escape deltas and the
// reference offsets. The decoder, the encoder, the reference decoder and the
// tests all take these facts from here.
//
// A file is a 24-byte header and a coded stream. The stream holds, row by
// row from the top, tokens: a MainTable symbol (a pixel, a short run, or the
// long-run symbol followed by a LongRunTable symbol), then an OffsetTable
// symbol choosing a reference offset from a move-to-front list; a pixel's
// components whose palette digit is 0 follow as EscapeTable symbols (the
// far-escape symbol followed by a FarEscapeTable symbol). Bits are read most
// significant bit of each byte first.
#ifndef KALDORIN_IMAGE_I24B_I24B_FORMAT_H
#define KALDORIN_IMAGE_I24B_I24B_FORMAT_H

#include <stddef.h>
#include <stdint.h>

namespace i24b {

// The header: little-endian fields at these byte positions.
constexpr size_t kHeaderSize = 24;
constexpr size_t kMagicAt = 0;       // "I24B"
constexpr size_t kVersionAt = 4;
constexpr size_t kReserved8At = 8;   // must be 0
constexpr size_t kWidthAt = 12;      // 16 bits
constexpr size_t kHeightAt = 14;     // 16 bits
constexpr size_t kDepthAt = 16;      // bits per pixel
constexpr size_t kReserved20At = 20; // must be 0
constexpr uint32_t kMagic = 0x42343249;  // "I24B" read as a little-endian word
constexpr uint32_t kVersion = 0x00010000;
constexpr uint32_t kBitsPerPixel = 24;
constexpr uint32_t kMaxSide = 65535;  // width and height are 16-bit fields

// The pixel block the stream describes: bottom-up rows of blue, green, red
// bytes, each row padded with zeros to a multiple of four bytes.
constexpr uint32_t RowStride(uint32_t width) { return (3 * width + 3) & ~3u; }

// Symbols per code, and the longest code each one's frequencies give.
constexpr int kMainSymbols = 240;
constexpr int kLongRunSymbols = 102;
constexpr int kOffsetSymbols = 11;
constexpr int kEscapeSymbols = 44;
constexpr int kFarEscapeSymbols = 208;
constexpr unsigned kMainCodeBits = 13;
constexpr unsigned kLongRunCodeBits = 11;
constexpr unsigned kOffsetCodeBits = 5;
constexpr unsigned kEscapeCodeBits = 8;
constexpr unsigned kFarEscapeCodeBits = 13;

// MainTable symbols: 0..215 are single pixels, 216..238 runs of s - 214
// pixels; 239 is a run of 25..126 pixels whose length a LongRunTable symbol
// j gives (239 + j - 214).
constexpr int kLastPixelSymbol = 215;
constexpr int kRunSymbolBase = 214;
constexpr int kLongRunSymbol = 239;
constexpr int kMinRun = 2;
constexpr int kMaxRun = kLongRunSymbol + kLongRunSymbols - 1 - kRunSymbolBase;  // 126
constexpr int kFirstLongRun = kLongRunSymbol - kRunSymbolBase;                  // 25
static_assert(kMaxRun == 126 && kFirstLongRun == 25, "long runs cover 25..126 pixels");
constexpr int RunSymbol(int pixels) { return pixels + kRunSymbolBase; }  // 2..126, the long ones extended
constexpr int RunPixels(int symbol) { return symbol - kRunSymbolBase; }

// A pixel symbol s = 36a + 6b + c holds one palette digit per component
// (a red, b green, c blue, each 0..5): digit d gives the delta d - 3, and
// digit 0 means an explicit delta follows in the stream instead. A pixel is
// its reference's bytes minus the deltas, modulo 256.
constexpr int kExplicitDigit = 0;
constexpr int kExplicitDelta = kExplicitDigit - 3;  // what digit 0 reads as
constexpr int PixelSymbolOf(int red, int green, int blue) { return 36 * red + 6 * green + blue; }
constexpr int RedDigit(int symbol) { return symbol / 36; }
constexpr int GreenDigit(int symbol) { return symbol / 6 % 6; }
constexpr int BlueDigit(int symbol) { return symbol % 6; }
constexpr int DigitDelta(int digit) { return digit - 3; }
// The palette digit of a delta byte, or kExplicitDigit when -2..2 does not hold it.
constexpr int DigitOf(uint8_t delta) {
  return static_cast<int8_t>(delta) >= -2 && static_cast<int8_t>(delta) <= 2 ? static_cast<int8_t>(delta) + 3
                                                                            : kExplicitDigit;
}
static_assert(PixelSymbolOf(5, 5, 5) == kLastPixelSymbol, "the last pixel symbol has every digit 5");

// Explicit deltas: an escape index 0..250 (EscapeTable symbols 0..42, or the
// far-escape symbol 43 followed by FarEscapeTable symbol i - 43) stands for
// +3, -3, +4, -4, ... +128: the deltas -2..2 leave out.
constexpr int kFarEscapeSymbol = 43;
constexpr int kLastEscapeIndex = kFarEscapeSymbol + kFarEscapeSymbols - 1;  // 250
static_assert(kLastEscapeIndex == 250, "251 explicit deltas and the five palette deltas make 256");
constexpr int EscapeDelta(int index) { return index % 2 == 0 ? index / 2 + 3 : -(index / 2 + 3); }
// The escape index of a delta byte outside -2..2.
constexpr int EscapeIndex(uint8_t delta) { return delta <= 128 ? 2 * (delta - 3) : 2 * (256 - delta - 3) + 1; }
static_assert(EscapeDelta(EscapeIndex(128)) == 128 && EscapeIndex(static_cast<uint8_t>(-127)) == 249,
              "escape indices and deltas are inverse");

// The reference offsets (dx pixels, dy rows towards the top, rows coded
// earlier) in the order the move-to-front list holds them at the start of
// every picture. An OffsetTable symbol k takes entry k and moves it to the
// front.
struct ReferenceOffset {
  int8_t dx;
  int8_t dy;
};
constexpr ReferenceOffset kReferenceOffsets[kOffsetSymbols] = {{-1, 0}, {0, 1},  {1, 1},  {-1, 1}, {2, 1}, {-2, 1},
                                                               {-2, 0}, {0, 2},  {1, 2},  {-1, 2}, {-3, 0}};
// Byte distance from an output position to the reference.
constexpr int64_t ReferenceDistance(const ReferenceOffset& o, int64_t stride) { return o.dy * stride + 3 * o.dx; }

}  // namespace i24b

#endif
