// Option groups that several commands share, each with the routine that
// declares it; a command's options struct holds the groups it uses and its
// own fields.
#ifndef KALDORIN_TOOLS_CLI_OPTION_GROUPS_H
#define KALDORIN_TOOLS_CLI_OPTION_GROUPS_H

#include <stdint.h>

#include <functional>
#include <string>

#include "tools/cli/command.h"
#include "tools/kaldorin_plugin_host.h"

namespace kaldorin {

// -q and --json: how results are reported.
struct Reporting {
  bool quiet = false;
  bool json = false;
  bool toStandardError = false;  // set when standard output carries the command's data
};
void DeclareReporting(Declaration* d, Reporting* r);
void DeclareQuiet(Declaration* d, Reporting* r);  // -q alone

// --plugins and -v: which plug-ins are loaded and how their calls are traced.
struct PluginLoading {
  std::string folder;  // empty: see PluginFolder
  bool verbose = false;
};

// The plug-in test hooks, which every command takes (the parser binds them):
// --check-leaks and --inject-fault.
struct PluginTestHooks {
  bool checkLeaks = false;
  std::string injectFault;
};
PluginTestHooks* TestHooksForPlugins();
void DeclarePluginLoading(Declaration* d, PluginLoading* p);

// --offset and --from-memory: how the data reaches the plug-in.
struct DataInput {
  uint64_t offset = 0;
  bool fromMemory = false;
};
void DeclareDataInput(Declaration* d, DataInput* in);

// Loads the plug-ins, runs `run` with them, reports live plug-in resources
// with --check-leaks and unloads them; returns run's exit status (or
// kExitFailure when the folder cannot be loaded).
int RunWithPlugins(const PluginLoading& p, const std::function<int(const PluginSet&)>& run);

// One error line on standard error: "kaldorin: SUBJECT: CAUSE".
void ReportError(const std::string& subject, const std::string& cause);

}  // namespace kaldorin

#endif
