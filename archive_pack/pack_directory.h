// The PACK archive directory: an 8-byte header ("PACK", DirectoryEnd), then
// 24-byte entries (offset, size, counted name) ended by an entry whose
// offset and size are both 0. ScanDirectory reads and checks it and, as
// asked, only checks it, lists every member, or finds one member by name or
// by data position.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_DIRECTORY_H
#define KALDORIN_ARCHIVE_PACK_PACK_DIRECTORY_H

#include <stdint.h>

#include "common/plugin_api.h"
#include "common/source_stream.h"

constexpr LONG kPackHeaderSize = 8;
constexpr LONG kPackEntrySize = 24;
constexpr int kPackNameFieldSize = 16;
constexpr int kPackNameMaxLength = 14;

// What a scan does. A request with a listing lists; otherwise it looks up
// `name` (the first entry of that name wins) or `position` (the first entry
// at that position, unless it is empty and a later entry at that position
// has data: then that one), or, with neither, only checks the entries.
struct ScanRequest {
  SourceStream* stream;  // at the archive header unless a position is given
  LONG limit;            // 0: none; else stop before an entry ending beyond this many bytes
  HLOCAL* listing;       // listing: receives the new block of fileInfo records; null: no listing
  fileInfo* info;        // lookup: receives the matched member's record; null: none
  LPCSTR name;           // member name to find, or null
  bool ignoreCase;       // compare names without regard to case
  int64_t position;      // member offset to find, or -1
};

// Scans the directory as `request` says. Results: 0; 2 for a missing PACK
// magic or an invalid entry name; 4 or 5 when the listing block cannot be
// allocated or locked; 6 for a read failure, a member not found (limit 0
// only; without `info` nothing counts as found), a listing whose terminator
// is not at DirectoryEnd or that outgrows its block, or a stream position
// that cannot be taken, set or restored.
//
// A lookup by position reads the directory from byte 0 of the stream and
// puts the stream back where it was. Once it has found an empty member, a
// read failure or an invalid name further on ends it with that member. A
// scan with a limit reads only the bytes it checks, entry by entry. On success a listing leaves an unlocked
// block of one record per member plus an end record (first byte NUL) in
// `*request.listing`; on failure that block is freed and `*request.listing`
// is null. Records are written only inside the block or to `info`.
ResultCode ScanDirectory(const ScanRequest& request);

// Whether a 16-byte name field holds a valid member name: length byte 1..14,
// characters from 0-9, A-Z, a-z and '.', exactly one '.', and zero bytes
// after the name up to the end of the field.
bool IsValidMemberName(const unsigned char field[kPackNameFieldSize]);

// Fills the fields of `record` that describe a member: method " ", position,
// both sizes, timestamp 0, empty path and the name text (which must be
// NUL-terminated within 200 bytes). With `clearFirst` every byte of the
// record is zeroed first, so that it reads as a listing's record; a record
// in a zero-initialised block needs no clearing.
void FillMemberRecord(uint32_t offset, uint32_t size, const char* name, bool clearFirst, fileInfo* record);

#endif
