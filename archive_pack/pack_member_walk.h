// Walking a PACK archive's members for hosts: each member in directory
// order as GetArchiveInfo lists it, then the archive's diagnosis
// (pack_diagnosis.h), through the same cursor. The browser viewer shows the
// members as they come; the tool's rewriting commands (update, delete,
// rename) keep them as entries. Library pack_reader: no plug-in, no platform.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_MEMBER_WALK_H
#define KALDORIN_ARCHIVE_PACK_PACK_MEMBER_WALK_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "archive_pack/pack_diagnosis.h"
#include "common/read_ahead.h"

namespace pack {

// One member: `number` counts from 1; `name` is NUL-terminated and valid
// only during the call.
typedef void (*VisitMember)(void* context, uint32_t number, uint32_t offset, uint32_t size, const char* name);

// Reads the archive through `read` with `source` (null `read`: the `size`
// bytes at `data`) and calls `visit` (when not null) for every member the
// directory holds before it ends or fails. Returns DiagnoseArchive's
// verdict, members checked against `dataEnd`, the archive's size in bytes
// (UINT64_MAX: not known).
ArchiveDiagnosis WalkArchiveMembers(ReadSomeBytes read, void* source, const uint8_t* data, size_t size,
                                    uint64_t dataEnd, VisitMember visit, void* context);

// The walk over the archive at `file`'s position, whose member offsets
// count from the file's first byte, checked against the file's end (not
// checked when the file cannot be measured: a pipe). The file is left at an
// unspecified position.
ArchiveDiagnosis WalkArchiveFile(FILE* file, VisitMember visit, void* context);

struct ArchiveEntry {
  std::string name;
  uint32_t offset;  // from the file's first byte
  uint32_t size;
};

// The walk over the archive that starts at `file`'s first byte, its members
// kept as entries in directory order: entries from the first fault of the
// directory on are not given; a member whose data run past the end of the
// file is given like any other. Returns the walk's diagnosis.
ArchiveDiagnosis ReadArchiveEntries(FILE* file, std::vector<ArchiveEntry>* entries);

}  // namespace pack

#endif
