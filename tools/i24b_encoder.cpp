#include "tools/i24b_encoder.h"

#include <string.h>

#include <exception>

#include "tools/i24b_bit_writer.h"
#include "tools/i24b_code_book.h"

namespace {

struct OffsetPair {
  int dx;  // pixels, negative = left
  int dy;  // rows towards the top (rows coded earlier)
};

// The reference-offset list as every picture starts it, front to back. The
// list only ever reorders these eleven pairs.
constexpr OffsetPair kOffsetPairs[kOffsetSymbols] = {{-1, 0}, {0, 1},  {1, 1},  {-1, 1}, {2, 1}, {-2, 1},
                                                     {-2, 0}, {0, 2},  {1, 2},  {-1, 2}, {-3, 0}};

// Zero bytes kept ahead of the target row: a same-row reference left of the
// row's start reads the end of the row below, which is not decoded yet.
constexpr int kRowMargin = 9;
constexpr int kZeroDeltaSymbol = 129;  // a single pixel equal to its reference
constexpr int kMaxOffsetBits = 15;

// The cheapest way to code m pixels that one reference reproduces, when the
// first token takes an offset code of L bits and the later ones the front
// of the list (the same reference, just moved there): total bits and the
// pixels of the first token (1 = a single pixel with zero deltas).
struct RunPlan {
  uint16_t bits[kMaxOffsetBits + 1][kMaxRun + 1];
  uint8_t first[kMaxOffsetBits + 1][kMaxRun + 1];
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
    }
  }
}

inline uint32_t Load3(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

// The reference bytes a single pixel at `dst` reads from `ref` (which is at
// or past the end, or has three bytes in the block). The decoder reads each
// reference byte just before it writes the same output byte, red first, so a
// reference overlapping the output sees the target bytes already written.
inline void SingleReference(const Encoder& e, int64_t dst, int64_t ref, const uint8_t* target, uint8_t* out) {
  if (ref >= e.end) {
    out[0] = out[1] = out[2] = 0;
    return;
  }
  int64_t o = ref - dst;
  if (o >= 3 || o <= -3) {
    memcpy(out, e.block + ref, 3);
    return;
  }
  for (int c = 2; c >= 0; --c) {
    int64_t a = ref + c;
    out[c] = (a > dst + c && a < dst + 3) ? target[a - dst] : e.block[a];
  }
}

// How many pixels (up to `limit`) a run from `ref` reproduces. The decoder
// copies byte by byte, first to last, so a reference behind the output reads
// bytes of the run itself; one at or past the end writes black. A run must
// not read across the end of the block.
uint32_t RunLength(const Encoder& e, int64_t dst, int64_t ref, const uint8_t* target, uint32_t limit) {
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
    // Same row, whole pixels behind: the decoded row so far, then the run's
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
      uint8_t v = (a >= dst && a < dst + i) ? target[a - dst] : e.block[a];
      if (v != target[i]) return n;
    }
  }
  return n;
}

// Whether covering `aPixels` for `aBits` is cheaper per pixel than the other
// choice; on a tie the choice that covers more.
inline bool Cheaper(uint32_t aBits, uint32_t aPixels, uint32_t bBits, uint32_t bPixels) {
  uint64_t a = static_cast<uint64_t>(aBits) * bPixels;
  uint64_t b = static_cast<uint64_t>(bBits) * aPixels;
  return a < b || (a == b && aPixels > bPixels);
}

