#include "image_i24b/code_tables.h"

#include <string.h>

#include "common/general_heap.h"
#include "image_i24b/i24b_format.h"

namespace i24b {

namespace {

// Working memory of one build: 512 tree nodes and 256 code records, 32-bit
// fields throughout, taken as one allocation.
struct TreeNode {
  int32_t left;
  int32_t right;
  int32_t weight;
  int32_t symbol;  // -1 for an internal node
};
struct CodeRecord {
  uint32_t code;
  int32_t symbol;
  int32_t length;
};
struct WorkingMemory {
  TreeNode nodes[512];
  CodeRecord records[256];
};
static_assert(sizeof(WorkingMemory) == 11264, "working memory is 11264 bytes");

// Longest code a table may have; deeper trees (possible only with extreme
// frequencies) are refused rather than given a huge table.
constexpr int kMaxTableBits = 16;

bool Lighter(const TreeNode& a, const TreeNode& b) {
  return a.weight != b.weight ? a.weight < b.weight : a.symbol < b.symbol;
}

// Sorts nodes[j..k) ascending by weight, ties by symbol. The window only
// gains one node at its end between sorts, so insertion sort is linear here.
void SortWindow(TreeNode* nodes, int j, int k) {
  for (int i = j + 1; i < k; ++i) {
    TreeNode n = nodes[i];
    int p = i;
    while (p > j && Lighter(n, nodes[p - 1])) {
      nodes[p] = nodes[p - 1];
      --p;
    }
    nodes[p] = n;
  }
}

// Assigns codes below `slot`: the first stream bit is the top bit of the
// code, 0 = left (the lighter subtree). Codes longer than kMaxTableBits are
// refused later, so their bits need not stay exact.
void AssignCodes(WorkingMemory* w, int slot, uint32_t code, int length, int* records) {
  const TreeNode& n = w->nodes[slot];
  if (n.symbol >= 0) {
    w->records[*records] = CodeRecord{code, n.symbol, length};
    ++*records;
    return;
  }
  AssignCodes(w, n.left, code << 1, length + 1, records);
  AssignCodes(w, n.right, code << 1 | 1u, length + 1, records);
}

}  // namespace

CodeTable* BuildCodeTable(const int32_t* freq, int count) {
  if (count < 1 || count > 256) return nullptr;
  auto* w = static_cast<WorkingMemory*>(HeapAllocate(sizeof(WorkingMemory)));
  if (w == nullptr) return nullptr;

  for (int s = 0; s < count; ++s) w->nodes[s] = TreeNode{-1, -1, freq[s], s};
  int j = 0;
  int k = count;
  while (k - j >= 2) {
    SortWindow(w->nodes, j, k);
    w->nodes[k] = TreeNode{j, j + 1, w->nodes[j].weight + w->nodes[j + 1].weight, -1};
    j += 2;
    k += 1;
  }

  int records = 0;
  if (w->nodes[j].symbol >= 0) {
    w->records[records++] = CodeRecord{0, w->nodes[j].symbol, 0};
  } else {
    AssignCodes(w, j, 0, 0, &records);
  }
  int maxlen = 0;
  for (int r = 0; r < records; ++r) maxlen = w->records[r].length > maxlen ? w->records[r].length : maxlen;

  CodeTable* table = nullptr;
  if (maxlen <= kMaxTableBits) {
    size_t entries = size_t{1} << maxlen;
    table = static_cast<CodeTable*>(HeapAllocate(sizeof(CodeTable) + entries * sizeof(CodeEntry)));
  }
  if (table != nullptr) {
    table->maxlen = maxlen;
    table->entries = reinterpret_cast<CodeEntry*>(table + 1);
    // A code of L bits owns the 2^(maxlen - L) entries that begin with it.
    for (int r = 0; r < records; ++r) {
      const CodeRecord& c = w->records[r];
      const uint32_t first = c.code << (maxlen - c.length);
      const uint32_t end = first + (1u << (maxlen - c.length));
      for (uint32_t index = first; index < end; ++index) {
        table->entries[index] = CodeEntry{static_cast<uint8_t>(c.length), static_cast<uint8_t>(c.symbol)};
      }
    }
  }
  HeapRelease(w);
  return table;
}

void ReleaseCodeTable(CodeTable* table) { HeapRelease(table); }

bool BuildCodeTableSet(CodeTableSet* set) {
  CodeTable** slots[5] = {&set->mainTable, &set->longRunTable, &set->offsetTable, &set->escapeTable,
                          &set->farEscapeTable};
  const FrequencyArray* arrays[5] = {&kMainFrequencies, &kLongRunFrequencies, &kOffsetFrequencies,
                                     &kEscapeFrequencies, &kFarEscapeFrequencies};
  for (CodeTable** slot : slots) *slot = nullptr;
  for (int t = 0; t < 5; ++t) {
    *slots[t] = BuildCodeTable(arrays[t]->freq, arrays[t]->count);
    if (*slots[t] == nullptr) {
      ReleaseCodeTableSet(set);
      return false;
    }
  }
  return true;
}

void ReleaseCodeTableSet(CodeTableSet* set) {
  CodeTable** slots[5] = {&set->mainTable, &set->longRunTable, &set->offsetTable, &set->escapeTable,
                          &set->farEscapeTable};
  for (CodeTable** slot : slots) {
    ReleaseCodeTable(*slot);
    *slot = nullptr;
  }
}

}  // namespace i24b
