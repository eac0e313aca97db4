#include "archive_pack/directory_index.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#ifndef _WIN32
#include <mutex>
#endif

#include "archive_pack/pack_directory.h"
#include "archive_pack/pack_format.h"

struct pack::DirectoryIndex {
  FileKey key;
  ResultCode stop;     // the scan's result where it stopped
  uint32_t count;      // entries held
  uint32_t capacity;
  uint32_t* order;     // entry numbers in the order of their positions (ties: directory order)
  uint32_t* byName;    // entry numbers in the order of their names, ASCII case folded (ties: directory order)
  unsigned char* entries;  // `count` entries of kEntrySize bytes, in directory order
};

namespace pack {

namespace {

constexpr size_t kCostPerMember = kEntrySize + 2 * sizeof(uint32_t);
static_assert(kCostPerMember == 32, "the per-member cost the header states");
static_assert(sizeof(FileKey) == 36, "a key is nine words, compared whole");

// The held index and its lock: the lock is made and destroyed by the load
// and unload hook; the index is swapped in and out under it, and lookups
// read it under it. The C heap holds the index: it outlives every call.
DirectoryIndex* gHeld = nullptr;
// The benchmark's variant of the plug-in, built with
// KALDORIN_CHESTREL_UNINDEXED, scans for every lookup: the baseline it times.
#ifdef KALDORIN_CHESTREL_UNINDEXED
constexpr bool kIndexed = false;
#else
constexpr bool kIndexed = true;
#endif
#ifdef _WIN32
CRITICAL_SECTION gLock;
struct Hold {
  Hold() { EnterCriticalSection(&gLock); }
  ~Hold() { LeaveCriticalSection(&gLock); }
};
#else
std::mutex gLock;
struct Hold {
  std::lock_guard<std::mutex> hold{gLock};
};
#endif

uint32_t OffsetOf(const DirectoryIndex& index, uint32_t number) {
  return EntryOffset(index.entries + static_cast<size_t>(number) * kEntrySize);
}

const char* NameOf(const DirectoryIndex& index, uint32_t number) {
  return reinterpret_cast<const char*>(EntryNameField(index.entries + static_cast<size_t>(number) * kEntrySize) + 1);
}

inline unsigned char Folded(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// strcmp of the two names with ASCII letters folded.
int CompareFolded(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int d = Folded(*a) - Folded(*b);
    if (d != 0 || *a == 0) return d;
  }
}

// The held index if it belongs to `key`; a held index of the same file with
// another size or time is stale and handed back in `*dropped` for release
// outside the lock. Called under the lock.
DirectoryIndex* HeldFor(const FileKey& key, DirectoryIndex** dropped) {
  *dropped = nullptr;
  if (gHeld == nullptr) return nullptr;
  if (memcmp(gHeld->key.words, key.words, sizeof key.words) == 0) return gHeld;
  if (memcmp(gHeld->key.words, key.words, 3 * sizeof key.words[0]) == 0) {
    *dropped = gHeld;
    gHeld = nullptr;
  }
  return nullptr;
}

// The answer for `position` from the index: the first entry there, unless
// it is empty and a later entry there has data; the scan's stopping result
// (6 at the terminator) where none starts there.
ResultCode Answer(const DirectoryIndex& index, int64_t position, fileInfo* info) {
  const uint32_t* end = index.order + index.count;
  const uint32_t* at = std::lower_bound(static_cast<const uint32_t*>(index.order), end, position, [&](uint32_t number, int64_t p) {
    return static_cast<int64_t>(OffsetOf(index, number)) < p;
  });
  const uint32_t* pick = at;
  for (const uint32_t* run = at; run != end && OffsetOf(index, *run) == position; ++run) {
    if (EntrySize(index.entries + static_cast<size_t>(*run) * kEntrySize) != 0) {
      pick = run;
      break;
    }
  }
  if (pick == end || OffsetOf(index, *pick) != position) return index.stop != kResultOk ? index.stop : kResultReadError;
  const unsigned char* entry = index.entries + static_cast<size_t>(*pick) * kEntrySize;
  FillMemberRecord(EntryOffset(entry), EntrySize(entry), reinterpret_cast<const char*>(EntryNameField(entry) + 1),
                   true, info);
  return kResultOk;
}

void Release(DirectoryIndex* index) { free(index); }

}  // namespace

bool ReadFileKey(SourceStream* stream, FileKey* key) {
  MMIOINFO mmio;
  memset(&mmio, 0, sizeof mmio);
  if (mmioGetInfo(stream->mmio, &mmio, 0) != MMSYSERR_NOERROR || mmio.fccIOProc == FOURCC_MEM) return false;
  // The file procedures keep the handle in adwInfo[0], as a 32-bit value.
  HANDLE file = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(mmio.adwInfo[0])));
  BY_HANDLE_FILE_INFORMATION about;
  if (!GetFileInformationByHandle(file, &about)) return false;
  const uint32_t words[9] = {about.dwVolumeSerialNumber,           about.nFileIndexHigh,
                             about.nFileIndexLow,                  about.nFileSizeHigh,
                             about.nFileSizeLow,                   about.ftLastWriteTime.dwLowDateTime,
                             about.ftLastWriteTime.dwHighDateTime, about.ftCreationTime.dwLowDateTime,
                             about.ftCreationTime.dwHighDateTime};
  memcpy(key->words, words, sizeof words);
  return true;
}

