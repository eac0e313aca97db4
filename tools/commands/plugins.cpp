// kaldorin plugins: the plug-ins found and their information.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

namespace {

struct PluginsOptions {
  PluginLoading plugins;
  Reporting report;
};

const char* KindName(PluginKind kind) {
  switch (kind) {
    case kKindPicture: return "picture";
    case kKindArchive: return "archive";
    default: return "other";
  }
}

// Which exports of a plug-in the tool calls: the wide ones (UTF-16 file
// names) where it has them, else the ANSI ones.
const char* NameForms(const HostPlugin& p) {
  const bool wide = p.isSupportedW || p.getPictureInfoW || p.getPictureW || p.getArchiveInfoW || p.getFileInfoW ||
                    p.getFileW;
  return wide ? "ANSI and wide" : "ANSI only";
}


int RunPlugins(const PluginsOptions& options, const PluginSet& set) {
  if (options.report.json) printf("[");
  bool first = true;
  for (const HostPlugin& p : set.plugins) {
    if (options.report.json) {
      printf("%s\n  {\"file\": %s, \"api\": %s, \"kind\": \"%s\", \"exports\": \"%s\", \"info\": [", first ? "" : ",",
             JsonString(p.fileName).c_str(), JsonString(p.apiVersion).c_str(), KindName(p.kind), NameForms(p));
      for (size_t i = 0; i < p.infoTexts.size(); ++i) {
        printf("%s%s", i ? ", " : "", JsonString(p.infoTexts[i]).c_str());
      }
      printf("]}");
      first = false;
      continue;
    }
    printf("%s  API %s, %s plug-in, %s exports\n", ShownName(p.fileName).c_str(), VisibleText(p.apiVersion).c_str(), KindName(p.kind),
           NameForms(p));
    if (!p.infoTexts.empty()) printf("  %s\n", VisibleText(p.infoTexts[0]).c_str());
    for (size_t i = 1; i + 1 < p.infoTexts.size(); i += 2) {
      printf("  %-10s %s\n", VisibleText(p.infoTexts[i]).c_str(), VisibleText(p.infoTexts[i + 1]).c_str());
    }
  }
  if (options.report.json) printf("\n]\n");
  for (const std::string& f : set.failures) fprintf(stderr, "kaldorin: %s\n", VisibleText(f).c_str());
  if (set.plugins.empty()) {
    ReportError(PluginFolder(options.plugins.folder), "no plug-ins found");
    return kExitFailure;
  }
  return kExitOk;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<PluginsOptions>();
  DeclarePluginLoading(d, &o->plugins);
  DeclareReporting(d, &o->report);
  return [o] { return RunWithPlugins(o->plugins, [&](const PluginSet& set) { return RunPlugins(*o, set); }); };
}

}  // namespace

extern const Command kPluginsCommand = {
    "plugins", "", "\tlist the plug-ins found and their information",
    "Loads every plug-in of the plug-in folder (*.spi; *.sph in the 64-bit Windows build)\n"
    "and prints each one's file, API version, kind and information strings.\n",
    Declare};

}  // namespace kaldorin
