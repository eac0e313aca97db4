// kaldorin list: an archive's members.
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_archive_cause.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

struct ListOptions {
  PluginLoading plugins;
  DataInput input;
  Reporting report;
  std::vector<std::string> archive;
};

int RunList(const ListOptions& options, const PluginSet& set) {
  const std::string& path = options.archive[0];
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options.input, options.plugins, set, path, kKindArchive, &source);
  if (plugin == nullptr) return kExitFailure;
  std::vector<MemberRecord> members;
  CallFailure failure;
  if (!ListArchive(*plugin, source, &members, &failure)) {
    ReportError(path, ArchiveFailureText(*plugin, failure, source));
    return kExitFailure;
  }
  PrintListing(options.report.json, source, *plugin, members, false);
  return kExitOk;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<ListOptions>();
  DeclarePluginLoading(d, &o->plugins);
  DeclareDataInput(d, &o->input);
  DeclareReporting(d, &o->report);
  d->Operands(&o->archive, 1, 1, "list takes one archive");
  return [o] { return RunWithPlugins(o->plugins, [&](const PluginSet& set) { return RunList(*o, set); }); };
}

}  // namespace

extern const Command kListCommand = {
    "list", "ARCHIVE", "ARCHIVE\tlist an archive's members",
    "Lists an archive's members: size, position, method and name. ARCHIVE - reads\n"
    "standard input.\n",
    Declare};

}  // namespace kaldorin
