// An independent, plain model of how chestrel's directory scan ends on a
// PACK image held in memory: the result code and which entry it stops at.
// The chestrel fuzzer compares every export's result with it.
#ifndef KALDORIN_FUZZ_PACK_MODEL_H
#define KALDORIN_FUZZ_PACK_MODEL_H

#include <stddef.h>
#include <stdint.h>

struct PackScanQuery {
  size_t limit;         // 0 = none; the probe uses 2048
  bool listing;         // every entry is listed
  const char* name;     // find by name, or null
  bool ignoreCase;
  int64_t position;     // find by offset, or -1
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

#endif
