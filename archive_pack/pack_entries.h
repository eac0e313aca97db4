// An archive's entries for hosts that rewrite it (kaldorin update, delete,
// rename): each member's name, position and size, read through the same
// directory cursor as the plug-in, with the diagnosis of the whole archive
// (library pack_reader).
#ifndef KALDORIN_ARCHIVE_PACK_PACK_ENTRIES_H
#define KALDORIN_ARCHIVE_PACK_PACK_ENTRIES_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "archive_pack/pack_diagnosis.h"

namespace pack {

struct ArchiveEntry {
  std::string name;
  uint32_t offset;  // from the file's first byte
  uint32_t size;
};

// Reads the entries of the archive that starts at `file`'s first byte, in
// directory order, as far as the directory can be read: entries from the
// first fault of the directory on are not given. Returns the diagnosis of
// the whole archive (DiagnoseArchiveFile); a member whose data run past the
// end of the file is given like any other.
ArchiveDiagnosis ReadArchiveEntries(FILE* file, std::vector<ArchiveEntry>* entries);

}  // namespace pack

#endif
