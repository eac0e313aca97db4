#include "image_i24b/i24b_code_book.h"

#include "image_i24b/code_tables.h"

namespace i24b {
namespace {

// Reads the code of every symbol out of a decode table: entry (L, s) at
// index i means that s has the code formed by the top L bits of i.
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
    w = CodeWord{static_cast<uint16_t>(i >> (table->maxlen - e.length)), e.length};
  }
  for (int s = 0; s < freq.count && ok; ++s) ok = words[s].length != 0;
  ReleaseCodeTable(table);
  if (!ok) *error = std::string("the ") + name + " code table does not cover every symbol";
  return ok;
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
    DeltaCode& c = book->delta[d];
    const int digit = DigitOf(static_cast<uint8_t>(d));
    if (digit != kExplicitDigit) {
      c = DeltaCode{static_cast<uint8_t>(digit), 0, 0};
      continue;
    }
    int index = EscapeIndex(static_cast<uint8_t>(d));
    int bits = index < kFarEscapeSymbol
                   ? book->escape[index].length
                   : book->escape[kFarEscapeSymbol].length + book->farEscape[index - kFarEscapeSymbol].length;
    c = DeltaCode{0, static_cast<uint8_t>(index), static_cast<uint8_t>(bits)};
  }
  book->runBits[0] = book->runBits[1] = 0;
  for (int n = kMinRun; n <= kMaxRun; ++n) {
    book->runBits[n] = n < kFirstLongRun
                           ? book->main[RunSymbol(n)].length
                           : book->main[kLongRunSymbol].length + book->longRun[RunSymbol(n) - kLongRunSymbol].length;
  }
  return true;
}

}  // namespace i24b
