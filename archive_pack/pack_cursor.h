// The PACK directory cursor, private to archive_pack/: it reads and checks
// the header (OpenDirectory) and then one entry at a time (NextEntry),
// through a read-ahead over any reader. pack_directory.cpp builds the
// exports' four uses on it, pack_diagnosis.cpp the hosts' diagnosis.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_CURSOR_H
#define KALDORIN_ARCHIVE_PACK_PACK_CURSOR_H

#include <stdint.h>
#include <string.h>

#include "archive_pack/pack_diagnosis.h"
#include "archive_pack/pack_format.h"
#include "archive_pack/pack_name_check.h"
#include "common/plugin_api.h"
#include "common/read_ahead.h"

namespace pack {

// How the cursor reads. Read-ahead fills a 31.5 KiB buffer at a time: a
// lookup by position reads the directory up to its member on every call, so
// fewer, longer reads pay. Exact reads take only the bytes the entry needs:
// a host may hand over a whole archive shorter than the probe, straight
// from its memory.
enum DirectoryReads { kReadAhead, kReadExactly };

constexpr size_t kDirectoryBuffer = kEntrySize * 1344;  // 31.5 KiB

struct Directory {
  ReadAhead ahead;        // over the bytes after the header; base counts from the header
  uint32_t directoryEnd;  // as the header gives it
  bool exact;
  ArchiveFault fault;  // why the cursor stopped, once NextEntry returned null
  uint32_t entries;    // entries NextEntry has given
  size_t next;         // first unread byte in `bytes`: the next entry's
  unsigned char bytes[kDirectoryBuffer];
  unsigned char split[kEntrySize];  // an entry read in two parts
};

// Reads the header with one read of `read` with `source` (null `read`: the
// `size` bytes at `data`) and starts the cursor after it: 0; 2 when it is
// not "PACK"; 6 when it cannot be read. `dir->fault` says which.
ResultCode OpenDirectory(ReadSomeBytes read, void* source, const uint8_t* data, size_t size, DirectoryReads reads,
                         Directory* dir);

// Reads the entry at EntryAt: its 24 bytes (EntryOffset, EntrySize,
// MemberName), kept until the next read, and the cursor moves on. Null when
// the directory ends there, `*result` saying why (and `dir->fault` in
// detail): 0 at the terminator, 2 for an invalid name, 6 when the entry
// cannot be read. (Defined below: it is every lookup's inner loop.)
inline const unsigned char* NextEntry(Directory* dir, ResultCode* result);

// NextEntry until an entry whose member starts at `position`: that entry,
// or null where NextEntry ends the directory. (Defined below: it is every
// lookup by position's inner loop.)
inline const unsigned char* NextEntryAt(Directory* dir, int64_t position, ResultCode* result);

// The offset from the header of the entry NextEntry reads next, or of the
// terminator it stopped at.
inline int64_t EntryAt(const Directory& dir) { return static_cast<int64_t>(dir.ahead.base + dir.next); }

// Why a listing that read `used` entries into room for `capacity` fails,
// after NextEntry stopped with `result`; kArchiveFine when it lists. A
// listing needs a member, the terminator at DirectoryEnd and room for its
// end record.
ArchiveFault ListingFault(const Directory& dir, ResultCode result, uint64_t used, uint64_t capacity);

// The name of an entry that NextEntry gave, NUL-terminated in its field.
inline const char* MemberName(const unsigned char* entry) {
  return reinterpret_cast<const char*>(EntryNameField(entry) + 1);
}

// NextEntry for an entry that is not whole in the buffer.
const unsigned char* NextEntryInParts(Directory* dir, ResultCode* result);

// NextEntry's answer for `entry`, whose offset and size say whether it is
// the terminator.
inline const unsigned char* CheckEntry(Directory* dir, const unsigned char* entry, uint32_t offset, uint32_t size,
                                       ResultCode* result) {
  if (IsTerminator(offset, size)) {
    dir->fault = kArchiveFine;
    *result = kResultOk;
    return nullptr;
  }
  if (!IsValidNameFieldFast(EntryNameField(entry))) {
    dir->fault = kArchiveInvalidName;
    *result = kResultUnknownFormat;
    return nullptr;
  }
  ++dir->entries;
  return entry;
}

inline const unsigned char* NextEntry(Directory* dir, ResultCode* result) {
  const unsigned char* at = dir->bytes + dir->next;
  if (dir->ahead.filled - dir->next < kEntrySize) return NextEntryInParts(dir, result);
  const unsigned char* entry = CheckEntry(dir, at, EntryOffset(at), EntrySize(at), result);
  if (entry != nullptr) dir->next += kEntrySize;
  return entry;
}

// The entries whole in the buffer are passed over in a loop of their own,
// free of calls, so that the cursor stays in registers; NextEntry reads the
// one they stop at.
inline const unsigned char* NextEntryAt(Directory* dir, int64_t position, ResultCode* result) {
  for (;;) {
    size_t next = dir->next;
    for (; dir->ahead.filled - next >= kEntrySize; next += kEntrySize) {
      const unsigned char* entry = dir->bytes + next;
      if (EntryOffset(entry) == position || IsTerminator(EntryOffset(entry), EntrySize(entry)) ||
          !IsValidNameFieldFast(EntryNameField(entry))) {
        break;
      }
    }
    dir->entries += static_cast<uint32_t>((next - dir->next) / kEntrySize);
    dir->next = next;
    const unsigned char* entry = NextEntry(dir, result);
    if (entry == nullptr || EntryOffset(entry) == position) return entry;
  }
}

}  // namespace pack

#endif
