#include "image_i24b/i24b_encoder.h"

#include <string.h>

#include <exception>

#include "common/little_endian.h"
#include "image_i24b/i24b_bit_writer.h"
#include "image_i24b/i24b_code_book.h"

namespace i24b {
namespace {

// Zero bytes kept ahead of the target row: a same-row reference left of the
// row's start reads the end of the row below, which is not decoded yet.
constexpr int kRowMargin = 9;
constexpr int kZeroDeltaSymbol = PixelSymbolOf(3, 3, 3);  // a single pixel equal to its reference
constexpr int kMaxOffsetBits = 15;
constexpr uint32_t kNoChoice = 0xFFFFFFFFu;  // no token of that kind here

// The cheapest way to code m pixels that one reference reproduces, when the
// first token takes an offset code of L bits and the later ones the front
// of the list (the same reference, just moved there): total bits and the
// pixels of the first token (1 = a single pixel with zero deltas).
struct RunPlan {
  uint16_t bits[kMaxOffsetBits + 1][kMaxRun + 1];
  uint8_t first[kMaxOffsetBits + 1][kMaxRun + 1];
  uint32_t perPixel[kMaxOffsetBits + 1][kMaxRun + 1];  // bits / m, in 1/256 bits
};

struct Token {
  int listIndex;
  uint32_t pixels;   // 1: single pixel, else a run
  uint8_t delta[3];  // single pixel: reference minus target, blue, green, red
};

struct Encoder {
  const I24BCodeBook* book;
  const RunPlan* plan;
  uint32_t width;
  uint32_t height;
  int64_t stride;
  int64_t end;                              // size of the pixel block
  uint8_t* block;                           // the decoder's pixel block as our stream builds it
  int64_t pairOffset[kOffsetSymbols];       // byte distance from output to reference, per pair
  uint8_t list[kOffsetSymbols];             // pair numbers, front to back
  uint8_t* row;                             // kRowMargin zero bytes, then the target row as B,G,R
  BitWriter writer;
  EncodeStats stats;
};

void BuildRunPlan(const I24BCodeBook& book, RunPlan* plan) {
  const uint32_t zero = book.main[kZeroDeltaSymbol].length;
  const uint32_t front = book.offset[0].length;
  uint32_t rest[kMaxRun + 1];
  rest[0] = 0;
  for (int m = 1; m <= kMaxRun; ++m) {
    uint32_t best = zero + front + rest[m - 1];
    for (int n = kMinRun; n <= m; ++n) {
      uint32_t c = book.runBits[n] + front + rest[m - n];
      if (c < best) best = c;
    }
    rest[m] = best;
  }
  for (int L = 0; L <= kMaxOffsetBits; ++L) {
    plan->bits[L][0] = 0;
    plan->first[L][0] = 0;
    plan->perPixel[L][0] = kNoChoice;
    for (int m = 1; m <= kMaxRun; ++m) {
      uint32_t best = zero + L + rest[m - 1];
      int first = 1;
      for (int n = kMinRun; n <= m; ++n) {
        uint32_t c = book.runBits[n] + L + rest[m - n];
        if (c <= best) {  // equal cost: the longer first token
          best = c;
          first = n;
        }
      }
      plan->bits[L][m] = static_cast<uint16_t>(best);
      plan->first[L][m] = static_cast<uint8_t>(first);
      plan->perPixel[L][m] = best * 256 / m;
    }
  }
}

inline uint32_t Load3(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

constexpr uint16_t kNoSingle = 0xFFFF;

// Everything about one position that does not depend on the order of the
// offset list, per offset pair.
struct PositionCosts {
  uint16_t singleBits[kOffsetSymbols];  // pixel symbol and escapes, offset code excluded; kNoSingle if not allowed
  uint8_t delta[kOffsetSymbols][3];     // reference minus target, blue, green, red
  uint8_t run[kOffsetSymbols];          // pixels a run reproduces (up to the row's end and kMaxRun)
};

// The decoder's bytes when it is about to decode pixel x of a row are: the
// row's decoded pixels (the target's, kept in e.row, whose zero margin
// stands for the undecoded end of the row below) and the block for all else
// (rows above decoded, the rest of this row and the rows below still zero).
// The block itself is only updated after a token is chosen, so positions
// ahead can be evaluated from these two.

// The reference bytes a single pixel reads from `ref` (at or past the end,
// or with three bytes in the block). The decoder reads each reference byte
// just before it writes the same output byte, red first, so a reference
// overlapping the output sees the target bytes already written.
inline void SingleReference(const Encoder& e, int64_t rowStart, int64_t dst, int64_t ref, const uint8_t* target,
                            uint8_t* out) {
  int64_t o = ref - dst;
  if (ref >= e.end) {
    out[0] = out[1] = out[2] = 0;
  } else if (o <= -3) {
    memcpy(out, target + o, 3);  // same row, at most three pixels back
  } else if (o >= 3) {
    memcpy(out, e.block + ref, 3);
  } else {
    for (int c = 2; c >= 0; --c) {
      int64_t a = ref + c;
      bool decoded = (a >= rowStart && a < dst) || (a > dst + c && a < dst + 3);
      out[c] = decoded ? e.row[kRowMargin + (a - rowStart)] : e.block[a];
    }
  }
}

// How many pixels (up to `limit`) a run from `ref` reproduces. The decoder
// copies byte by byte, first to last, so a reference behind the output reads
// bytes of the run itself; one at or past the end writes black. A run must
// not read across the end of the block.
uint32_t RunLength(const Encoder& e, int64_t rowStart, int64_t dst, int64_t ref, const uint8_t* target,
                   uint32_t limit) {
  uint32_t n = 0;
  if (ref >= e.end) {
    while (n < limit && Load3(target + 3 * n) == 0) ++n;
    return n;
  }
  int64_t o = ref - dst;
  if (o >= 3) {
    // Reads bytes beyond the output: untouched by the run itself.
    int64_t room = (e.end - ref) / 3;
    if (room < static_cast<int64_t>(limit)) limit = static_cast<uint32_t>(room);
    const uint8_t* src = e.block + ref;
    while (n < limit && Load3(src + 3 * n) == Load3(target + 3 * n)) ++n;
    return n;
  }
  if (o <= -3 && o % 3 == 0) {
    // Whole pixels behind in the same row: the decoded row, then the run's
    // own pixels, which equal the target while the run matches.
    const uint8_t* src = target + o;
    while (n < limit && Load3(src + 3 * n) == Load3(target + 3 * n)) ++n;
    return n;
  }
  for (; n < limit; ++n) {
    for (uint32_t c = 0; c < 3; ++c) {
      int64_t i = 3 * static_cast<int64_t>(n) + c;
      int64_t a = ref + i;
      if (a >= e.end) return n;
      uint8_t v = (a >= rowStart && a < dst + i) ? e.row[kRowMargin + (a - rowStart)] : e.block[a];
      if (v != target[i]) return n;
    }
  }
  return n;
}

void EvaluatePosition(const Encoder& e, int64_t rowStart, uint32_t x, PositionCosts* pc) {
  const I24BCodeBook& book = *e.book;
  const int64_t dst = rowStart + 3 * static_cast<int64_t>(x);
  const uint8_t* target = e.row + kRowMargin + 3 * static_cast<size_t>(x);
  const uint32_t remaining = e.width - x;
  const uint32_t runLimit = remaining < kMaxRun ? remaining : kMaxRun;
  for (int p = 0; p < kOffsetSymbols; ++p) {
    const int64_t ref = dst + e.pairOffset[p];
    pc->singleBits[p] = kNoSingle;
    pc->run[p] = 0;
    if (ref < 0) continue;  // would read below the block
    if (ref >= e.end || ref + 3 <= e.end) {
      uint8_t r[3];
      SingleReference(e, rowStart, dst, ref, target, r);
      uint8_t* d = pc->delta[p];
      for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>(r[c] - target[c]);
      const DeltaCode& cb = book.delta[d[0]];
      const DeltaCode& cg = book.delta[d[1]];
      const DeltaCode& cr = book.delta[d[2]];
      pc->singleBits[p] = static_cast<uint16_t>(book.main[PixelSymbolOf(cr.digit, cg.digit, cb.digit)].length +
                                                cr.escapeBits + cg.escapeBits + cb.escapeBits);
    }
    if (runLimit >= kMinRun) pc->run[p] = static_cast<uint8_t>(RunLength(e, rowStart, dst, ref, target, runLimit));
  }
}

// Cost per pixel (in 1/256 bits) of the best token for pair p at a position
// when its offset code takes `offsetBits`.
inline uint32_t BestPerPixel(const Encoder& e, const PositionCosts& pc, int p, uint32_t offsetBits) {
  uint32_t best = pc.singleBits[p] != kNoSingle ? (pc.singleBits[p] + offsetBits) * 256 : kNoChoice;
  uint32_t m = pc.run[p];
  if (m >= kMinRun && e.plan->perPixel[offsetBits][m] < best) best = e.plan->perPixel[offsetBits][m];
  return best;
}

// Picks the token at a position: the cheapest per pixel among a single pixel
// and a run from each list entry. A single pixel is judged together with the
// best token at the next position (`next`, null at the row's end), priced
// with the list as this choice leaves it, since taking an entry pushes
// others one place back.
Token ChooseToken(const Encoder& e, const PositionCosts& cur, const PositionCosts* next) {
  const I24BCodeBook& book = *e.book;
  uint32_t nextCost[kOffsetSymbols];  // by list index k of this token
  if (next != nullptr) {
    uint32_t shifted[kOffsetSymbols];  // entry i moved to i + 1
    uint32_t stays[kOffsetSymbols];    // entry i left in place
    for (int i = 0; i < kOffsetSymbols; ++i) {
      int p = e.list[i];
      stays[i] = BestPerPixel(e, *next, p, book.offset[i].length);
      shifted[i] = i + 1 < kOffsetSymbols ? BestPerPixel(e, *next, p, book.offset[i + 1].length) : kNoChoice;
    }
    uint32_t after[kOffsetSymbols + 1];  // min of stays[i] for i >= k
    after[kOffsetSymbols] = kNoChoice;
    for (int i = kOffsetSymbols - 1; i >= 0; --i) after[i] = stays[i] < after[i + 1] ? stays[i] : after[i + 1];
    uint32_t before = kNoChoice;  // min of shifted[i] for i < k
    for (int k = 0; k < kOffsetSymbols; ++k) {
      uint32_t c = BestPerPixel(e, *next, e.list[k], book.offset[0].length);
      if (before < c) c = before;
      if (after[k + 1] < c) c = after[k + 1];
      nextCost[k] = c;
      if (shifted[k] < before) before = shifted[k];
    }
  }

  Token best{-1, 0, {0, 0, 0}};
  uint32_t bestScore = kNoChoice;
  uint32_t bestCover = 0;
  for (int k = 0; k < kOffsetSymbols; ++k) {
    const int p = e.list[k];
    const uint32_t offsetBits = book.offset[k].length;
    if (cur.singleBits[p] != kNoSingle) {
      uint32_t bits = cur.singleBits[p] + offsetBits;
      uint32_t score = next != nullptr && nextCost[k] != kNoChoice ? bits * 128 + nextCost[k] / 2 : bits * 256;
      if (score < bestScore) {
        best = Token{k, 1, {cur.delta[p][0], cur.delta[p][1], cur.delta[p][2]}};
        bestScore = score;
        bestCover = 1;
      }
    }
    // A plan that starts with a single pixel is the single-pixel choice
    // above (whose overlapping reads differ from a run's for tiny widths).
    const uint32_t m = cur.run[p];
    if (m >= kMinRun && e.plan->first[offsetBits][m] >= kMinRun) {
      uint32_t score = e.plan->perPixel[offsetBits][m];
      if (score < bestScore || (score == bestScore && m > bestCover)) {
        best = Token{k, e.plan->first[offsetBits][m], {0, 0, 0}};
        bestScore = score;
        bestCover = m;
      }
    }
  }
  return best;
}

void PutEscape(BitWriter* w, const I24BCodeBook& book, int index) {
  if (index < kFarEscapeSymbol) {
    PutCode(w, book.escape[index]);
  } else {
    PutCode(w, book.escape[kFarEscapeSymbol]);
    PutCode(w, book.farEscape[index - kFarEscapeSymbol]);
  }
}

void PutToken(Encoder* e, const Token& t) {
  const I24BCodeBook& book = *e->book;
  BitWriter* w = &e->writer;
  if (t.pixels == 1) {
    const DeltaCode* c[3] = {&book.delta[t.delta[2]], &book.delta[t.delta[1]], &book.delta[t.delta[0]]};
    PutCode(w, book.main[PixelSymbolOf(c[0]->digit, c[1]->digit, c[2]->digit)]);
    PutCode(w, book.offset[t.listIndex]);
    for (const DeltaCode* dc : c) {
      if (dc->digit == 0) PutEscape(w, book, dc->escapeIndex);
    }
  } else if (t.pixels < static_cast<uint32_t>(kFirstLongRun)) {
    PutCode(w, book.main[RunSymbol(static_cast<int>(t.pixels))]);
    PutCode(w, book.offset[t.listIndex]);
  } else {
    PutCode(w, book.main[kLongRunSymbol]);
    PutCode(w, book.longRun[RunSymbol(static_cast<int>(t.pixels)) - kLongRunSymbol]);
    PutCode(w, book.offset[t.listIndex]);
  }
}

// Moves list entry k to the front and returns its pair.
uint8_t MoveToFront(uint8_t* list, int k) {
  uint8_t pair = list[k];
  memmove(list + 1, list, static_cast<size_t>(k));
  list[0] = pair;
  return pair;
}

// Reconstructs the token into the block exactly as the decoder does, from
// what the stream says, and reports whether it produced the target.
bool ApplyToken(Encoder* e, const Token& t, uint8_t pair, int64_t dst, const uint8_t* target) {
  const I24BCodeBook& book = *e->book;
  int64_t ref = dst + e->pairOffset[pair];
  uint8_t* out = e->block + dst;
  if (t.pixels == 1) {
    static const uint8_t kBlack[3] = {0, 0, 0};
    const uint8_t* src = ref >= e->end ? kBlack : e->block + ref;
    for (int c = 2; c >= 0; --c) {
      const DeltaCode& dc = book.delta[t.delta[c]];
      const int delta = dc.digit != kExplicitDigit ? DigitDelta(dc.digit) : EscapeDelta(dc.escapeIndex);
      out[c] = static_cast<uint8_t>(src[c] - delta);
    }
  } else if (ref >= e->end) {
    memset(out, 0, 3 * static_cast<size_t>(t.pixels));
  } else {
    const uint8_t* src = e->block + ref;
    for (size_t i = 0; i < 3 * static_cast<size_t>(t.pixels); ++i) out[i] = src[i];
  }
  return memcmp(out, target, 3 * static_cast<size_t>(t.pixels)) == 0;
}

void PutHeader(std::vector<uint8_t>* out, uint32_t width, uint32_t height) {
  unsigned char h[kHeaderSize] = {};  // the reserved words stay 0
  PutLe32(h + kMagicAt, kMagic);
  PutLe32(h + kVersionAt, kVersion);
  PutLe16(h + kWidthAt, static_cast<uint16_t>(width));
  PutLe16(h + kHeightAt, static_cast<uint16_t>(height));
  PutLe32(h + kDepthAt, kBitsPerPixel);
  out->insert(out->end(), h, h + kHeaderSize);
}

bool EncodeRows(Encoder* e, const uint8_t* rgb, EncodeProgress progress, void* user, std::string* error) {
  const uint32_t width = e->width;
  for (uint32_t r = 0; r < e->height; ++r) {
    if (progress != nullptr && !progress(r, e->height, user)) {
      *error = "cancelled";
      return false;
    }
    const uint8_t* in = rgb + static_cast<size_t>(r) * width * 3;
    uint8_t* row = e->row + kRowMargin;
    for (uint32_t x = 0; x < width; ++x) {
      row[3 * x] = in[3 * x + 2];
      row[3 * x + 1] = in[3 * x + 1];
      row[3 * x + 2] = in[3 * x];
    }
    const int64_t rowStart = static_cast<int64_t>(e->height - 1 - r) * e->stride;
    PositionCosts costs[2];
    PositionCosts* cur = &costs[0];
    PositionCosts* next = &costs[1];
    EvaluatePosition(*e, rowStart, 0, cur);
    uint32_t x = 0;
    while (x < width) {
      const int64_t dst = rowStart + 3 * static_cast<int64_t>(x);
      const uint8_t* target = row + 3 * static_cast<size_t>(x);
      const bool hasNext = x + 1 < width;
      if (hasNext) EvaluatePosition(*e, rowStart, x + 1, next);
      Token t = ChooseToken(*e, *cur, hasNext ? next : nullptr);
      if (t.listIndex < 0) {
        *error = "internal error: no reference for row " + std::to_string(r);
        return false;
      }
      PutToken(e, t);
      uint8_t pair = MoveToFront(e->list, t.listIndex);
      if (!ApplyToken(e, t, pair, dst, target)) {
        *error = "internal error: the coded stream would not reproduce row " + std::to_string(r);
        return false;
      }
      if (t.pixels == 1) {
        ++e->stats.singlePixels;
        PositionCosts* t2 = cur;
        cur = next;
        next = t2;
      } else {
        ++e->stats.runs;
        e->stats.runPixels += t.pixels;
        if (x + t.pixels < width) EvaluatePosition(*e, rowStart, x + t.pixels, cur);
      }
      x += t.pixels;
    }
  }
  return true;
}

}  // namespace

bool EncodeI24B(const uint8_t* rgb, uint32_t width, uint32_t height, std::vector<uint8_t>* out,
                EncodeStats* stats, EncodeProgress progress, void* user, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (out == nullptr) {
    *error = "no output buffer";
    return false;
  }
  out->clear();
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
    *error = "the picture is " + std::to_string(width) + "x" + std::to_string(height) +
             " pixels; I24B holds 1 to 65535 in each direction";
    return false;
  }
  const uint64_t stride = RowStride(width);
  if (stride * height > 0xFFFFFFFFu) {
    *error = "the picture is too large for I24B: its bitmap would exceed 4 GiB";
    return false;
  }
  if (rgb == nullptr) {
    *error = "no pixels given";
    return false;
  }
  try {
    I24BCodeBook book;
    if (!BuildI24BCodeBook(&book, error)) return false;
    RunPlan plan;
    BuildRunPlan(book, &plan);
    std::vector<uint8_t> block(static_cast<size_t>(stride * height), 0);
    std::vector<uint8_t> row(kRowMargin + 3 * static_cast<size_t>(width), 0);

    Encoder e;
    e.book = &book;
    e.plan = &plan;
    e.width = width;
    e.height = height;
    e.stride = static_cast<int64_t>(stride);
    e.end = static_cast<int64_t>(block.size());
    e.block = block.data();
    for (int p = 0; p < kOffsetSymbols; ++p) {
      e.pairOffset[p] = ReferenceDistance(kReferenceOffsets[p], e.stride);
      e.list[p] = static_cast<uint8_t>(p);
    }
    e.row = row.data();
    e.stats = EncodeStats{0, 0, 0, 0};

    out->reserve(kHeaderSize + static_cast<size_t>(width) * height / 2);
    PutHeader(out, width, height);
    e.writer.out = out;
    if (!EncodeRows(&e, rgb, progress, user, error)) {
      out->clear();
      return false;
    }
    e.stats.codedBits = e.writer.total;
    FlushBits(&e.writer);
    if (stats != nullptr) *stats = e.stats;
    return true;
  } catch (const std::exception&) {
    out->clear();
    *error = "out of memory";
    return false;
  }
}

}  // namespace i24b
