// The row decoder itself, as a template over the bit buffer's word: the
// hot loop that turns tokens into pixels. picture_decoder.cpp builds it for
// the decoder's entry points; on 32-bit x86 builds picture_decoder_sse2.cpp
// builds it a second time with SSE2, for processors that have it. Its
// routines (and those of move_to_front.h and run_copy.h) have internal
// linkage or are always inlined, so that the two builds never share an
// out-of-line copy compiled for the other's processor.
//
// A token is a main code, an offset code and, for a pixel, its explicit
// deltas: ReadToken takes the first two, ReadPixelAdd the deltas,
// WritePixel or CopyRun makes the pixels.
#ifndef KALDORIN_IMAGE_I24B_DECODE_ROWS_H
#define KALDORIN_IMAGE_I24B_DECODE_ROWS_H

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image_i24b/bit_reader.h"
#include "image_i24b/fast_tables.h"
#include "image_i24b/move_to_front.h"
#include "image_i24b/picture_decoder.h"
#include "image_i24b/run_copy.h"

namespace i24b {
namespace {

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

// How far before a row's end, and before its start, the references of the
// row's first pixels reach: one in the row above (dy 1) from x < -dx lands
// at the end of the pixel's own block row, one in the same row (dy 0) in the
// row below, which is decoded later. Those bytes are read before any row
// writes them; every other reference reads bytes already written.
constexpr size_t ReachBeforeRow() {
  size_t reach = 0;
  for (const ReferenceOffset& o : kReferenceOffsets) {
    if (o.dy <= 1 && o.dx < 0 && size_t(-3 * o.dx) > reach) reach = size_t(-3 * o.dx);
  }
  return reach;
}
constexpr size_t kUnwrittenReach = ReachBeforeRow();
static_assert(kUnwrittenReach == 9, "the farthest such reference is three pixels back");

// The bit buffer with the input that refills it: the hot loop's state, in
// one local that the compiler keeps in registers.
template <typename Word>
struct CodedBits {
  InputWindow* window;
  const uint8_t* in;
  const uint8_t* limit;
  Word bits;
  unsigned count;

