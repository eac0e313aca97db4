// Rewriting a PACK archive (update, delete, rename): the archive is read
// directly through the PACK reader, checked to be one that can be rewritten
// faithfully, and replaced only by a complete new archive, written beside
// its target under a temporary name, flushed to the disk and renamed over
// it. Untouched members keep their bytes and order; their bytes are copied
// by the system (copy_file_range) where it can.
#ifndef KALDORIN_TOOLS_KALDORIN_REWRITE_H
#define KALDORIN_TOOLS_KALDORIN_REWRITE_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "archive_pack/pack_member_walk.h"
#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"

namespace kaldorin {

// The options the three commands share: -o, -f, --repair, -q, --json and
// the hidden --fail-write hook.
struct EditOptions {
  Reporting report;
  std::string output;  // empty: replace the archive itself
  bool force = false;
  bool repair = false;
  uint64_t failWrite = 0;  // test hook: the Nth write of the new archive fails as on a full disk
  std::vector<std::string> operands;
};
void DeclareEditOptions(Declaration* d, EditOptions* o);

// An archive opened for rewriting: its entries, all of which can be copied.
struct EditedArchive {
  std::string path;
  FILE* file = nullptr;
  std::vector<pack::ArchiveEntry> entries;
  ~EditedArchive();
};

// Opens and checks the archive. Refuses (reporting the cause, returning an
// exit status) a damaged directory, data past the end of the file, members
// that overlap or share a position and names equal when case is ignored;
// with --repair leaves such members out instead, reporting each.
int OpenArchiveToEdit(const EditOptions& o, EditedArchive* a);

// A member of the new archive: `path` empty takes `size` bytes of the old
// archive from `from`; otherwise the whole file at `path`.
struct NewMember {
  std::string name;
  std::string path;
  uint64_t from = 0;
  uint64_t size = 0;
};
NewMember KeptMember(const pack::ArchiveEntry& e);

// Writes the new archive of `members` to -o's file or over the archive and
// reports `what` ("2 deleted"). Returns an exit status.
int WriteEditedArchive(const EditOptions& o, EditedArchive* a, const std::vector<NewMember>& members,
                       const std::string& what);

// Whether two member names are equal when case is ignored.
bool SameMemberName(const std::string& a, const std::string& b);

}  // namespace kaldorin

#endif
