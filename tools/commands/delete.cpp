// kaldorin delete: members removed by name or pattern.
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_rewrite.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

int RunDelete(const EditOptions& o) {
  EditedArchive a;
  int status = OpenArchiveToEdit(o, &a);
  if (status != kExitOk) return status;
  std::vector<bool> gone(a.entries.size(), false);
  for (size_t i = 1; i < o.operands.size(); ++i) {
    bool matched = false;
    for (size_t j = 0; j < a.entries.size(); ++j) {
      if (MatchesPattern(o.operands[i], a.entries[j].name)) gone[j] = matched = true;
    }
    if (!matched) {
      ReportError(a.path, (IsPattern(o.operands[i]) ? "no member matches " : "no member ") + ShownName(o.operands[i]));
      status = kExitFailure;
    }
  }
  if (status != kExitOk) return status;
  std::vector<NewMember> members;
  for (size_t j = 0; j < a.entries.size(); ++j) {
    if (!gone[j]) members.push_back(KeptMember(a.entries[j]));
  }
  return WriteEditedArchive(o, &a, members, std::to_string(a.entries.size() - members.size()) + " deleted");
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<EditOptions>();
  DeclareEditOptions(d, o.get());
  d->Operands(&o->operands, 2, Declaration::kAnyNumber, "delete needs an archive and at least one member");
  return [o] { return RunDelete(*o); };
}

}  // namespace

extern const Command kDeleteCommand = {
    "delete", "ARCHIVE MEMBER|PATTERN...", "ARCHIVE MEMBER...\tremove members from an archive",
    "Removes the members named (without regard to case) or matched by shell\n"
    "patterns (*, ?, [a-z]). A name or pattern that matches nothing is an error;\n"
    "the last member cannot be deleted. -o writes the result elsewhere.\n",
    Declare};

}  // namespace kaldorin