// Picks the token for the output position `dst` (column with `remaining`
// pixels left in the row): the cheapest per pixel among a single pixel and
// a run from each of the eleven list entries.
Token ChooseToken(const Encoder& e, int64_t dst, const uint8_t* target, uint32_t remaining) {
  const I24BCodeBook& book = *e.book;
  Token best{-1, 0, {0, 0, 0}};
  uint32_t bestBits = 0;
  uint32_t bestCover = 0;
  const uint32_t runLimit = remaining < kMaxRun ? remaining : kMaxRun;
  for (int k = 0; k < kOffsetSymbols; ++k) {
    int64_t ref = dst + e.pairOffset[e.list[k]];
    if (ref < 0) continue;  // would read below the block
    const uint32_t offsetBits = book.offset[k].length;
    if (ref >= e.end || ref + 3 <= e.end) {
      uint8_t r[3];
      SingleReference(e, dst, ref, target, r);
      uint8_t d[3] = {static_cast<uint8_t>(r[0] - target[0]), static_cast<uint8_t>(r[1] - target[1]),
                      static_cast<uint8_t>(r[2] - target[2])};
      const DeltaCode& cb = book.delta[d[0]];
      const DeltaCode& cg = book.delta[d[1]];
      const DeltaCode& cr = book.delta[d[2]];
      uint32_t bits = book.main[36 * cr.digit + 6 * cg.digit + cb.digit].length + cr.escapeBits + cg.escapeBits +
                      cb.escapeBits + offsetBits;
      if (best.pixels == 0 || Cheaper(bits, 1, bestBits, bestCover)) {
        best = Token{k, 1, {d[0], d[1], d[2]}};
        bestBits = bits;
        bestCover = 1;
      }
    }
    if (runLimit >= kMinRun) {
      uint32_t m = RunLength(e, dst, ref, target, runLimit);
      if (m >= kMinRun && Cheaper(e.plan->bits[offsetBits][m], m, bestBits, bestCover)) {
        best = Token{k, e.plan->first[offsetBits][m], {0, 0, 0}};
        bestBits = e.plan->bits[offsetBits][m];
        bestCover = m;
      }
    }
  }
  return best;
}

// The component delta the decoder takes from an escape index.
inline uint8_t EscapeDelta(int index) {
  int v = index / 2 + 3;
  return static_cast<uint8_t>(index % 2 == 0 ? v : -v);
}

void PutEscape(BitWriter* w, const I24BCodeBook& book, int index) {
  if (index < kEscapeFarSymbol) {
    PutCode(w, book.escape[index]);
  } else {
    PutCode(w, book.escape[kEscapeFarSymbol]);
    PutCode(w, book.farEscape[index - kEscapeFarSymbol]);
  }
}

void PutToken(Encoder* e, const Token& t) {
  const I24BCodeBook& book = *e->book;
  BitWriter* w = &e->writer;
  if (t.pixels == 1) {
    const DeltaCode* c[3] = {&book.delta[t.delta[2]], &book.delta[t.delta[1]], &book.delta[t.delta[0]]};
    PutCode(w, book.main[36 * c[0]->digit + 6 * c[1]->digit + c[2]->digit]);
    PutCode(w, book.offset[t.listIndex]);
    for (const DeltaCode* dc : c) {
      if (dc->digit == 0) PutEscape(w, book, dc->escapeIndex);
    }
  } else if (t.pixels < 25) {
    PutCode(w, book.main[214 + t.pixels]);
    PutCode(w, book.offset[t.listIndex]);
  } else {
    PutCode(w, book.main[kMainLongRunSymbol]);
    PutCode(w, book.longRun[t.pixels - 25]);
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
      uint8_t delta = dc.digit != 0 ? static_cast<uint8_t>(dc.digit - 3) : EscapeDelta(dc.escapeIndex);
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

void PutLe(std::vector<uint8_t>* out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutHeader(std::vector<uint8_t>* out, uint32_t width, uint32_t height) {
  PutLe(out, 0x42343249, 4);  // "I24B"
  PutLe(out, 0x00010000, 4);
  PutLe(out, 0, 4);
  PutLe(out, width, 2);
  PutLe(out, height, 2);
  PutLe(out, 24, 4);
  PutLe(out, 0, 4);
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
    uint32_t x = 0;
    while (x < width) {
      const int64_t dst = rowStart + 3 * static_cast<int64_t>(x);
      const uint8_t* target = row + 3 * static_cast<size_t>(x);
      Token t = ChooseToken(*e, dst, target, width - x);
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
      } else {
        ++e->stats.runs;
        e->stats.runPixels += t.pixels;
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
  if (width == 0 || height == 0 || width > 65535 || height > 65535) {
    *error = "the picture is " + std::to_string(width) + "x" + std::to_string(height) +
             " pixels; I24B holds 1 to 65535 in each direction";
    return false;
  }
  const uint64_t stride = (3 * static_cast<uint64_t>(width) + 3) & ~uint64_t{3};
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
      e.pairOffset[p] = kOffsetPairs[p].dy * e.stride + 3 * kOffsetPairs[p].dx;
      e.list[p] = static_cast<uint8_t>(p);
    }
    e.row = row.data();
    e.stats = EncodeStats{0, 0, 0, 0};

    out->reserve(24 + static_cast<size_t>(width) * height / 2);
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
