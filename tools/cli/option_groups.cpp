#include "tools/cli/option_groups.h"

#include <stdio.h>

#include "tools/kaldorin_plugin_host.h"
#include "tools/kaldorin_messages.h"
#include "tools/kaldorin_shown_names.h"

namespace kaldorin {

void DeclareReporting(Declaration* d, Reporting* r) {
  d->Option(kOptJson, &r->json);
  d->Option(kOptQuiet, &r->quiet);
}

void DeclareQuiet(Declaration* d, Reporting* r) { d->Option(kOptQuiet, &r->quiet); }

void DeclarePluginLoading(Declaration* d, PluginLoading* p) {
  d->Option(kOptPlugins, &p->folder);
  d->Option(kOptVerbose, &p->verbose);
}

void DeclareDataInput(Declaration* d, DataInput* in) {
  d->Option(kOptOffset, &in->offset);
  d->Option(kOptFromMemory, &in->fromMemory);
}

PluginTestHooks* TestHooksForPlugins() {
  static PluginTestHooks hooks;
  return &hooks;
}

void ReportError(const std::string& subject, const std::string& cause) {
  WriteMessage(stderr, "kaldorin: " + ShownName(subject) + ": " + VisibleText(cause) + "\n");
}

int RunWithPlugins(const PluginLoading& p, const std::function<int(const PluginSet&)>& run) {
  const PluginTestHooks& hooks = *TestHooksForPlugins();
  if (p.verbose) SetCallTrace(true);
  PluginSet set;
  std::string folder = PluginFolder(p.folder);
  std::string error;
  if (!LoadPluginFolder(folder, &set, &error)) {
    ReportError(folder, error);
    return kExitFailure;
  }
  if (!hooks.injectFault.empty() && !InjectPlatformFault(set, hooks.injectFault)) {
    UnloadPlugins(&set);
    fprintf(stderr, "kaldorin: --inject-fault: no platform stand-in call %s\n", hooks.injectFault.c_str());
    return kExitUsage;
  }
  int status = run(set);
  if (hooks.checkLeaks) {
    long blocks = 0;
    long streams = 0;
    if (CountLiveResources(set, &blocks, &streams)) {
      fprintf(stderr, "kaldorin: live plug-in resources: %ld blocks, %ld streams\n", blocks, streams);
      if ((blocks != 0 || streams != 0) && status == kExitOk) status = kExitFailure;
    }
  }
  UnloadPlugins(&set);
  return status;
}

}  // namespace kaldorin
