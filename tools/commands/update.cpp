// kaldorin update: members replaced by files of the same name, new ones added.
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_rewrite.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

int RunUpdate(const EditOptions& o) {
  std::vector<NewMember> files;
  for (size_t i = 1; i < o.operands.size(); ++i) {
    const std::string& file = o.operands[i];
    NewMember m;
    m.name = BaseName(file);
    m.path = file;
    if (IsDirectory(file) || !FileSizeOf(file, &m.size)) {
      ReportError(file, IsDirectory(file) ? "is a folder, not a file" : "no such file");
      return kExitFailure;
    }
    for (const NewMember& f : files) {
      if (SameMemberName(f.name, m.name)) {
        ReportError(file, "two files would both be member " + ShownName(m.name));
        return kExitFailure;
      }
    }
    files.push_back(m);
  }
  EditedArchive a;
  int status = OpenArchiveToEdit(o, &a);
  if (status != kExitOk) return status;
  std::vector<NewMember> members;
  std::vector<bool> used(files.size(), false);
  for (const pack::ArchiveEntry& e : a.entries) {
    members.push_back(KeptMember(e));
    for (size_t i = 0; i < files.size(); ++i) {
      if (!used[i] && SameMemberName(files[i].name, e.name)) {
        // The member keeps its stored name and its place.
        members.back().path = files[i].path;
        members.back().size = files[i].size;
        used[i] = true;
      }
    }
  }
  size_t added = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!used[i]) {
      members.push_back(files[i]);
      ++added;
    }
  }
  return WriteEditedArchive(o, &a, members,
                            std::to_string(files.size() - added) + " replaced, " + std::to_string(added) + " added");
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<EditOptions>();
  DeclareEditOptions(d, o.get());
  d->Operands(&o->operands, 2, Declaration::kAnyNumber, "update needs an archive and at least one file");
  return [o] { return RunUpdate(*o); };
}

}  // namespace

extern const Command kUpdateCommand = {
    "update", "ARCHIVE FILE...", "ARCHIVE FILE...\treplace members by files of the same name, add the others",
    "Replaces each member named like a FILE (names compared without regard to\n"
    "case) by the file's bytes and adds the other files at the end. The other\n"
    "members keep their bytes and order. The archive is replaced only by the\n"
    "complete new one; -o writes it elsewhere.\n",
    Declare};

}  // namespace kaldorin
