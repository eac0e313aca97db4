#include "archive_pack/pack_directory.h"

#include <string.h>

#include <algorithm>

#include "archive_pack/directory_index.h"
#include "archive_pack/pack_cursor.h"
#include "common/movable_block.h"

namespace pack {

namespace {

static_assert(kHeaderSize + kEntrySize <= kProbeSize, "a probe holds at least one entry");
static_assert(sizeof(fileInfo::filename) > kNameMaxLength, "a member name fits the record");
static_assert(sizeof(fileInfoW) < 1024, "a listing's byte size fits 64 bits for any DirectoryEnd");

// The cursor over a SourceStream at its position.
ResultCode OpenStreamDirectory(SourceStream* stream, DirectoryReads reads, Directory* dir) {
  return OpenDirectory(ReadSourceBytes, stream, nullptr, 0, reads, dir);
}

// Host blocks are 32-bit quantities on every build, as on the 32-bit one:
// a larger listing is refused as an allocation failure without asking the
// platform. A lying DirectoryEnd would otherwise make a 64-bit build ask
// for up to 80 GB, and a refused request that size costs Wine 20 MB of
// memory it never gives back.
constexpr uint64_t kLargestListing = 0xFFFFFFFFu;
static_assert(kLargestListing <= SIZE_MAX, "a listing the check lets through has a size_t size");

template <class Record>
struct Listing {
  HLOCAL handle;
  Record* records;
  uint64_t capacity;  // records the block holds
  uint64_t used;
};

// The records a listing needs room for: DirectoryEnd / 24 and the end
// record, but no more than the entries the data can hold, and the end
// record. A DirectoryEnd within the bytes the first read brought costs no
// question; a larger one has the stream measured. The bound leaves every
// result as it was: a listing whose terminator lies past the data fails
// however much room it has. 0, or 6 when the stream cannot be measured.
ResultCode ListingRoom(SourceStream* stream, const Directory& dir, uint64_t* count) {
  *count = static_cast<uint64_t>(dir.directoryEnd) / kEntrySize + 1;
  const uint64_t held = dir.ahead.base + dir.ahead.filled;
  if (dir.ahead.ended || static_cast<uint64_t>(dir.directoryEnd) + kTerminatorSize > held) {
    int64_t left = 0;
    if (!dir.ahead.ended && SourceBytesLeft(stream, &left) != kResultOk) return kResultReadError;
    const uint64_t fits = (held + static_cast<uint64_t>(left) - kHeaderSize) / kEntrySize + 1;
    if (fits < *count) *count = fits;
  }
  return kResultOk;
}

// The listing block of `count` records. Its byte size is computed in 64
// bits (at most 2^28 records of under 2^10 bytes); a size beyond
// kLargestListing is an allocation failure.
template <class Record>
ResultCode AllocListing(uint64_t count, Listing<Record>* listing) {
  *listing = Listing<Record>{nullptr, nullptr, count, 0};
  if (count * sizeof(Record) > kLargestListing) return kResultOutOfMemory;
  void* ptr = nullptr;
  ResultCode result = AllocBlock(static_cast<SIZE_T>(count * sizeof(Record)), &listing->handle, &ptr);
  if (result != kResultOk) listing->handle = nullptr;
  listing->records = static_cast<Record*>(ptr);
  return result;
}

// Lists the members after the header. Records lie in a zero-initialised
// block and need no clearing. The terminator sits at DirectoryEnd, so the
// members leave room for the end record; the checks keep every write inside
// the block regardless.
template <class Record>
ResultCode ListEntries(Directory* dir, Listing<Record>* listing) {
  ResultCode result = kResultOk;
  while (const unsigned char* entry = NextEntry(dir, &result)) {
    if (listing->used >= listing->capacity) break;
    FillMemberRecord(EntryOffset(entry), EntrySize(entry), MemberName(entry), false,
                     &listing->records[listing->used++]);
  }
  return static_cast<ResultCode>(ArchiveFaultResult(ListingFault(*dir, result, listing->used, listing->capacity)));
}

// ASCII upper case to lower; every other unit is itself.
inline unsigned FoldAscii(unsigned c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whether the query `name` names the member `text`.
bool SameName(SpiName name, const char* text, bool ignoreCase) {
  if (!name.wide) {
    LPCSTR query = static_cast<LPCSTR>(name.text);
    return (ignoreCase ? lstrcmpiA(query, text) : lstrcmpA(query, text)) == 0;
  }
  LPCWSTR query = static_cast<LPCWSTR>(name.text);
  for (size_t i = 0;; ++i) {
    unsigned a = query[i];
    unsigned b = static_cast<unsigned char>(text[i]);
    if (ignoreCase) {
      a = FoldAscii(a);
      b = FoldAscii(b);
    }
    if (a != b) return false;
    if (a == 0) return true;
  }
}

// FindByPosition's answer for one more entry, as the scan meets it: the
// first entry at `position`, replaced once by a later one there with data.
// True once the answer is final.
bool TakeIfAt(const unsigned char* entry, int64_t position, bool* found, fileInfo* info) {
  if (EntryOffset(entry) != position) return false;
  const uint32_t size = EntrySize(entry);
  if (*found && size == 0) return false;  // once an empty member is found only one with data replaces it
  FillMemberRecord(EntryOffset(entry), size, MemberName(entry), true, info);
  *found = true;
  return size != 0;
}

// The scan's result once the directory ended with `result`.
ResultCode ScanResult(bool found, ResultCode result) {
  if (found) return kResultOk;  // the empty member stands
  return result != kResultOk ? result : kResultReadError;
}

// The lookup by position over the rest of the directory.
ResultCode ScanFor(Directory* dir, int64_t position, bool found, fileInfo* info) {
  ResultCode result = kResultOk;
  while (const unsigned char* entry = NextEntryAt(dir, position, &result)) {
    if (TakeIfAt(entry, position, &found, info)) return kResultOk;
  }
  return ScanResult(found, result);
}

// The lookup by position that reads the whole directory into an index for
// the file `key`, kept when the scan ends at the terminator or an invalid
// name (a read failure may not recur). What comes after the answer only
// fills the index: it never changes the answer.
ResultCode ScanAndIndex(Directory* dir, int64_t position, const FileKey& key, IndexBuilder* index, fileInfo* info) {
  ResultCode result = kResultOk;
  bool found = false;
  bool answered = false;
  while (const unsigned char* entry = NextEntry(dir, &result)) {
    if (!answered) answered = TakeIfAt(entry, position, &found, info);
    if (!AddIndexEntry(index, entry)) return answered ? kResultOk : ScanFor(dir, position, found, info);
  }
  if (result == kResultOk || dir->fault == kArchiveInvalidName) {
    KeepIndex(index, key, result);
  } else {
    DiscardIndex(index);
  }
  return answered ? kResultOk : ScanResult(found, result);
}

// FindByPosition once the stream is at byte 0. A directory too large to
// scan on every lookup is indexed, `key` (when known) naming its file.
ResultCode FindAt(SourceStream* stream, int64_t position, const FileKey* known, fileInfo* info) {
  Directory dir;
  ResultCode result = OpenStreamDirectory(stream, kReadAhead, &dir);
  if (result != kResultOk) return result;
  uint64_t entries = dir.directoryEnd / kEntrySize;
  FileKey key;
  IndexBuilder index;
  if (entries > kSmallestIndexedDirectory && (known != nullptr || ReadFileKey(stream, &key))) {
    if (known != nullptr) key = *known;
    // No more entries than the file's bytes hold.
    const uint64_t fileSize = (static_cast<uint64_t>(key.words[3]) << 32) | key.words[4];
    entries = std::min<uint64_t>(entries, fileSize / kEntrySize);
    if (StartIndex(entries, &index)) return ScanAndIndex(&dir, position, key, &index, info);
  }
  return ScanFor(&dir, position, false, info);
}
}  // namespace

ResultCode ProbeDirectory(SourceStream* stream) {
  Directory dir;
  ResultCode result = OpenStreamDirectory(stream, kReadExactly, &dir);
  if (result != kResultOk) return result;
  while (EntryAt(dir) + kEntrySize <= kProbeSize && NextEntry(&dir, &result) != nullptr) {
  }
  return result;
}

template <class Record>
ResultCode ListDirectory(SourceStream* stream, HLOCAL* listing) {
  *listing = nullptr;
  Directory dir;
  ResultCode result = OpenStreamDirectory(stream, kReadAhead, &dir);
  if (result != kResultOk) return result;
  // The first read, as the first entry would ask for it.
  RefillReadAhead(&dir.ahead, 0, kTerminatorSize, kDirectoryBuffer);
  uint64_t count = 0;
  result = ListingRoom(stream, dir, &count);
  if (result != kResultOk) return result;
  Listing<Record> block;
  result = AllocListing(count, &block);
  if (result != kResultOk) return result;
  result = ListEntries(&dir, &block);
  if (result != kResultOk) {
    ReleaseBlock(block.handle, block.records);
    return result;
  }
  block.records[block.used].method[0] = '\0';
  ReleaseBlock(block.handle, nullptr);
  *listing = block.handle;
  return kResultOk;
}

namespace {

// The query as the index takes it: 1 to kNameMaxLength letters, digits and
// full stops, the only characters a member's name holds. Any other query is
// left to the scan, whose comparisons (lstrcmpiA's among them) the index
// need not copy.
bool IndexQuery(SpiName name, char (&query)[kNameMaxLength + 1]) {
  for (size_t i = 0;; ++i) {
    const unsigned c = name.wide ? static_cast<LPCWSTR>(name.text)[i]
                                 : static_cast<unsigned char>(static_cast<LPCSTR>(name.text)[i]);
    if (c == 0) {
      query[i] = '\0';
      return i != 0;
    }
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
    if (!allowed || i == kNameMaxLength) return false;
    query[i] = static_cast<char>(c);
  }
}

// The first of the entries (in directory order) that `name` names.
const unsigned char* FirstNamed(SpiName name, bool ignoreCase, const unsigned char* entries, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (SameName(name, MemberName(entries + i * kEntrySize), ignoreCase)) return entries + i * kEntrySize;
  }
  return nullptr;
}

}  // namespace

template <class Record>
ResultCode FindByName(SourceStream* stream, SpiName name, bool ignoreCase, bool atFileStart, Record* info) {
  // The index holds the directory read from a file's first byte: it
  // answers for a stream there, and a scan from there may build it.
  char query[kNameMaxLength + 1];
  FileKey key;
  const bool indexable = atFileStart && IndexQuery(name, query);
  bool keyed = false;
  unsigned char found[kEntrySize];
  bool have = false;
  if (indexable && DirectoryIndexHeld() && (keyed = ReadFileKey(stream, &key))) {
    unsigned char candidates[kMostNameCandidates * kEntrySize];
    size_t count = 0;
    ResultCode stop = kResultOk;
    if (LookUpIndexedName(key, query, candidates, &count, &stop)) {
      const unsigned char* entry = FirstNamed(name, ignoreCase, candidates, count);
      if (entry == nullptr) return stop != kResultOk ? stop : kResultReadError;
      if (info == nullptr) return kResultReadError;
      FillMemberRecord(EntryOffset(entry), EntrySize(entry), MemberName(entry), true, info);
      return kResultOk;
    }
  }
  Directory dir;
  ResultCode result = OpenStreamDirectory(stream, kReadAhead, &dir);
  if (result != kResultOk) return result;
  // A directory too large to scan on every lookup is indexed as it is
  // scanned: the scan then reads on past the answer.
  IndexBuilder index{nullptr};
  uint64_t entries = dir.directoryEnd / kEntrySize;
  if (indexable && entries > kSmallestIndexedDirectory && (keyed || (keyed = ReadFileKey(stream, &key)))) {
    const uint64_t fileSize = (static_cast<uint64_t>(key.words[3]) << 32) | key.words[4];
    entries = std::min<uint64_t>(entries, fileSize / kEntrySize);
    StartIndex(entries, &index);
  }
  while (const unsigned char* entry = NextEntry(&dir, &result)) {
    if (index.index != nullptr) AddIndexEntry(&index, entry);
    if (!have && SameName(name, MemberName(entry), ignoreCase)) {
      memcpy(found, entry, kEntrySize);
      have = true;
    }
    if (have && index.index == nullptr) break;
  }
  if (index.index != nullptr) {
    // Kept when the scan ended where every scan ends (a read failure may
    // not recur).
    if (result == kResultOk || dir.fault == kArchiveInvalidName) {
      KeepIndex(&index, key, result);
    } else {
      DiscardIndex(&index);
    }
  }
  if (!have) return result != kResultOk ? result : kResultReadError;
  if (info == nullptr) return kResultReadError;
  FillMemberRecord(EntryOffset(found), EntrySize(found), MemberName(found), true, info);
  return kResultOk;
}

ResultCode FindByPosition(SourceStream* stream, int64_t position, fileInfo* info) {
  // The held index answers without reading, the stream left where it is.
  FileKey key;
  const bool keyed = DirectoryIndexHeld() && ReadFileKey(stream, &key);
  ResultCode indexed = kResultOk;
  if (keyed && LookUpIndexed(key, position, info, &indexed)) return indexed;
  LONG resumeAt = 0;
  if (TellSource(stream, &resumeAt) != kResultOk || SeekSource(stream, 0) != kResultOk) return kResultReadError;
  ResultCode result = FindAt(stream, position, keyed ? &key : nullptr, info);
  if (SeekSource(stream, resumeAt) != kResultOk && result == kResultOk) result = kResultReadError;
  return result;
}

template ResultCode ListDirectory<fileInfo>(SourceStream*, HLOCAL*);
template ResultCode ListDirectory<fileInfoW>(SourceStream*, HLOCAL*);
template ResultCode FindByName<fileInfo>(SourceStream*, SpiName, bool, bool, fileInfo*);
template ResultCode FindByName<fileInfoW>(SourceStream*, SpiName, bool, bool, fileInfoW*);

}  // namespace pack
