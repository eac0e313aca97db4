// An independent, plain model of how chestrel's directory scan ends on a
// PACK image held in memory: the result code and which entry it stops at.
// The chestrel fuzz targets compare every export's result with it, and
// check the records chestrel fills with CheckMemberRecord.
#ifndef KALDORIN_FUZZ_PACK_MODEL_H
#define KALDORIN_FUZZ_PACK_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/plugin_api.h"

constexpr size_t kPackEntrySize = 24;

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
  int result;           // the ResultCode the scan gives
  size_t members;       // listing: members listed on success
  long match;           // search: index of the matching entry, or -1
  uint32_t offset;      // search: the matching entry's offset and size
  uint32_t size;
};

PackScanOutcome ModelPackScan(const uint8_t* data, size_t size, const PackScanQuery& query);

// Whether a 16-byte counted name field holds a valid member name.
bool ValidNameField(const uint8_t* field);

// The record a listing holds for a member: every byte zero but method " ",
// the position, both sizes and the name.
fileInfo ListedRecord(uint32_t offset, uint32_t size, const std::string& name);

// Aborts with `what` unless `r` is a member record as chestrel fills it:
// method " ", equal sizes, no time stamp, an empty path and a valid name.
void CheckMemberRecord(const fileInfo& r, const char* what);

// The offsets of the directory entries as stored, in order, up to the first
// all-zero entry or the end of the data, each once, at most `max`.
std::vector<uint64_t> EntryOffsets(const uint8_t* data, size_t size, size_t max);

// The names in the valid name fields of the entries, in order, up to the
// first all-zero entry or the end of the data, at most `max`.
std::vector<std::string> EntryNames(const uint8_t* data, size_t size, size_t max);

// The member name text of the entry at `index` (its name field must be valid).
std::string EntryName(const uint8_t* data, long index);

#endif
