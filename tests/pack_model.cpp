#include "tests/pack_model.h"

#include <ctype.h>
#include <string.h>

#include "archive_pack/pack_format.h"

namespace pack::model {

namespace {

constexpr int kOk = 0;
constexpr int kUnknownFormat = 2;
constexpr int kReadError = 6;

bool NameMatches(const char* wanted, const char* text, bool ignoreCase) {
  if (!ignoreCase) return strcmp(wanted, text) == 0;
  for (;; ++wanted, ++text) {
    if (toupper(static_cast<unsigned char>(*wanted)) != toupper(static_cast<unsigned char>(*text))) return false;
    if (*wanted == '\0') return true;
  }
}

}  // namespace

Bytes NameField(uint8_t length, const std::string& chars) {
  Bytes field(kNameFieldSize, 0);
  field[0] = length;
  for (size_t i = 0; i < chars.size() && i + 1 < field.size(); ++i) field[1 + i] = static_cast<uint8_t>(chars[i]);
  return field;
}

void AppendHeader(Bytes* b, uint32_t directoryEnd) {
  b->resize(b->size() + kHeaderSize);
  PutHeader(b->data() + b->size() - kHeaderSize, directoryEnd);
}

void AppendEntry(Bytes* b, const PackEntryBytes& e) {
  b->resize(b->size() + kEntrySize);
  PutEntry(b->data() + b->size() - kEntrySize, e.offset, e.size, e.name.data());
}

void AppendTerminator(Bytes* b) { b->insert(b->end(), kTerminatorSize, 0); }

Bytes PackDirectory(const std::vector<PackEntryBytes>& entries, int64_t directoryEnd) {
  Bytes b;
  const uint32_t end = static_cast<uint32_t>(kHeaderSize + kEntrySize * entries.size());
  AppendHeader(&b, directoryEnd < 0 ? end : static_cast<uint32_t>(directoryEnd));
  for (const PackEntryBytes& e : entries) AppendEntry(&b, e);
  AppendTerminator(&b);
  return b;
}

Bytes MakePack(const std::vector<PackMember>& members, uint32_t base, int64_t directoryEnd) {
  std::vector<PackEntryBytes> entries;
  uint32_t at = static_cast<uint32_t>(base + kHeaderSize + kEntrySize * members.size() + kTerminatorSize);
  for (const PackMember& m : members) {
    entries.push_back(PackEntryBytes{at, static_cast<uint32_t>(m.data.size()), NameField(m.name)});
    at += static_cast<uint32_t>(m.data.size());
  }
  Bytes b = PackDirectory(entries, directoryEnd);
  for (const PackMember& m : members) b.insert(b.end(), m.data.begin(), m.data.end());
  return b;
}

std::vector<uint64_t> EntryOffsets(const uint8_t* data, size_t size, size_t max) {
  std::vector<uint64_t> offsets;
  for (size_t p = kHeaderSize; p + kTerminatorSize <= size && offsets.size() < max; p += kEntrySize) {
    const uint32_t offset = EntryOffset(data + p);
    if (IsTerminator(offset, EntrySize(data + p))) break;
    bool seen = false;
    for (uint64_t o : offsets) seen = seen || o == offset;
    if (!seen) offsets.push_back(offset);
  }
  return offsets;
}

std::vector<std::string> EntryNames(const uint8_t* data, size_t size, size_t max) {
  std::vector<std::string> names;
  for (size_t p = kHeaderSize; p + kEntrySize <= size && names.size() < max; p += kEntrySize) {
    if (IsTerminator(EntryOffset(data + p), EntrySize(data + p))) break;
    const uint8_t* field = EntryNameField(data + p);
    if (IsValidNameField(field)) names.push_back(std::string(reinterpret_cast<const char*>(field + 1), field[0]));
  }
  return names;
}

std::string EntryName(const uint8_t* data, long index) {
  const uint8_t* field = EntryNameField(data + kHeaderSize + kEntrySize * static_cast<size_t>(index));
  return std::string(reinterpret_cast<const char*>(field + 1), field[0]);
}

PackScanOutcome ModelPackScan(const uint8_t* data, size_t size, const PackScanQuery& q) {
  PackScanOutcome out = {kOk, 0, -1, 0, 0};
  if (size < kHeaderSize) {
    out.result = kReadError;
    return out;
  }
  if (memcmp(data, kMagic, kMagicSize) != 0) {
    out.result = kUnknownFormat;
    return out;
  }
  const uint64_t directoryEnd = DirectoryEnd(data);
  const uint64_t records = directoryEnd / kEntrySize + 1;
  bool found = false;
  // A search by position that found an empty member: it goes on for a
  // member with data at the same position, and keeps the empty one when the
  // walk ends or fails first.
  bool keptEmpty = false;
  uint64_t p = kHeaderSize;
  for (long index = 0;; ++index, p += kEntrySize) {
    if (q.limit != 0 && p + kEntrySize > q.limit) break;
    if (p + kTerminatorSize > size) {
      out.result = kReadError;
      break;
    }
    const uint32_t offset = EntryOffset(data + p);
    const uint32_t length = EntrySize(data + p);
    if (IsTerminator(offset, length)) break;
    if (p + kEntrySize > size) {
      out.result = kReadError;
      break;
    }
    const uint8_t* field = EntryNameField(data + p);
    if (!IsValidNameField(field)) {
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
    char text[kNameFieldSize] = {0};
    memcpy(text, field + 1, field[0]);
    const bool byName = q.name != nullptr && NameMatches(q.name, text, q.ignoreCase);
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

bool IsMemberRecord(const fileInfo& r) {
  const size_t length = strnlen(r.filename, sizeof r.filename);
  return r.method[0] == ' ' && r.method[1] == 0 && r.compsize == r.filesize && r.timestamp == 0 && r.path[0] == 0 &&
         CheckName(reinterpret_cast<const unsigned char*>(r.filename), length) == kNameValid;
}

}  // namespace pack::model
