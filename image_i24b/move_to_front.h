// The decoder's move-to-front list of reference offsets: eleven 4-bit
// indices into kReferenceOffsets, front in the low bits. Where the compiler
// targets SSE2 (every x86-64 build, and the SSE2 build on 32-bit x86) the
// list lives in a vector register: the hot loop is bound by its integer
// instructions, and these take none. WebAssembly keeps it in a vector
// register too, but one byte an entry, moved by one byte shuffle: there
// shifts of a vector by a variable count cost a lane extract and a splat
// each, and the hot loop's integer registers are too few to keep a 64-bit
// list among them (the decode in Chromium is 3 to 6% faster than with the
// list in a 64-bit integer). Internal linkage, as decode_rows.h.
#ifndef KALDORIN_IMAGE_I24B_MOVE_TO_FRONT_H
#define KALDORIN_IMAGE_I24B_MOVE_TO_FRONT_H

#include <stdint.h>
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image_i24b/bit_reader.h"
#include "image_i24b/fast_tables.h"

namespace i24b {
namespace {

// The list at the start of every picture: kReferenceOffsets' indices in order.
constexpr uint64_t kInitialOrder = 0xA9876543210ull;
static_assert(kOffsetSymbols == 11, "kInitialOrder lists eleven offsets");

// Take(fast, k) moves entry k to the front and returns it. One list for
// either bit word, except without SSE2, where a 32-bit processor keeps it in
// two words.
template <typename Word>
struct MoveToFrontList;

#if defined(__wasm_simd128__)
// The shuffle that moves entry k to the front: lane 0 takes lane k, lanes
// 1 to k the lanes before it, the others stay.
struct MoveToFrontShuffles {
  uint8_t lanes[kOffsetSymbols][16];
};
constexpr MoveToFrontShuffles BuildMoveToFrontShuffles() {
  MoveToFrontShuffles s = {};
  for (int k = 0; k < kOffsetSymbols; ++k) {
    for (int i = 0; i < 16; ++i) s.lanes[k][i] = static_cast<uint8_t>(i == 0 ? k : i <= k ? i - 1 : i);
  }
  return s;
}
alignas(16) constexpr MoveToFrontShuffles kMoveToFrontShuffles = BuildMoveToFrontShuffles();
static_assert(kMoveToFrontShuffles.lanes[3][0] == 3 && kMoveToFrontShuffles.lanes[3][3] == 2 &&
                  kMoveToFrontShuffles.lanes[3][4] == 4,
              "entry 3 to the front, entries 0 to 2 one lane up, entry 4 stays");

// The list one byte an entry, entry 0 in lane 0 (lanes 11 to 15 unused).
template <typename Word>
struct MoveToFrontList {
  v128_t order = wasm_i8x16_make(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  I24B_ALWAYS_INLINE unsigned Take(const FastTables&, unsigned k) {
    // Taking the front entry leaves the list as it is; it is the commonest
    // case, and skipping the shuffle makes the decode 2 to 4% faster.
    if (k != 0) order = wasm_i8x16_swizzle(order, wasm_v128_load(kMoveToFrontShuffles.lanes[k]));
    return wasm_u8x16_extract_lane(order, 0);
  }
};
#elif defined(__SSE2__)
// The list in the low 64 bits of a vector register.
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
// One 64-bit word.
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

// The first eight entries in one 32-bit word, the last three in another
// (entries past the eighth are rarely taken).
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

}  // namespace
}  // namespace i24b

#endif
