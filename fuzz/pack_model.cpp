#include "fuzz/pack_model.h"

#include <string.h>
#include <strings.h>

namespace {

constexpr size_t kEntrySize = 24;
constexpr size_t kRecordBytes = 8;  // offset and size, read before the name
constexpr int kOk = 0;
constexpr int kUnknownFormat = 2;
constexpr int kReadError = 6;

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool NameChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
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
  uint64_t p = 8;
  for (long index = 0;; ++index, p += kEntrySize) {
    if (q.limit != 0 && p + kEntrySize > q.limit) break;
    if (p + kRecordBytes > size) {
      out.result = kReadError;
      return out;
    }
    const uint32_t offset = Le32(data + p);
    const uint32_t length = Le32(data + p + 4);
    if (offset == 0 && length == 0) break;
    if (p + kEntrySize > size) {
      out.result = kReadError;
      return out;
    }
    const uint8_t* field = data + p + 8;
    if (!ValidNameField(field)) {
      out.result = kUnknownFormat;
      return out;
    }
    if (q.listing) {
      if (out.members == records) {
        out.result = kReadError;
        return out;
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
    if (byName || byPosition) {
      if (q.haveRecord) {
        found = true;
        out.match = index;
        out.offset = offset;
        out.size = length;
      }
      break;
    }
  }
  if (q.limit == 0 && (!found || (q.listing && p != directoryEnd))) out.result = kReadError;
  return out;
}
