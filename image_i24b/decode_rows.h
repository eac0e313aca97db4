// The row decoder itself, as a template over the bit buffer's word: the
// hot loop that turns tokens into pixels. picture_decoder.cpp builds it for
// the decoder's entry points; on 32-bit x86 builds picture_decoder_sse2.cpp
// builds it a second time with SSE2, for processors that have it. Its
// routines have internal linkage, so that the two builds never share an
// out-of-line copy compiled for the other's processor.
//
// Where the compiler targets SSE2 (every x86-64 build, and the SSE2 build on
// 32-bit x86), the move-to-front list and the bytes each pixel adds are kept
// in vector registers. The hot loop is bound by its integer instructions;
// these take none.
#ifndef KALDORIN_IMAGE_I24B_DECODE_ROWS_H
#define KALDORIN_IMAGE_I24B_DECODE_ROWS_H

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image_i24b/bit_reader.h"
#include "image_i24b/fast_tables.h"
#include "image_i24b/picture_decoder.h"

namespace i24b {
namespace {


// The move-to-front list at the start of every picture: kReferenceOffsets'
// indices in order, as 4-bit entries, front in the low bits.
constexpr uint64_t kInitialOrder = 0xA9876543210ull;
static_assert(kOffsetSymbols == 11, "kInitialOrder lists eleven offsets");

// Bit budgets of the hot loop, for either word. A token starts with at
// least TokenStartBits<Word>() bits held.
// - 64 bits: a token's codes (main and offset code, and maybe the first
//   explicit delta, which then fits the token table's index) and the pair
//   lookup of its pixel's deltas read bits already held. The refill comes
//   after those lookups, so none of them waits for it, and before the deltas
//   are taken off.
// - 32 bits: the buffer is refilled once a token's codes are taken, for the
//   pair lookup and the next token's lookup, and before an offset code that
//   the token entry does not hold.
// Only a long run takes the slow path, so no slow token has explicit deltas.
template <typename Word>
constexpr bool kWideBuffer = kWordBits<Word> == 64;
template <typename Word>
constexpr unsigned TokenStartBits() {
  return kWideBuffer<Word> ? kMainCodeBits + kOffsetCodeBits + kPairTableBits : kTokenTableBits;
}
static_assert(kTokenTableBits <= kMainCodeBits + kOffsetCodeBits, "a token holding a delta is no longer than others");
// - 64 bits: the deltas the pair entry holds, taken after the refill, leave
//   enough for the next token; a long run's three codes are all held.
static_assert(kRefilledBits<uint64_t> - kPairTableBits >= TokenStartBits<uint64_t>(),
              "a pixel token needs no refill before the next token");
static_assert(kMainCodeBits + kLongRunCodeBits + kOffsetCodeBits <= TokenStartBits<uint64_t>(),
              "a long run's codes are held when its token starts");
// - 32 bits: the deltas the pair entry holds, taken after the refill, leave
//   enough for the next token's lookup; a long run's main code is held, and
//   its other two follow a refill.
static_assert(kRefilledBits<uint32_t> - kPairTableBits >= TokenStartBits<uint32_t>(),
              "a pixel token needs one refill");
static_assert(kMainCodeBits <= TokenStartBits<uint32_t>(), "a long run's main code is held");
static_assert(kLongRunCodeBits + kOffsetCodeBits <= kRefilledBits<uint32_t>, "a long run's last two codes fit a refill");
// - one explicit delta on the slow path: an escape code and a far code.
constexpr unsigned kDeltaBits = kEscapeCodeBits + kFarEscapeCodeBits;
static_assert(kDeltaBits == 21, "an explicit delta takes at most 21 bits");
static_assert(kDeltaBits <= kRefilledBits<uint32_t>, "an explicit delta fits one refill");

// The move-to-front list as eleven 4-bit indices into kReferenceOffsets,
// front in the low bits. Take(fast, k) moves entry k to the front and
// returns it.
template <typename Word>
struct MoveToFrontList;

#if defined(__SSE2__)
// With SSE2, for either word: the list in the low 64 bits of a vector
// register.
template <typename Word>
struct MoveToFrontList {
  __m128i order = _mm_set_epi32(0, 0, static_cast<int>(kInitialOrder >> 32), static_cast<int>(kInitialOrder));
  I24B_ALWAYS_INLINE unsigned Take(const FastTables& fast, unsigned k) {
    const __m128i shifted = _mm_srl_epi64(order, _mm_cvtsi32_si128(static_cast<int>(4 * k)));
    const unsigned taken = static_cast<unsigned>(_mm_cvtsi128_si32(shifted)) & 15;
    const MoveToFrontMasks& move = fast.moveToFront[k];
    const __m128i keep = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&move.keep));
    const __m128i moved = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&move.moved));
    order = _mm_or_si128(_mm_or_si128(_mm_and_si128(order, keep), _mm_and_si128(_mm_slli_epi64(order, 4), moved)),
                         _mm_and_si128(shifted, _mm_cvtsi32_si128(15)));
    return taken;
  }
};
#else
// Without SSE2: one 64-bit word, or on 32-bit processors the first eight
// entries in one word and the last three in another (entries past the
// eighth are rarely taken).
template <>
struct MoveToFrontList<uint64_t> {
  uint64_t order = kInitialOrder;
  I24B_ALWAYS_INLINE unsigned Take(const FastTables& fast, unsigned k) {
    const unsigned taken = static_cast<unsigned>(order >> (4 * k)) & 15;
    const MoveToFrontMasks& move = fast.moveToFront[k];
    order = (order & move.keep) | ((order << 4) & move.moved) | taken;
    return taken;
  }
};

