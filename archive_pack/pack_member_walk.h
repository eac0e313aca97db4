// Walking a PACK archive's members for hosts that show them (the browser
// viewer): each member in directory order as GetArchiveInfo lists it, then
// the archive's diagnosis (pack_diagnosis.h), through the same cursor.
// Library pack_reader: no plug-in, no platform.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_MEMBER_WALK_H
#define KALDORIN_ARCHIVE_PACK_PACK_MEMBER_WALK_H

#include <stddef.h>
#include <stdint.h>

#include "archive_pack/pack_diagnosis.h"
#include "common/read_ahead.h"

namespace pack {

// One member: `number` counts from 1; `name` is NUL-terminated and valid
// only during the call.
typedef void (*VisitMember)(void* context, uint32_t number, uint32_t offset, uint32_t size, const char* name);

// Reads the archive through `read` with `source` (null `read`: the `size`
// bytes at `data`) and calls `visit` for every member the directory holds
// before it ends or fails. Returns DiagnoseArchive's verdict, members
// checked against `dataEnd`, the archive's size in bytes (UINT64_MAX: not
// known).
ArchiveDiagnosis WalkArchiveMembers(ReadSomeBytes read, void* source, const uint8_t* data, size_t size,
                                    uint64_t dataEnd, VisitMember visit, void* context);

}  // namespace pack

#endif