bool DirectoryIndexHeld() {
  Hold hold;
  return gHeld != nullptr;
}

bool LookUpIndexed(const FileKey& key, int64_t position, fileInfo* info, ResultCode* result) {
  DirectoryIndex* dropped = nullptr;
  {
    Hold hold;
    if (const DirectoryIndex* index = HeldFor(key, &dropped)) {
      *result = Answer(*index, position, info);
      return true;
    }
  }
  Release(dropped);
  return false;
}

bool LookUpIndexedName(const FileKey& key, const char* query, unsigned char* entries, size_t* count,
                       ResultCode* stop) {
  DirectoryIndex* dropped = nullptr;
  bool answered = false;
  {
    Hold hold;
    if (const DirectoryIndex* index = HeldFor(key, &dropped)) {
      const uint32_t* end = index->byName + index->count;
      const uint32_t* at = std::lower_bound(static_cast<const uint32_t*>(index->byName), end, query,
                                            [&](uint32_t number, const char* q) { return CompareFolded(NameOf(*index, number), q) < 0; });
      size_t found = 0;
      for (; at != end && CompareFolded(NameOf(*index, *at), query) == 0; ++at, ++found) {
        if (found == kMostNameCandidates) break;
        memcpy(entries + found * kEntrySize, index->entries + static_cast<size_t>(*at) * kEntrySize, kEntrySize);
      }
      answered = at == end || CompareFolded(NameOf(*index, *at), query) != 0;
      *count = found;
      *stop = index->stop;
    }
  }
  Release(dropped);
  return answered;
}

bool StartIndex(uint64_t entries, IndexBuilder* builder) {
  builder->index = nullptr;
  if (!kIndexed || entries <= kSmallestIndexedDirectory || entries > kLargestIndexedDirectory) return false;
  const size_t capacity = static_cast<size_t>(entries);
  void* block = malloc(sizeof(DirectoryIndex) + capacity * kCostPerMember);
  if (block == nullptr) return false;
  DirectoryIndex* index = static_cast<DirectoryIndex*>(block);
  index->stop = kResultOk;
  index->count = 0;
  index->capacity = static_cast<uint32_t>(capacity);
  index->order = reinterpret_cast<uint32_t*>(index + 1);
  index->byName = index->order + capacity;
  index->entries = reinterpret_cast<unsigned char*>(index->byName + capacity);
  builder->index = index;
  return true;
}

bool AddIndexEntry(IndexBuilder* builder, const unsigned char* entry) {
  DirectoryIndex* index = builder->index;
  if (index->count == index->capacity) {
    DiscardIndex(builder);
    return false;
  }
  memcpy(index->entries + static_cast<size_t>(index->count) * kEntrySize, entry, kEntrySize);
  index->order[index->count] = index->count;
  index->byName[index->count] = index->count;
  ++index->count;
  return true;
}

void KeepIndex(IndexBuilder* builder, const FileKey& key, ResultCode stop) {
  DirectoryIndex* index = builder->index;
  builder->index = nullptr;
  index->key = key;
  index->stop = stop;
  // Entry numbers break ties, so that the first entry at a position leads
  // its run; members usually lie in directory order and this finds it so.
  const DirectoryIndex& in = *index;
  std::sort(index->order, index->order + index->count, [&](uint32_t a, uint32_t b) {
    const uint32_t pa = OffsetOf(in, a), pb = OffsetOf(in, b);
    return pa != pb ? pa < pb : a < b;
  });
  std::sort(index->byName, index->byName + index->count, [&](uint32_t a, uint32_t b) {
    const int d = CompareFolded(NameOf(in, a), NameOf(in, b));
    return d != 0 ? d < 0 : a < b;
  });
  DirectoryIndex* old = nullptr;
  {
    Hold hold;
    old = gHeld;
    gHeld = index;
  }
  Release(old);
}

void DiscardIndex(IndexBuilder* builder) {
  Release(builder->index);
  builder->index = nullptr;
}

bool AttachDirectoryIndex() {
#ifdef _WIN32
  InitializeCriticalSection(&gLock);
#endif
  return true;
}

void DetachDirectoryIndex() {
  Release(gHeld);
  gHeld = nullptr;
#ifdef _WIN32
  DeleteCriticalSection(&gLock);
#endif
}

}  // namespace pack