template <>
struct MoveToFrontList<uint32_t> {
  uint32_t low = static_cast<uint32_t>(kInitialOrder);
  uint32_t high = static_cast<uint32_t>(kInitialOrder >> 32);
  I24B_ALWAYS_INLINE unsigned Take(const FastTables& fast, unsigned k) {
    const MoveToFrontHalfMasks move = fast.moveToFrontHalf[k];
    if (__builtin_expect(k < 8, 1)) {
      const unsigned taken = (low >> (4 * k)) & 15;
      low = (low & move.keep) | ((low << 4) & move.moved) | taken;
      return taken;
    }
    // Every entry of the low word moves up; its last one becomes the high
    // word's first.
    const unsigned taken = (high >> (4 * (k - 8))) & 15;
    high = (high & move.keep) | (((high << 4) | (low >> 28)) & move.moved);
    low = (low << 4) | taken;
    return taken;
  }
};
#endif

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
    if (distance == -3) {
      // The pixel before the run, repeated: stores of one pattern word,
      // with no loads of the bytes being written.
      uint32_t pixel;
      memcpy(&pixel, s, sizeof pixel);
      pixel &= 0xFFFFFF;
      const uint64_t pattern = pixel | uint64_t{pixel} << 24 | uint64_t{pixel} << 48;  // 0 1 2 0 1 2 0 1
      if (n < 8) {
        memcpy(d, &pattern, n);  // only a run of two pixels (6 bytes)
        return;
      }
      for (size_t i = 0; i + 8 <= n; i += 6) memcpy(d + i, &pattern, 8);
      // The last word ends with the run; it starts with byte 1 of a pixel.
      const uint64_t last = pattern >> 8 | uint64_t{pixel >> 16} << 56;  // 1 2 0 1 2 0 1 2
      memcpy(d + n - 8, &last, 8);
      return;
    }
    if ((distance <= -8 || distance >= 8) && n >= 8) {
      // Every source word is untouched by this run or already final; the
      // last word ends with the run, over bytes already equal.
      for (size_t i = 0; i + 8 <= n; i += 8) memcpy(d + i, s + i, 8);
      memcpy(d + n - 8, s + n - 8, 8);
      return;
    }
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

// The four bytes at `ref` plus those of `add`, each modulo 256.
I24B_ALWAYS_INLINE uint32_t AddToReference(const uint8_t* ref, uint32_t add) {
#if defined(__SSE2__)
  return static_cast<uint32_t>(
      _mm_cvtsi128_si32(_mm_add_epi8(_mm_loadu_si32(ref), _mm_cvtsi32_si128(static_cast<int>(add)))));
#else
  uint32_t a;
  memcpy(&a, ref, sizeof a);
  return ((a & 0x7F7F7F7Fu) + (add & 0x7F7F7F7Fu)) ^ ((a ^ add) & 0x80808080u);
#endif
}

