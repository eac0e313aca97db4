// Reading a PACK directory (pack_format.h) for chestrel's exports: probing,
// listing, and finding a member by name or by data position, each through
// the cursor of pack_cursor.h.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_DIRECTORY_H
#define KALDORIN_ARCHIVE_PACK_PACK_DIRECTORY_H

#include <stdint.h>
#include <string.h>

#include "archive_pack/pack_format.h"
#include "common/plugin_api.h"
#include "common/source_stream.h"

namespace pack {

// IsSupported's check of the probe at the stream: the header, then every
// entry up to the terminator or the last whole entry of the probe, read
// exactly, nothing past them. 0, or the first failure.
ResultCode ProbeDirectory(SourceStream* stream);

// A new block of one record per member, in directory order, and an end
// record (first byte NUL), left unlocked in `*listing`; null on failure.
// `Record` is fileInfo or fileInfoW (the wide exports' listing). Results: 0;
// 2 (not PACK, an invalid name); 4 or 5 when the block cannot be allocated
// or locked; 6 for a read failure, no members, a terminator other than at
// DirectoryEnd, or members beyond DirectoryEnd's room. The block has room
// for no more records than the stream's bytes can hold, so a DirectoryEnd
// past the end of the data costs nothing (it then fails with 6 or 2).
template <class Record>
ResultCode ListDirectory(SourceStream* stream, HLOCAL* listing);

// The first member called `name` (compared without regard to case with
// `ignoreCase`) into `*info`, every byte of it written. An ANSI name is
// compared as lstrcmpA / lstrcmpiA compare, a UTF-16 one unit by unit with
// ASCII letters folded. Results: 0; 2 (not PACK, an invalid name before
// it); 6 when it is not there, a read fails or `info` is null (nothing
// counts as found without a record). `*info` is written only on success.
template <class Record>
// `atFileStart` says that the stream is a file read from its first byte,
// whose directory chestrel's index may hold.
ResultCode FindByName(SourceStream* stream, SpiName name, bool ignoreCase, bool atFileStart, Record* info);

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

}  // namespace pack

#endif
