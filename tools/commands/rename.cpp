// kaldorin rename: one member's name changed, in its place.
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/kaldorin_rewrite.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

int RunRename(const EditOptions& o) {
  EditedArchive a;
  int status = OpenArchiveToEdit(o, &a);
  if (status != kExitOk) return status;
  const std::string& from = o.operands[1];
  const std::string& to = o.operands[2];
  std::vector<NewMember> members;
  bool found = false;
  for (const pack::ArchiveEntry& e : a.entries) {
    members.push_back(KeptMember(e));
    if (!found && SameMemberName(e.name, from)) {
      members.back().name = to;
      found = true;
    }
  }
  if (!found) {
    ReportError(a.path, "no member " + ShownName(from));
    return kExitFailure;
  }
  return WriteEditedArchive(o, &a, members, "1 renamed");
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<EditOptions>();
  DeclareEditOptions(d, o.get());
  d->Operands(&o->operands, 3, 3, "rename takes an archive, a member and its new name");
  return [o] { return RunRename(*o); };
}

}  // namespace

extern const Command kRenameCommand = {
    "rename", "ARCHIVE OLD NEW", "ARCHIVE OLD NEW\trename a member",
    "Renames member OLD (found without regard to case) to NEW, which must be a\n"
    "name that can be stored and no other member's. -o writes the result\n"
    "elsewhere.\n",
    Declare};

}  // namespace kaldorin
