// kaldorin info: which plug-in takes each file, and the picture's
// information or the archive's member list.
#include <stdio.h>
#include <string.h>

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

struct InfoOptions {
  PluginLoading plugins;
  DataInput input;
  Reporting report;
  std::vector<std::string> files;
};

void PrintPictureInfo(const InfoOptions& options, const DataSource& source, const HostPlugin& plugin,
                      const PictureInfo& info, const std::string& text) {
  if (options.report.json) {
    printf("{\"file\": %s, \"plugin\": %s, \"api\": %s, \"type\": \"picture\", \"width\": %u, \"height\": %u, "
           "\"depth\": %d, \"left\": %d, \"top\": %d, \"x_density\": %u, \"y_density\": %u, \"text\": %s}\n",
           JsonString(source.name).c_str(), JsonString(plugin.fileName).c_str(),
           JsonString(plugin.apiVersion).c_str(), info.width, info.height, info.colorDepth, info.left, info.top,
           info.x_density, info.y_density, JsonString(text).c_str());
    return;
  }
  printf("%s\n", ShownName(source.name).c_str());
  printf("  plug-in   %s (%s)\n", ShownName(plugin.fileName).c_str(), VisibleText(plugin.apiVersion).c_str());
  printf("  type      picture\n");
  printf("  size      %u x %u\n", info.width, info.height);
  printf("  depth     %d bits per pixel\n", info.colorDepth);
  if (info.left != 0 || info.top != 0) printf("  origin    %d, %d\n", info.left, info.top);
  if (info.x_density != 0 || info.y_density != 0) printf("  density   %u x %u\n", info.x_density, info.y_density);
  if (!text.empty()) printf("  text      %s\n", VisibleText(text).c_str());
}

int InfoOne(const InfoOptions& options, const PluginSet& set, const std::string& path) {
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options.input, options.plugins, set, path, kKindOther, &source);
  if (plugin == nullptr) return kExitFailure;
  CallFailure failure;
  if (plugin->kind == kKindPicture) {
    PictureInfo info;
    std::string text;
    if (!PictureInformation(*plugin, source, &info, &text, &failure)) {
      ReportError(path, FailureText(*plugin, failure));
      return kExitFailure;
    }
    PrintPictureInfo(options, source, *plugin, info, text);
    return kExitOk;
  }
  std::vector<MemberRecord> members;
  if (!ListArchive(*plugin, source, &members, &failure)) {
    ReportError(path, ArchiveFailureText(*plugin, failure, source));
    return kExitFailure;
  }
  PrintListing(options.report.json, source, *plugin, members, true);
  return kExitOk;
}


int RunInfo(const InfoOptions& options, const PluginSet& set) {
  int status = kExitOk;
  for (const std::string& path : options.files) {
    int s = InfoOne(options, set, path);
    if (s != kExitOk) status = s;
  }
  return status;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<InfoOptions>();
  DeclarePluginLoading(d, &o->plugins);
  DeclareDataInput(d, &o->input);
  DeclareReporting(d, &o->report);
  d->Operands(&o->files, 1, Declaration::kAnyNumber, "info needs a file");
  return [o] { return RunWithPlugins(o->plugins, [&](const PluginSet& set) { return RunInfo(*o, set); }); };
}

}  // namespace

extern const Command kInfoCommand = {
    "info", "FILE...", "FILE...\twhich plug-in takes a file, picture information or member list",
    "Names the plug-in that takes each FILE and prints the picture's information or the\n"
    "archive's member list. FILE - reads standard input.\n",
    Declare};

}  // namespace kaldorin
