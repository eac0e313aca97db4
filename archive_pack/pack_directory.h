// Reading a PACK directory (pack_format.h): a cursor that reads and checks
// the header (OpenDirectory) and then one entry at a time (NextEntry), and
// its four uses, one per export: probing, listing, and finding a member by
// name or by data position.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_DIRECTORY_H
#define KALDORIN_ARCHIVE_PACK_PACK_DIRECTORY_H

#include <stdint.h>
#include <string.h>

#include "archive_pack/pack_format.h"
#include "archive_pack/pack_name_check.h"
#include "common/plugin_api.h"
#include "common/source_stream.h"

namespace pack {

// How the cursor reads. Read-ahead fills a 31.5 KiB buffer at a time: a
// lookup by position reads the directory up to its member on every call, so
// fewer, longer reads pay. Exact reads take only the bytes the entry needs:
// a host may hand over a whole archive shorter than the probe, straight
// from its memory.
enum DirectoryReads { kReadAhead, kReadExactly };

constexpr LONG kDirectoryBuffer = kEntrySize * 1344;  // 31.5 KiB

struct Directory {
  SourceStream* stream;
  uint32_t directoryEnd;  // as the header gives it
  bool exact;
  bool ended;    // the stream has nothing more to give
  int64_t base;  // offset from the header of bytes[0]
  LONG next;     // first unread byte in `bytes`: the next entry's
  LONG filled;   // bytes held in `bytes`
  unsigned char bytes[kDirectoryBuffer];
  unsigned char split[kEntrySize];  // an entry read in two parts
};

// Reads the header at the stream's position: 0; 2 when it is not "PACK";
// 6 when it cannot be read.
ResultCode OpenDirectory(SourceStream* stream, DirectoryReads reads, Directory* dir);

// Reads the entry at EntryAt: its 24 bytes (EntryOffset, EntrySize,
// MemberName), kept until the next read, and the cursor moves on. Null when
// the directory ends there, `*result` saying why: 0 at the terminator, 2 for
// an invalid name, 6 when the entry cannot be read. (Defined below: it is
// every lookup's inner loop.)
inline const unsigned char* NextEntry(Directory* dir, ResultCode* result);

// NextEntry until an entry whose member starts at `position`: that entry,
// or null where NextEntry ends the directory. (Defined below: it is every
// lookup by position's inner loop.)
inline const unsigned char* NextEntryAt(Directory* dir, int64_t position, ResultCode* result);

// The offset from the header of the entry NextEntry reads next, or of the
// terminator it stopped at.
inline int64_t EntryAt(const Directory& dir) { return dir.base + dir.next; }

// The name of an entry that NextEntry gave, NUL-terminated in its field.
inline const char* MemberName(const unsigned char* entry) {
  return reinterpret_cast<const char*>(EntryNameField(entry) + 1);
}

// IsSupported's check of the probe at the stream: the header, then every
// entry up to the terminator or the last whole entry of the probe, read
// exactly, nothing past them. 0, or the first failure.
ResultCode ProbeDirectory(SourceStream* stream);

// A new block of one record per member, in directory order, and an end
// record (first byte NUL), left unlocked in `*listing`; null on failure.
// `Record` is fileInfo or fileInfoW (the wide exports' listing). Results: 0;
// 2 (not PACK, an invalid name); 4 or 5 when the block cannot be allocated
// or locked; 6 for a read failure, no members, a terminator other than at
// DirectoryEnd, or members beyond DirectoryEnd's room.
template <class Record>
ResultCode ListDirectory(SourceStream* stream, HLOCAL* listing);

// The first member called `name` (compared without regard to case with
// `ignoreCase`) into `*info`, every byte of it written. An ANSI name is
// compared as lstrcmpA / lstrcmpiA compare, a UTF-16 one unit by unit with
// ASCII letters folded. Results: 0; 2 (not PACK, an invalid name before
// it); 6 when it is not there, a read fails or `info` is null (nothing
// counts as found without a record). `*info` is written only on success.
template <class Record>
ResultCode FindByName(SourceStream* stream, SpiName name, bool ignoreCase, Record* info);

// The member whose data starts at `position` into `*info`, every byte of it
// written: the first entry with that position, unless it is empty (an empty
// member starts at the same byte as the member after it) and a later entry
// at that position has data; the empty member stands when the directory
// ends, or an entry cannot be read, before such an entry. The directory is
// read from byte 0 of the stream, which is put back where it was. Results
// as FindByName's, and 6 when the stream position cannot be taken, set or
// restored.
ResultCode FindByPosition(SourceStream* stream, int64_t position, fileInfo* info);

// Fills the fields of `record` (fileInfo or fileInfoW) that describe a
// member: method " ", position, both sizes, timestamp 0, empty path and the
// name text (which must be NUL-terminated within 200 bytes; a wide record
// gets each byte as one unit). With `clearFirst` every byte of the record is
// zeroed first, so that it reads as a listing's record; a record in a
// zero-initialised block needs no clearing.
template <class Record>
void FillMemberRecord(uint32_t offset, uint32_t size, const char* name, bool clearFirst, Record* record) {
  if (clearFirst) memset(record, 0, sizeof *record);
  record->method[0] = ' ';
  record->method[1] = '\0';
  record->position = offset;
  record->compsize = size;
  record->filesize = size;
  record->timestamp = 0;
  record->path[0] = 0;
  size_t length = 0;
  for (; name[length] != '\0'; ++length) record->filename[length] = static_cast<unsigned char>(name[length]);
  record->filename[length] = 0;
}

// NextEntry for an entry that is not whole in the buffer.
const unsigned char* NextEntryInParts(Directory* dir, ResultCode* result);

// NextEntry's answer for `entry`, whose offset and size say whether it is
// the terminator.
inline const unsigned char* CheckEntry(const unsigned char* entry, uint32_t offset, uint32_t size,
                                       ResultCode* result) {
  if (IsTerminator(offset, size)) {
    *result = kResultOk;
    return nullptr;
  }
  if (!IsValidNameFieldFast(EntryNameField(entry))) {
    *result = kResultUnknownFormat;
    return nullptr;
  }
  return entry;
}

inline const unsigned char* NextEntry(Directory* dir, ResultCode* result) {
  if (dir->filled - dir->next < kEntrySize) return NextEntryInParts(dir, result);
  const unsigned char* entry = CheckEntry(dir->bytes + dir->next, EntryOffset(dir->bytes + dir->next),
                                          EntrySize(dir->bytes + dir->next), result);
  if (entry != nullptr) dir->next += kEntrySize;
  return entry;
}

// The entries whole in the buffer are passed over in a loop of their own,
// free of calls, so that the cursor stays in registers; NextEntry reads the
// one they stop at.
inline const unsigned char* NextEntryAt(Directory* dir, int64_t position, ResultCode* result) {
  for (;;) {
    LONG next = dir->next;
    for (; dir->filled - next >= kEntrySize; next += kEntrySize) {
      const unsigned char* entry = dir->bytes + next;
      if (EntryOffset(entry) == position || IsTerminator(EntryOffset(entry), EntrySize(entry)) ||
          !IsValidNameFieldFast(EntryNameField(entry))) {
        break;
      }
    }
    dir->next = next;
    const unsigned char* entry = NextEntry(dir, result);
    if (entry == nullptr || EntryOffset(entry) == position) return entry;
  }
}

}  // namespace pack

#endif
