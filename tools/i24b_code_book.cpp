#include "tools/i24b_code_book.h"

#include "image_i24b/code_tables.h"

namespace {

// Reads the code of every symbol out of a decode table: entry (L, s) at
// index i means that s has the code i & (2^L - 1), first stream bit in bit 0.
bool ReadCodes(const FrequencyArray& freq, CodeWord* words, const char* name, std::string* error) {
  CodeTable* table = BuildCodeTable(freq.freq, freq.count);
  if (table == nullptr) {
    *error = std::string("cannot build the ") + name + " code table";
    return false;
  }
  for (int s = 0; s < freq.count; ++s) words[s] = CodeWord{0, 0};
  bool ok = table->maxlen <= 16;
  uint32_t size = ok ? 1u << table->maxlen : 0;
  for (uint32_t i = 0; i < size && ok; ++i) {
    const CodeEntry& e = table->entries[i];
    if (e.symbol >= freq.count || e.length == 0 || e.length > table->maxlen) {
      ok = false;
      break;
    }
    CodeWord& w = words[e.symbol];
    if (w.length != 0) continue;
    uint32_t code = i & ((1u << e.length) - 1);
    uint32_t reversed = 0;
    for (int b = 0; b < e.length; ++b) reversed |= ((code >> b) & 1u) << (e.length - 1 - b);
    w = CodeWord{static_cast<uint16_t>(reversed), e.length};
  }
  for (int s = 0; s < freq.count && ok; ++s) ok = words[s].length != 0;
  ReleaseCodeTable(table);
  if (!ok) *error = std::string("the ") + name + " code table does not cover every symbol";
  return ok;
}

// The escape index whose delta is `d` (3..128 or -3..-127 modulo 256).
int EscapeIndex(uint8_t d) {
  if (d >= 3 && d <= 128) return 2 * (d - 3);
  return 2 * (256 - d - 3) + 1;
}

}  // namespace

bool BuildI24BCodeBook(I24BCodeBook* book, std::string* error) {
  if (!ReadCodes(kMainFrequencies, book->main, "main", error) ||
      !ReadCodes(kLongRunFrequencies, book->longRun, "long-run", error) ||
      !ReadCodes(kOffsetFrequencies, book->offset, "offset", error) ||
      !ReadCodes(kEscapeFrequencies, book->escape, "escape", error) ||
      !ReadCodes(kFarEscapeFrequencies, book->farEscape, "far-escape", error)) {
    return false;
  }
  for (int d = 0; d < 256; ++d) {
    int8_t signedDelta = static_cast<int8_t>(d);
    DeltaCode& c = book->delta[d];
    if (signedDelta >= -2 && signedDelta <= 2) {
      c = DeltaCode{static_cast<uint8_t>(signedDelta + 3), 0, 0};
      continue;
    }
    int index = EscapeIndex(static_cast<uint8_t>(d));
    int bits = index < kEscapeFarSymbol
                   ? book->escape[index].length
                   : book->escape[kEscapeFarSymbol].length + book->farEscape[index - kEscapeFarSymbol].length;
    c = DeltaCode{0, static_cast<uint8_t>(index), static_cast<uint8_t>(bits)};
  }
  book->runBits[0] = book->runBits[1] = 0;
  for (int n = kMinRun; n <= kMaxRun; ++n) {
    book->runBits[n] = n < 25 ? book->main[214 + n].length
                              : book->main[kMainLongRunSymbol].length + book->longRun[n - 25].length;
  }
  return true;
}
