// IsValidNameFieldFast: pack::IsValidNameField (pack_format.h) checked
// several bytes at a time. Every directory lookup checks the name of every
// entry before the one it wants, so this is the reader's inner loop. The
// tests hold both builds of it (SSE2, and the portable one that the 32-bit
// DLL uses on machines without SSE2) to the plain rule on every byte value.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_NAME_CHECK_H
#define KALDORIN_ARCHIVE_PACK_PACK_NAME_CHECK_H

#include <stdint.h>
#include <string.h>
#if defined(__SSE2__) && !defined(KALDORIN_PORTABLE_NAME_CHECK)
#include <emmintrin.h>
#endif

#include "archive_pack/pack_format.h"

namespace pack {

static_assert(kNameFieldSize == 16, "a name field is one 16-byte vector, or two 8-byte words");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "name fields are tested as little-endian words");

#if defined(__SSE2__) && !defined(KALDORIN_PORTABLE_NAME_CHECK)
// The whole field in one vector: a bit per byte for "letter or digit",
// "full stop" and "zero". Bytes of 0x80 and more compare as negative and so
// fall outside every range.
inline bool IsValidNameFieldFast(const unsigned char* field) {
  const int length = field[0];
  if (length < 1 || length > kNameMaxLength) return false;
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field));
  const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));  // upper case to lower, digits unchanged
  const __m128i letters =
      _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
  const __m128i digits =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
  const __m128i dots = _mm_cmpeq_epi8(v, _mm_set1_epi8('.'));
  const unsigned allowed = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letters, digits), dots)));
  const unsigned dotBits = static_cast<unsigned>(_mm_movemask_epi8(dots));
  const unsigned zeroBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
  // The characters are bytes 1 .. length, the padding length+1 .. 15.
  const unsigned upToText = (2u << length) - 1;
  const unsigned text = upToText & ~1u;
  const unsigned padding = 0xFFFFu & ~upToText;
  const unsigned textDots = dotBits & text;
  return (allowed & text) == text && textDots != 0 && (textDots & (textDots - 1)) == 0 &&
         (zeroBits & padding) == padding;
}
#else
// Eight bytes at a time. Each helper sets 0x80 in the bytes of a word that
// qualify; the arithmetic never carries or borrows from one byte into the
// next.
namespace name_words {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Bytes strictly between m and n (0 <= m <= 127, n <= 128).
constexpr uint64_t BytesBetween(uint64_t x, unsigned m, unsigned n) {
  return (kOnes * (127 + n) - (x & kOnes * 127)) & ~x & ((x & kOnes * 127) + kOnes * (127 - m)) & kHighBits;
}
constexpr uint64_t BytesEqual(uint64_t x, unsigned char c) {
  const uint64_t y = x ^ (kOnes * c);
  return ~(((y & kOnes * 127) + kOnes * 127) | y | kOnes * 127);
}
constexpr uint64_t LettersAndDigits(uint64_t x) {
  return BytesBetween(x, '0' - 1, '9' + 1) | BytesBetween(x, 'A' - 1, 'Z' + 1) | BytesBetween(x, 'a' - 1, 'z' + 1);
}
// High bits of bytes [from, to) of a word (none when to <= from).
constexpr uint64_t ByteRange(int from, int to) {
  if (to <= from) return 0;
  const uint64_t upTo = to >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * to)) - 1;
  const uint64_t below = from >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * from)) - 1;
  return upTo & ~below & kHighBits;
}
inline int PopCount(uint64_t x) {
  int n = 0;
  for (; x != 0; x &= x - 1) ++n;
  return n;
}

}  // namespace name_words

inline bool IsValidNameFieldFast(const unsigned char* field) {
  using namespace name_words;
  const int length = field[0];
  if (length < 1 || length > kNameMaxLength) return false;
  uint64_t low;
  uint64_t high;
  memcpy(&low, field, 8);
  memcpy(&high, field + 8, 8);
  // The characters are bytes 1 .. length, the padding length+1 .. 15.
  const uint64_t lowText = ByteRange(1, length + 1);
  const uint64_t highText = ByteRange(0, length + 1 - 8);
  const uint64_t lowDots = BytesEqual(low, '.') & lowText;
  const uint64_t highDots = BytesEqual(high, '.') & highText;
  const uint64_t lowPadding = ~((lowText >> 7) * 0xFF) & ~uint64_t{0xFF};  // byte 0 is the length
  const uint64_t highPadding = ~((highText >> 7) * 0xFF);
  return ((LettersAndDigits(low) | lowDots) & lowText) == lowText &&
         ((LettersAndDigits(high) | highDots) & highText) == highText && PopCount(lowDots) + PopCount(highDots) == 1 &&
         (low & lowPadding) == 0 && (high & highPadding) == 0;
}
#endif

}  // namespace pack

#endif
