// Writes PACK archives (pack_format.h): one entry per member, an all-zero
// terminating entry, then the members' bytes stored as they are. A library
// of its own for the kaldorin tool, the tests and the fuzzers' seeds.
#ifndef KALDORIN_ARCHIVE_PACK_PACK_WRITER_H
#define KALDORIN_ARCHIVE_PACK_PACK_WRITER_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace pack {

struct PackInput {
  std::string name;  // member name as stored
  std::string path;  // file holding the member's bytes (UTF-8)
};

// Whether `name` can be stored (pack_format.h's CheckName). On refusal `why`
// says in words which part of the rule it breaks.
bool CheckMemberName(const std::string& name, std::string* why);

// Whether `names` can be stored together: each one storable and no two
// equal when case is ignored. On refusal `why` names the name and the cause.
bool CheckMemberNames(const std::vector<std::string>& names, std::string* why);

// Called with bytes written so far and the total; true = stop.
typedef bool (*PackProgress)(uint64_t done, uint64_t total, void* user);

struct PackResult {
  uint64_t members = 0;
  uint64_t archiveBytes = 0;
};

// Writes the archive to `out` (its bytes from the current position on).
// Refuses, before writing anything, names that cannot be stored, names that
// are equal when case is ignored (a host may look members up without regard
// to case), and archives in which a member would end past
// kLargestMemberEnd, beyond the reach of the plug-ins' 32-bit signed file
// offsets. A member file that changes size while it is being copied is an
// error. `error` says what the system said of a failed write. On failure
// `out` may hold a partial archive: callers write to a temporary file.
bool WritePack(FILE* out, const std::vector<PackInput>& inputs, PackProgress progress, void* user, PackResult* result,
               std::string* error);

// The layout alone: the offset of each member for the given sizes, or false
// with `error` (then `offsets` holds the members before the one that does
// not fit). Data members follow the directory in order; an empty member
// gets the offset of its own directory entry, where no other member starts,
// so that no two members share a starting position.
bool PlanPack(const std::vector<uint64_t>& sizes, std::vector<uint32_t>* offsets, std::string* error);

// The directory of an archive laid out by PlanPack: the header, one entry
// per member (`names`, `sizes` and `offsets` alike in length, the names
// already checked) and the all-zero terminating entry.
std::vector<uint8_t> EncodePackDirectory(const std::vector<std::string>& names, const std::vector<uint64_t>& sizes,
                                         const std::vector<uint32_t>& offsets);

}  // namespace pack

#endif