// The explicit deltas of one pixel that follow its token, one symbol at a
// time, far escapes included; adds each (negated) into its lane of `add`.
template <typename Word>
I24B_ALWAYS_INLINE uint32_t DecodeExplicitDeltas(const FastTables& fast, const PixelPlan& p, uint32_t add,
                                                 InputWindow* window, const uint8_t*& in, const uint8_t*& limit,
                                                 Word& bits, unsigned& count) {
  for (unsigned j = 0; j < p.restCount; ++j) {
    if (count < kDeltaBits) RefillBits(window, in, limit, bits, count);
    const uint32_t e = fast.escape[PeekTop(bits, 8)];
    SkipBits(e & kEscapeLengthMask, bits, count);
    uint32_t value = (e >> kEscapeAddShift) & 0xFF;
    if (e & kEscapeFar) {
      value = fast.escapeAdd[kFarEscapeSymbol + DecodeSymbol(fast.farEscape, kFarEscapeCodeBits, bits, count)];
    }
    add |= value << p.restLane[j];
  }
  return add;
}

// Decodes every row from `input`. Without kWritePixels the block has no
// memory: the rows are decoded for their bits alone, the pixels are not made.
template <bool kWritePixels, typename Word>
ResultCode DecodeRows(const FastTables& fast, const CodedInput& input, const PixelBlock& pixelBlock,
                      ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow) {
  // A local copy: byte stores into the block cannot alias it, so its fields
  // stay in registers.
  const PixelBlock block = pixelBlock;
  uint8_t* const base = block.base;

  // Byte distance from the output position to each neighbour.
  intptr_t neighbourOffset[kOffsetSymbols];
  for (int i = 0; i < kOffsetSymbols; ++i) {
    neighbourOffset[i] = static_cast<intptr_t>(ReferenceDistance(kReferenceOffsets[i], block.stride));
  }
  // From three pixels wide on no reference overlaps the pixel it predicts,
  // so a pixel's reference can be read as one word before it is written.
  // Narrower pictures take every pixel byte by byte. A word read at a
  // reference position below wordRefEnd stays inside the block; narrower
  // pictures have no such position.
  const uintptr_t wordRefEnd = kWritePixels && block.width >= 3 ? block.size - 3 : 0;

  InputWindow window;
  const uint8_t* in = OpenInputWindow(&window, input);
  const uint8_t* limit = window.limit;
  Word bits = 0;
  unsigned count = 0;
  MoveToFrontList<Word> order;
  // Every token starts with at least TokenStartBits<Word>() bits held.
  RefillBits(&window, in, limit, bits, count);

  const size_t rowBytes = size_t{3} * block.width;
  const size_t padBytes = block.stride - rowBytes;
  ResultCode result = kResultOk;
  uint32_t guessed = kNoGuessedRow;
  for (uint32_t r = 0; r < block.height; ++r) {
    if (callback != nullptr && callback(static_cast<int>(r), static_cast<int>(block.height), lData) != 0) {
      result = kResultCancelled;
      break;
    }
    // Without pixels every row is measured from 0, so that no position
    // grows with the picture.
    size_t dst = kWritePixels ? size_t{block.height - 1 - r} * block.stride : 0;
    const size_t rowEnd = dst + rowBytes;
    while (dst < rowEnd) {
      const uint32_t token = fast.token[PeekTop(bits, kTokenTableBits)];
      unsigned s;
      unsigned k;
      if (__builtin_expect((token & kTokenSlow) == 0, 1)) {
        s = (token >> kTokenSymbolShift) & 0xFF;
        bits <<= token & 63;  // bits 5 to 7 are clear: only the length counts
        count -= token & kTokenLengthMask;
        if (token & kTokenHasOffset) {
          k = (token >> kTokenOffsetShift) & 15;
        } else {
          if (!kWideBuffer<Word>) RefillBits(&window, in, limit, bits, count);
          const uint8_t o = fast.offset[PeekTop(bits, kOffsetCodeBits)];
          k = o & 15u;
          SkipBits(o >> 4, bits, count);
        }
      } else {
        s = DecodeSymbol(fast.main, kMainCodeBits, bits, count);
        if (!kWideBuffer<Word>) RefillBits(&window, in, limit, bits, count);
        if (s == kLongRunSymbol) s += DecodeSymbol(fast.longRun, kLongRunCodeBits, bits, count);
        const uint8_t o = fast.offset[PeekTop(bits, kOffsetCodeBits)];
        k = o & 15u;
        SkipBits(o >> 4, bits, count);
      }
      if (!kWideBuffer<Word>) RefillBits(&window, in, limit, bits, count);
      const unsigned taken = order.Take(fast, k);
      const intptr_t ref = static_cast<intptr_t>(dst) + neighbourOffset[taken];

      if (s <= static_cast<unsigned>(kLastPixelSymbol)) {
        const PixelPlan& p = fast.plan[(token >> kTokenPlanShift) & kTokenPlanMask];
        // The explicit deltas after the token, up to two in one lookup, made
        // whether the pixel has them or not: no branch depends on how many
        // it has.
        const uint32_t pair = fast.escapePair[PeekTop(bits, kPairTableBits)];
        if (kWideBuffer<Word>) RefillBits(&window, in, limit, bits, count);
        uint32_t add = p.add | (token >> kTokenDeltaShift) << p.tokenLane;
        if (__builtin_expect((pair & p.pairMissing) == 0, 1)) {
          const uint32_t pairUsed = (pair >> p.pairLengthShift) & 15;
          bits <<= pairUsed;
          count -= pairUsed;
          add |= ((pair >> kPairFirstAddShift) & 0xFF) << p.restLane[0] |
                 ((pair >> kPairSecondAddShift) & 0xFF) << p.restLane[1];
        } else {
          add = DecodeExplicitDeltas(fast, p, add, &window, in, limit, bits, count);
          if (count < TokenStartBits<Word>()) RefillBits(&window, in, limit, bits, count);
        }
        if (kWritePixels) {
          uint8_t* out = base + dst;
          if (static_cast<uintptr_t>(ref) < wordRefEnd) {
            const uint32_t v = AddToReference(base + ref, add);
            // The fourth byte is the next pixel's first, written by the next
            // token before anything reads it; only the row's last pixel must
            // leave it alone.
            if (dst + 3 < rowEnd) {
              memcpy(out, &v, sizeof v);
            } else {
              out[0] = static_cast<uint8_t>(v);
              out[1] = static_cast<uint8_t>(v >> 8);
              out[2] = static_cast<uint8_t>(v >> 16);
            }
          } else {
            // Red, green, blue: each reference byte is read just before its own
            // output byte is written, so an overlapping reference sees the new
            // bytes. The pixel itself always lies inside its row.
            out[2] = static_cast<uint8_t>(ReferenceByte(block, ref + 2) + (add >> 16));
            out[1] = static_cast<uint8_t>(ReferenceByte(block, ref + 1) + (add >> 8));
            out[0] = static_cast<uint8_t>(ReferenceByte(block, ref) + add);
          }
        }
        dst += 3;
      } else {
        if (kWideBuffer<Word>) RefillBits(&window, in, limit, bits, count);
        size_t n = size_t{3} * RunPixels(static_cast<int>(s));
        if (kWritePixels) CopyRun(block, dst, ref, n);
        dst += n;
      }
    }
    // The pad bytes, from wherever the row's last token ended.
    for (size_t i = 0; kWritePixels && i < padBytes; ++i) {
      if (dst + i < block.size) base[dst + i] = 0;
    }
    // Bits past the bytes the source delivered: zeros after the end of the
    // data (this row and every later one are guessed), or lost to a read
    // error. Once per row; consumed bits only grow.
    if (ConsumedBits(window, in, count) > window.delivered * 8) {
      if (window.failed) {
        result = kResultReadError;
        break;
      }
      if (guessed == kNoGuessedRow) guessed = r;
    }
  }
  if (firstGuessedRow != nullptr) *firstGuessedRow = guessed;
  if (callback != nullptr && callback(static_cast<int>(block.height), static_cast<int>(block.height), lData) != 0) {
    result = kResultCancelled;
  }
  return result;
}

}  // namespace
}  // namespace i24b

#endif
