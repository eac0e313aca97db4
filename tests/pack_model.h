// The tests' and fuzzers' model of PACK archives, apart from the reader:
// archives built byte by byte (valid or not), their entries as stored, how
// chestrel's directory walk ends on an image in memory, and the records it
// fills. The layout and the name rule come from archive_pack/pack_format.h;
// how a walk goes is written out plainly here, independently of the
// reader's cursor, so that the two can be compared.
#ifndef KALDORIN_TESTS_PACK_MODEL_H
#define KALDORIN_TESTS_PACK_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/plugin_api.h"

namespace pack::model {

typedef std::vector<uint8_t> Bytes;

// --- Building archives

// A 16-byte name field: length byte `length`, then `chars` (at most 15
// bytes), zero-padded.
Bytes NameField(uint8_t length, const std::string& chars);
inline Bytes NameField(const std::string& name) { return NameField(static_cast<uint8_t>(name.size()), name); }

// One directory entry as stored.
struct PackEntryBytes {
  uint32_t offset;
  uint32_t size;
  Bytes name;  // 16 bytes
};

void AppendHeader(Bytes* b, uint32_t directoryEnd);
void AppendEntry(Bytes* b, const PackEntryBytes& e);
void AppendTerminator(Bytes* b);  // the 8 bytes that are read of it

// The header, `entries` and the terminator; `directoryEnd` < 0 means the
// correct value, the terminator's offset.
Bytes PackDirectory(const std::vector<PackEntryBytes>& entries, int64_t directoryEnd = -1);

struct PackMember {
  std::string name;
  Bytes data;
};

// An archive of `members` starting at byte `base` of its file (offsets count
// from the start of the file): PackDirectory, then the members' bytes in
// order. Only the archive's own bytes are returned.
Bytes MakePack(const std::vector<PackMember>& members, uint32_t base = 0, int64_t directoryEnd = -1);

// The smallest useful archive: PACK, DirectoryEnd 32, one entry (offset 40,
// size 3, "A.TXT"), the 8-byte terminator and the bytes "abc": 43 bytes.
inline Bytes TinyPack() { return MakePack({{"A.TXT", {'a', 'b', 'c'}}}); }

// --- Entries as stored, read plainly

// The offsets of the directory entries as stored, in order, up to the first
// all-zero entry or the end of the data, each once, at most `max`.
std::vector<uint64_t> EntryOffsets(const uint8_t* data, size_t size, size_t max);

// The names in the valid name fields of the entries, in order, up to the
// first all-zero entry or the end of the data, at most `max`.
std::vector<std::string> EntryNames(const uint8_t* data, size_t size, size_t max);

// The member name text of the entry at `index` (its name field must be valid).
std::string EntryName(const uint8_t* data, long index);

// --- How chestrel's directory walk ends

// A search by position takes the first entry at that position, unless it
// is empty (size 0) and a later entry at that position has data.
struct PackScanQuery {
  size_t limit;         // 0 = none; the probe uses 2048
  bool listing;         // every entry is listed
  const char* name;     // find by name, or null
  bool ignoreCase;
  int64_t position;     // find by offset, or -1 (used without a name)
  bool haveRecord;      // a record to fill (without one nothing is found)
};

struct PackScanOutcome {
  int result;           // the ResultCode the walk gives
  size_t members;       // listing: members listed on success
  long match;           // search: index of the matching entry, or -1
  uint32_t offset;      // search: the matching entry's offset and size
  uint32_t size;
};

PackScanOutcome ModelPackScan(const uint8_t* data, size_t size, const PackScanQuery& query);

// --- Records

// The record a listing holds for a member: every byte zero but method " ",
// the position, both sizes and the name.
fileInfo ListedRecord(uint32_t offset, uint32_t size, const std::string& name);

// Whether `r` is a member record as chestrel fills it: method " ", equal
// sizes, no time stamp, an empty path and a valid name.
bool IsMemberRecord(const fileInfo& r);

}  // namespace pack::model

#endif
