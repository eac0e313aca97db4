// The coded pixel stream as bits. The coded bytes (a block in memory, or a
// reader such as glimmet's source stream) are read in large chunks into an
// InputWindow; the decoder keeps the bit buffer, its
// bit count and the input pointer in locals of its hot loop and uses the
// inline routines below, so no symbol costs a stream call or a function call.
//
// Bit order: within each byte the most significant bit comes first, and the
// bit buffer keeps that order: the next bit of the stream is its top bit, so
// a big-endian load refills it and the tables of fast_tables.h are indexed by
// the next bits read as a number. When the stream ends (or fails), the window
// continues with zero bytes for ever: coded data that ends early decodes
// as if it were followed by zero bits.
#ifndef KALDORIN_IMAGE_I24B_BIT_READER_H
#define KALDORIN_IMAGE_I24B_BIT_READER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

#include "common/read_ahead.h"
#include "image_i24b/code_tables.h"

#if defined(__GNUC__)
#define I24B_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define I24B_ALWAYS_INLINE inline
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the bit buffer loads little-endian words");

namespace i24b {

// The coded bytes' reader: up to `space` bytes into `dst`, `*got` set (0:
// the end of the data); false on a read error.
typedef ReadSomeBytes ReadCodedBytes;

// Where the coded bytes come from: `read` with `source`, or when `read` is
// null the `size` bytes at `data`.
struct CodedInput {
  ReadCodedBytes read;
  void* source;
  const uint8_t* data;
  size_t size;
};
inline CodedInput MemoryInput(const uint8_t* data, size_t size) { return CodedInput{nullptr, nullptr, data, size}; }

// Bytes asked of the source per read; the window keeps a few more so that
// the unread tail of one chunk can move in front of the next.
constexpr size_t kWindowChunk = 16384;
constexpr size_t kWindowBytes = kWindowChunk + 64;

// The window is a read-ahead over the input (base, delivered, failed are
// its fields) into `bytes`, and the bound of the decoder's loads.
struct InputWindow : ReadAhead {
  uint8_t* limit;  // an 8-byte load at any position <= limit stays below bytes + filled
  uint8_t bytes[kWindowBytes];
};

// Starts a window over `input` and returns the first input position. Reads
// at once (a failure shows in `failed`).
const uint8_t* OpenInputWindow(InputWindow* window, const CodedInput& input);

// Moves the unread bytes from `in` on to the front of the window, fills the
// rest from the stream (or with zeros once it has ended) and returns the new
// input position. Called only when `in` has passed `limit`.
const uint8_t* RefillInputWindow(InputWindow* window, const uint8_t* in);

// Bits of the coded data the decoder has consumed so far.
inline uint64_t ConsumedBits(const InputWindow& window, const uint8_t* in, unsigned count) {
  return (window.base + static_cast<uint64_t>(in - window.bytes)) * 8 - count;
}

// The bit buffer is as wide as the target's fast integers: 64 bits where
// 64-bit integers are native (64-bit processors, and wasm32, whose pointers
// are 32 bits but whose integers are 64), 32 bits on 32-bit processors (i686,
// arm32), where a 64-bit buffer would take register pairs and double shifts.
// The decoder is written once for either.
#if UINTPTR_MAX > 0xFFFFFFFFu || defined(__x86_64__) || defined(__aarch64__) || defined(__wasm__)
using NativeBitWord = uint64_t;
#else
using NativeBitWord = uint32_t;
#endif
static_assert(sizeof(NativeBitWord) >= sizeof(void*), "64-bit targets keep a 64-bit buffer");

template <typename Word>
constexpr unsigned kWordBits = 8 * sizeof(Word);

// Bits the buffer holds after a refill (at least), and so the most that a
// run of lookups may read without one in between.
template <typename Word>
constexpr unsigned kRefilledBits = kWordBits<Word> - 8;

I24B_ALWAYS_INLINE uint32_t LoadBigEndian(const uint8_t* in, uint32_t) {
  uint32_t word;
  memcpy(&word, in, sizeof word);
  return __builtin_bswap32(word);
}
I24B_ALWAYS_INLINE uint64_t LoadBigEndian(const uint8_t* in, uint64_t) {
#if defined(__wasm_simd128__)
  // WebAssembly has no byte swap: the compiler would build one of some twenty
  // shifts, masks and ORs on every refill. One byte shuffle of a vector
  // register does it.
  const v128_t loaded = wasm_v128_load64_zero(in);
  return static_cast<uint64_t>(wasm_i64x2_extract_lane(
      wasm_i8x16_shuffle(loaded, loaded, 7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15), 0));
#else
  uint64_t word;
  memcpy(&word, in, sizeof word);
  return __builtin_bswap64(word);
#endif
}

// Tops the bit buffer up to at least kRefilledBits bits. The buffer holds the next bit
// of the stream in its top bit; bits below `count` may hold part of the
// next byte, and refilling ORs in the same bits again, so they never
// disturb the value.
template <typename Word>
I24B_ALWAYS_INLINE void RefillBits(InputWindow* window, const uint8_t*& in, const uint8_t*& limit, Word& bits,
                                   unsigned& count) {
  if (__builtin_expect(in > limit, 0)) {
    in = RefillInputWindow(window, in);
    limit = window->limit;
  }
  bits |= LoadBigEndian(in, Word{}) >> count;
  in += (kWordBits<Word> - 1 - count) >> 3;
  count |= kRefilledBits<Word>;
}

// The next `width` bits (1..24) as a number whose top bit is the first one.
template <typename Word>
I24B_ALWAYS_INLINE uint32_t PeekTop(Word bits, unsigned width) {
  return static_cast<uint32_t>(bits >> (kWordBits<Word> - width));
}

// Drops `n` bits (less than the word's) from the buffer.
template <typename Word>
I24B_ALWAYS_INLINE void SkipBits(unsigned n, Word& bits, unsigned& count) {
  bits <<= n;
  count -= n;
}

// Takes one symbol of a code whose table `entries` is indexed by the next
// `width` bits, first bit on top (its longest code). The buffer must hold
// at least `width` bits.
template <typename Word>
I24B_ALWAYS_INLINE unsigned DecodeSymbol(const CodeEntry* entries, unsigned width, Word& bits, unsigned& count) {
  CodeEntry e = entries[PeekTop(bits, width)];
  SkipBits(e.length, bits, count);
  return e.symbol;
}

}  // namespace i24b

#endif
