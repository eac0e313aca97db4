// Why an archive fails, for hosts: the cause behind chestrel's result codes
// and the entry it concerns, in plain words. It reads the archive as
// GetArchiveInfo does, through the same directory cursor, and needs neither
// the plug-in nor the platform (library pack_reader).
#ifndef KALDORIN_ARCHIVE_PACK_PACK_DIAGNOSIS_H
#define KALDORIN_ARCHIVE_PACK_PACK_DIAGNOSIS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

namespace pack {

// The causes, each with the result code the exports give for it (ResultOf).
enum ArchiveFault {
  kArchiveFine,              // 0: it lists, and every member lies within the file
  kArchiveNotPack,           // 2: the first four bytes are not "PACK"
  kArchiveHeaderCut,         // 6: fewer than the header's 8 bytes
  kArchiveReadFailed,        // 6: the source reported a read error
  kArchiveDirectoryPastEnd,  // 6: the directory runs past the end of the file
  kArchiveNoTerminator,      // 6: no terminator where the header says the directory ends
  kArchiveNoMembers,         // 6: the directory ends before its first entry
  kArchiveInvalidName,       // 2: an entry's member name breaks the name rule
  kArchiveMemberPastEnd,     // 6 (GetFile): a member's data runs past the end of the file
};

struct ArchiveDiagnosis {
  ArchiveFault fault;
  uint32_t member;  // the entry concerned, 1 for the first; 0 when none is
};

// The archive at the `size` bytes of `data` (a memory image).
ArchiveDiagnosis DiagnoseArchive(const void* data, size_t size);

// The archive at `file`'s position, whose member offsets count from the
// file's first byte. The file is left at an unspecified position. When the
// file cannot be measured (a pipe) members are not checked against its end.
ArchiveDiagnosis DiagnoseArchiveFile(FILE* file);

// The result code chestrel gives for `fault`: GetArchiveInfo's for a fault
// of the directory, GetFile's for a member past the end.
int ArchiveFaultResult(ArchiveFault fault);

// The cause in plain words, without a full stop ("member 3's name is not
// valid"), written NUL-terminated into `text` (cut to `size` bytes).
void DescribeArchiveFault(const ArchiveDiagnosis& diagnosis, char* text, size_t size);

}  // namespace pack

#endif