  I24B_ALWAYS_INLINE void Refill() { RefillBits(window, in, limit, bits, count); }
  I24B_ALWAYS_INLINE uint32_t Peek(unsigned width) const { return PeekTop(bits, width); }
  I24B_ALWAYS_INLINE void Skip(unsigned n) { SkipBits(n, bits, count); }
  I24B_ALWAYS_INLINE unsigned Decode(const CodeEntry* entries, unsigned width) {
    return DecodeSymbol(entries, width, bits, count);
  }
  // Drops the bits a token entry takes. Its bits 5 to 7 are clear, so its
  // low six bits are the length and can be the shift count as they are.
  I24B_ALWAYS_INLINE void SkipToken(uint32_t entry) {
    bits <<= entry & 63;
    count -= entry & kTokenLengthMask;
  }
  // The offset code's index into the move-to-front list.
  I24B_ALWAYS_INLINE unsigned DecodeOffset(const FastTables& fast) {
    const uint8_t o = fast.offset[Peek(kOffsetCodeBits)];
    Skip(o >> 4);
    return o & 15u;
  }
};

// A token's main symbol, its move-to-front index and its token table entry.
struct Token {
  uint32_t entry;
  unsigned symbol;
  unsigned offsetIndex;
};

// Takes a token's main and offset codes.
template <typename Word>
I24B_ALWAYS_INLINE Token ReadToken(const FastTables& fast, CodedBits<Word>& coded) {
  Token t;
  t.entry = fast.token[coded.Peek(kTokenTableBits)];
  if (__builtin_expect((t.entry & kTokenSlow) == 0, 1)) {
    coded.SkipToken(t.entry);
    t.symbol = (t.entry >> kTokenSymbolShift) & 0xFF;
    if (t.entry & kTokenHasOffset) {
      t.offsetIndex = (t.entry >> kTokenOffsetShift) & 15;
    } else {
      if (!kWideBuffer<Word>) coded.Refill();
      t.offsetIndex = coded.DecodeOffset(fast);
    }
  } else {
    // A long run, with the full tables.
    t.symbol = coded.Decode(fast.main, kMainCodeBits);
    if (!kWideBuffer<Word>) coded.Refill();
    t.symbol += coded.Decode(fast.longRun, kLongRunCodeBits);
    t.offsetIndex = coded.DecodeOffset(fast);
  }
  if (!kWideBuffer<Word>) coded.Refill();
  return t;
}

// The explicit deltas of one pixel that follow its token, one code at a
// time, far escapes included; adds each (negated) into its lane of `add`.
template <typename Word>
I24B_ALWAYS_INLINE uint32_t DecodeExplicitDeltas(const FastTables& fast, const PixelPlan& p, uint32_t add,
                                                 CodedBits<Word>& coded) {
  for (unsigned j = 0; j < p.restCount; ++j) {
    if (coded.count < kDeltaBits) coded.Refill();
    const uint32_t e = fast.escape[coded.Peek(kEscapeCodeBits)];
    coded.Skip(e & kEscapeLengthMask);
    uint32_t value = (e >> kEscapeAddShift) & 0xFF;
    if (e & kEscapeFar) value = fast.escapeAdd[kFarEscapeSymbol + coded.Decode(fast.farEscape, kFarEscapeCodeBits)];
    add |= value << p.restLane[j];
  }
  return add;
}

// Takes a pixel token's explicit deltas and returns the bytes the pixel adds
// to its reference: blue, green, red in the low three lanes.
template <typename Word>
I24B_ALWAYS_INLINE uint32_t ReadPixelAdd(const FastTables& fast, uint32_t entry, CodedBits<Word>& coded) {
  const PixelPlan& p = fast.plan[(entry >> kTokenPlanShift) & kTokenPlanMask];
  // Up to two deltas in one lookup, made whether the pixel has them or not:
  // no branch depends on how many it has.
  const uint32_t pair = fast.escapePair[coded.Peek(kPairTableBits)];
  if (kWideBuffer<Word>) coded.Refill();
  uint32_t add = p.add | (entry >> kTokenDeltaShift) << p.tokenLane;
  if (__builtin_expect((pair & p.pairMissing) == 0, 1)) {
    coded.Skip((pair >> p.pairLengthShift) & 15);
    add |= ((pair >> kPairFirstAddShift) & 0xFF) << p.restLane[0] |
           ((pair >> kPairSecondAddShift) & 0xFF) << p.restLane[1];
  } else {
    add = DecodeExplicitDeltas(fast, p, add, coded);
    if (coded.count < TokenStartBits<Word>()) coded.Refill();
  }
  return add;
}

// The four bytes at `ref` plus those of `add`, each modulo 256.
I24B_ALWAYS_INLINE uint32_t AddToReference(const uint8_t* ref, uint32_t add) {
#if defined(__SSE2__)
  // In a vector register: no integer instructions, which bind the loop.
  return static_cast<uint32_t>(
      _mm_cvtsi128_si32(_mm_add_epi8(_mm_loadu_si32(ref), _mm_cvtsi32_si128(static_cast<int>(add)))));
#else
  uint32_t a;
  memcpy(&a, ref, sizeof a);
  return ((a & 0x7F7F7F7Fu) + (add & 0x7F7F7F7Fu)) ^ ((a ^ add) & 0x80808080u);
#endif
}

// Writes the pixel at `dst`: the reference's bytes at `ref` plus `add`.
// A reference below `wordRefEnd` is read as one word (it cannot overlap the
// pixel then); others byte by byte.
I24B_ALWAYS_INLINE void WritePixel(const PixelBlock& block, size_t dst, intptr_t ref, uint32_t add, size_t rowEnd,
                                   size_t wordRefEnd) {
  uint8_t* const out = block.base + dst;
  if (__builtin_expect(static_cast<size_t>(ref) < wordRefEnd, 1)) {
    const uint32_t v = AddToReference(block.base + ref, add);
    // The fourth byte is the next pixel's first, written by the next token
    // before anything reads it; only the row's last pixel must leave it alone.
    if (dst + 3 < rowEnd) {
      memcpy(out, &v, sizeof v);
    } else {
      out[0] = static_cast<uint8_t>(v);
      out[1] = static_cast<uint8_t>(v >> 8);
      out[2] = static_cast<uint8_t>(v >> 16);
    }
    return;
  }
  // Red, green, blue: each reference byte is read just before its own output
  // byte is written, so an overlapping reference sees the new bytes. The
  // pixel itself always lies inside its row.
  out[2] = static_cast<uint8_t>(ReferenceByte(block, ref + 2) + (add >> 16));
  out[1] = static_cast<uint8_t>(ReferenceByte(block, ref + 1) + (add >> 8));
  out[0] = static_cast<uint8_t>(ReferenceByte(block, ref) + add);
}

// Clears the bytes the row starting at `rowStart` can read before any row
// writes them (kUnwrittenReach): they read as zeros whatever the block held.
// Rows are decoded from the block's end down, so nothing below `rowStart`
// and nothing of its own row is written yet.
I24B_ALWAYS_INLINE void ClearUnwrittenReach(const PixelBlock& block, size_t rowStart) {
  if (block.stride == 0) return;  // rows of no pixels (the block may have no memory)
  const size_t below = rowStart < kUnwrittenReach ? rowStart : kUnwrittenReach;
  memset(block.base + rowStart - below, 0, below);
  const size_t own = block.stride < kUnwrittenReach ? block.stride : kUnwrittenReach;
  memset(block.base + rowStart + block.stride - own, 0, own);
}

// The block is the whole picture's memory: nothing to do between rows.
struct WholeBlock {
  I24B_ALWAYS_INLINE void BeforeRow(PixelBlock&, uint32_t) {}
  I24B_ALWAYS_INLINE void AfterRows(const PixelBlock&) {}
};

// Decodes every row from `input`. Without kWritePixels the block has no
// memory: the rows are decoded for their bits alone, the pixels are not made.
// `rows` is told before each row (it may move the block's base, so that
// the block's positions fall in a window of rows: row_window_decoder.cpp)
// and once all rows are decoded, when none failed or was cancelled.
template <bool kWritePixels, typename Word, typename Rows = WholeBlock>
ResultCode DecodeRows(const FastTables& fast, const CodedInput& input, const PixelBlock& pixelBlock,
                      ProgressCallback callback, SpiLong lData, uint32_t* firstGuessedRow, Rows rows = Rows()) {
  // A local copy: byte stores into the block cannot alias it, so its fields
  // stay in registers.
  PixelBlock block = pixelBlock;

  // Byte distance from the output position to each neighbour. WebAssembly
  // keeps them at a fixed address, which the hot loop's loads then take as
  // a constant, not as a register holding the stack frame: its module runs
  // on one thread, and nothing the decoder calls decodes another picture.
#if defined(__wasm__)
  static intptr_t neighbourOffset[kOffsetSymbols];
#else
  intptr_t neighbourOffset[kOffsetSymbols];
#endif
  for (int i = 0; i < kOffsetSymbols; ++i) {
    neighbourOffset[i] = static_cast<intptr_t>(ReferenceDistance(kReferenceOffsets[i], block.stride));
  }
  // From three pixels wide on no reference overlaps the pixel it predicts,
  // so a pixel's reference can be read as one word before it is written. A
  // word read at a reference position below wordRefEnd stays inside the
  // block; narrower pictures have no such position.
  const size_t wordRefEnd = kWritePixels && block.width >= 3 ? block.size - 3 : 0;

  InputWindow window;
  CodedBits<Word> coded;
  coded.window = &window;
  coded.in = OpenInputWindow(&window, input);
  coded.limit = window.limit;
  coded.bits = 0;
  coded.count = 0;
  coded.Refill();  // every token starts with at least TokenStartBits<Word>() bits held
  MoveToFrontList<Word> order;

  const size_t rowBytes = size_t{3} * block.width;
  const size_t padBytes = block.stride - rowBytes;
  ResultCode result = kResultOk;
  uint32_t guessed = kNoGuessedRow;
  for (uint32_t r = 0; r < block.height; ++r) {
    if (callback != nullptr && callback(static_cast<int>(r), static_cast<int>(block.height), lData) != 0) {
      result = kResultCancelled;
      break;
    }
    if (kWritePixels) rows.BeforeRow(block, r);
    // Without pixels every row is measured from 0, so that no position
    // grows with the picture.
    const size_t rowStart = kWritePixels ? size_t{block.height - 1 - r} * block.stride : 0;
    if (kWritePixels) ClearUnwrittenReach(block, rowStart);
    const size_t rowEnd = rowStart + rowBytes;
    size_t dst = rowStart;
    while (dst < rowEnd) {
      const Token token = ReadToken(fast, coded);
      const intptr_t ref = static_cast<intptr_t>(dst) + neighbourOffset[order.Take(fast, token.offsetIndex)];
      if (__builtin_expect(token.symbol <= static_cast<unsigned>(kLastPixelSymbol), 1)) {
        const uint32_t add = ReadPixelAdd(fast, token.entry, coded);
        if (kWritePixels) WritePixel(block, dst, ref, add, rowEnd, wordRefEnd);
        dst += 3;
      } else {
        if (kWideBuffer<Word>) coded.Refill();
        const size_t n = size_t{3} * RunPixels(static_cast<int>(token.symbol));
        if (kWritePixels) CopyRun(block, dst, ref, n);
        dst += n;
      }
    }
    // The pad bytes, from wherever the row's last token ended (a run may end
    // past the row).
    for (size_t i = 0; kWritePixels && i < padBytes; ++i) {
      if (dst + i < block.size) block.base[dst + i] = 0;
    }
    // Bits past the bytes the source delivered: zeros after the end of the
    // data (this row and every later one are guessed), or lost to a read
    // error. Once per row; consumed bits only grow.
    if (ConsumedBits(window, coded.in, coded.count) > window.delivered * 8) {
      if (window.failed) {
        result = kResultReadError;
        break;
      }
      if (guessed == kNoGuessedRow) guessed = r;
    }
  }
  if (kWritePixels && result == kResultOk) rows.AfterRows(block);
  if (firstGuessedRow != nullptr) *firstGuessedRow = guessed;
  if (callback != nullptr && callback(static_cast<int>(block.height), static_cast<int>(block.height), lData) != 0) {
    result = kResultCancelled;
  }
  return result;
}

}  // namespace
}  // namespace i24b

#endif
