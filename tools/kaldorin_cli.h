// Options and subcommands of the kaldorin tool.
#ifndef KALDORIN_TOOLS_KALDORIN_CLI_H
#define KALDORIN_TOOLS_KALDORIN_CLI_H

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/kaldorin_plugin_host.h"

namespace kaldorin {

enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitCancelled = 130 };

struct Options {
  std::string command;
  std::vector<std::string> args;  // operands after the subcommand
  std::string pluginDir;          // empty: see PluginFolder
  uint64_t offset = 0;
  bool fromMemory = false;
  bool quiet = false;    // -q: nothing but errors
  bool verbose = false;  // -v: name each plug-in call and its result
  bool json = false;
  bool viaMemory = false;
  bool decodeMembers = false;
  bool force = false;         // -f: replace existing files
  bool skipExisting = false;  // extract: keep files that exist, extract the rest
  bool allowTruncated = false;  // decode, extract --decode: write pictures whose data ends early
  std::string output;     // -o
  std::string outputDir;  // -d
  std::string format;     // --format png|bmp for -d outputs
  bool hasBackground = false;         // encode --background: composite over `background`
  uint8_t background[3] = {0, 0, 0};  // red, green, blue
  bool ignoreAlpha = false;           // encode --ignore-alpha: keep the colours, drop the alpha
  bool checkLeaks = false;  // hidden: report the plug-ins' live blocks at exit
  std::string injectFault;  // hidden: fail the stand-in's next call of this kind
  bool predictableTempNames = false;  // hidden: temporary names from a counter
};

// One error line on standard error: "kaldorin: SUBJECT: CAUSE".
void ReportError(const std::string& subject, const std::string& cause);

// Loads the plug-in folder; false (with the error reported) if it cannot.
bool LoadPlugins(const Options& options, PluginSet* set);

int RunPlugins(const Options& options, const PluginSet& set);
int RunInfo(const Options& options, const PluginSet& set);
int RunDecode(const Options& options, const PluginSet& set);
int RunEncode(const Options& options);
int RunList(const Options& options, const PluginSet& set);
int RunExtract(const Options& options, const PluginSet& set);
int RunPack(const Options& options);
// Exits like cmp: 0 when both pictures hold the same pixels, 1 when they
// differ, 2 when one cannot be read. Pixels differ when their colours or
// their opacities do (a picture without alpha is opaque throughout), so
// transparent pixels count with the colour they store.
int RunCompare(const Options& options);

// JSON string literal of `s` (bytes above 0x7F passed through).
std::string JsonString(const std::string& s);

}  // namespace kaldorin

#endif
