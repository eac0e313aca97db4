#include "fuzz/pack_model.h"

#include <string.h>
#include <strings.h>

#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kEntrySize = kPackEntrySize;
constexpr size_t kRecordBytes = 8;  // offset and size, read before the name
constexpr int kOk = 0;
constexpr int kUnknownFormat = 2;
constexpr int kReadError = 6;

bool NameChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
}

bool ValidName(const char* name) {
  const size_t n = strnlen(name, 200);
  if (n == 0 || n > 14) return false;
  int stops = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!NameChar(static_cast<uint8_t>(name[i]))) return false;
    if (name[i] == '.') ++stops;
  }
  return stops == 1;
}

}  // namespace

bool ValidNameField(const uint8_t* field) {
  const unsigned length = field[0];
  if (length == 0 || length > 14) return false;
  int stops = 0;
  for (unsigned i = 1; i <= length; ++i) {
    if (!NameChar(field[i])) return false;
    if (field[i] == '.') ++stops;
  }
  for (unsigned i = length + 1; i < 16; ++i) {
    if (field[i] != 0) return false;
  }
  return stops == 1;
}

fileInfo ListedRecord(uint32_t offset, uint32_t size, const std::string& name) {
  fileInfo r;
  memset(&r, 0, sizeof r);
  r.method[0] = ' ';
  r.position = offset;
  r.compsize = size;
  r.filesize = size;
  memcpy(r.filename, name.data(), name.size() < sizeof r.filename ? name.size() : sizeof r.filename - 1);
  return r;
}

void CheckMemberRecord(const fileInfo& r, const char* what) {
  FUZZ_CHECK(r.method[0] == ' ' && r.method[1] == 0, what);
  FUZZ_CHECK(r.compsize == r.filesize && r.timestamp == 0 && r.path[0] == 0, what);
  FUZZ_CHECK(ValidName(r.filename), what);
}

std::vector<uint64_t> EntryOffsets(const uint8_t* data, size_t size, size_t max) {
  std::vector<uint64_t> offsets;
  for (size_t p = 8; p + 8 <= size && offsets.size() < max; p += kEntrySize) {
    const uint32_t offset = Le32(data + p);
    if (offset == 0 && Le32(data + p + 4) == 0) break;
    bool seen = false;
    for (uint64_t o : offsets) seen = seen || o == offset;
    if (!seen) offsets.push_back(offset);
  }
  return offsets;
}

std::vector<std::string> EntryNames(const uint8_t* data, size_t size, size_t max) {
  std::vector<std::string> names;
  for (size_t p = 8; p + kEntrySize <= size && names.size() < max; p += kEntrySize) {
    if (Le32(data + p) == 0 && Le32(data + p + 4) == 0) break;
    const uint8_t* field = data + p + 8;
    if (ValidNameField(field)) names.push_back(std::string(reinterpret_cast<const char*>(field + 1), field[0]));
  }
  return names;
}

std::string EntryName(const uint8_t* data, long index) {
  const uint8_t* field = data + 8 + kEntrySize * static_cast<size_t>(index) + 8;
  return std::string(reinterpret_cast<const char*>(field + 1), field[0]);
}

PackScanOutcome ModelPackScan(const uint8_t* data, size_t size, const PackScanQuery& q) {
  PackScanOutcome out = {kOk, 0, -1, 0, 0};
  if (size < 8) {
    out.result = kReadError;
    return out;
  }
  if (memcmp(data, "PACK", 4) != 0) {
    out.result = kUnknownFormat;
    return out;
  }
  const uint64_t directoryEnd = Le32(data + 4);
  const uint64_t records = directoryEnd / kEntrySize + 1;
  bool found = false;
  // A search by position that found an empty member: it goes on for a
  // member with data at the same position, and keeps the empty one when the
  // scan ends or fails first.
  bool keptEmpty = false;
  uint64_t p = 8;
  for (long index = 0;; ++index, p += kEntrySize) {
    if (q.limit != 0 && p + kEntrySize > q.limit) break;
    if (p + kRecordBytes > size) {
      out.result = kReadError;
      break;
    }
    const uint32_t offset = Le32(data + p);
    const uint32_t length = Le32(data + p + 4);
    if (offset == 0 && length == 0) break;
    if (p + kEntrySize > size) {
      out.result = kReadError;
      break;
    }
    const uint8_t* field = data + p + 8;
    if (!ValidNameField(field)) {
      out.result = kUnknownFormat;
      break;
    }
    if (q.listing) {
      if (out.members == records) {
        out.result = kReadError;
        break;
      }
      ++out.members;
      found = true;
      continue;
    }
    char text[16] = {0};
    memcpy(text, field + 1, field[0]);
    const bool byName =
        q.name != nullptr && (q.ignoreCase ? strcasecmp(q.name, text) == 0 : strcmp(q.name, text) == 0);
    const bool byPosition = q.position >= 0 && static_cast<uint64_t>(q.position) == offset;
    if (byPosition && keptEmpty && length == 0) continue;  // a second empty member there
    if (byName || byPosition) {
      if (q.haveRecord) {
        found = true;
        out.match = index;
        out.offset = offset;
        out.size = length;
        if (byPosition && q.name == nullptr && length == 0) {
          keptEmpty = true;
          continue;
        }
      }
      break;
    }
  }
  if (keptEmpty) {
    out.result = kOk;
  } else if (out.result == kOk && q.limit == 0 && (!found || (q.listing && p != directoryEnd))) {
    out.result = kReadError;
  }
  return out;
}
