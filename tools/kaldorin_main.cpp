// kaldorin: decode, list and extract KALDORIN data through the plug-ins, and
// write I24B pictures and PACK archives.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <new>
#include <string>
#include <vector>

#include "tools/kaldorin_cli.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_help.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"

namespace kaldorin {

namespace {

int Usage(const std::string& problem) {
  fprintf(stderr, "kaldorin: %s\n%s", problem.c_str(), "Try 'kaldorin --help'.\n");
  return kExitUsage;
}

bool ParseCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

// A colour as #RRGGBB or RRGGBB.
bool ParseColor(const std::string& text, uint8_t (&rgb)[3]) {
  std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
  for (int c = 0; c < 3; ++c) rgb[c] = static_cast<uint8_t>(strtoul(hex.substr(2 * c, 2).c_str(), nullptr, 16));
  return true;
}

// Options that only switch something on.
const struct {
  const char* name;
  const char* shortName;
  bool Options::*field;
} kFlags[] = {
    {"--from-memory", nullptr, &Options::fromMemory},
    {"--via-memory", nullptr, &Options::viaMemory},
    {"--decode", nullptr, &Options::decodeMembers},
    {"--force", "-f", &Options::force},
    {"--skip-existing", nullptr, &Options::skipExisting},
    {"--allow-truncated", nullptr, &Options::allowTruncated},
    {"--ignore-alpha", nullptr, &Options::ignoreAlpha},
    {"--json", nullptr, &Options::json},
    {"--quiet", "-q", &Options::quiet},
    {"--verbose", "-v", &Options::verbose},
    // Test hooks: report the plug-ins' live blocks at exit; temporary names
    // a test can plant a file or link at.
    {"--check-leaks", nullptr, &Options::checkLeaks},
    {"--predictable-temp-names", nullptr, &Options::predictableTempNames},
};

bool Options::*FlagNamed(const std::string& arg) {
  for (const auto& f : kFlags) {
    if (arg == f.name || (f.shortName != nullptr && arg == f.shortName)) return f.field;
  }
  return nullptr;
}

// Parses argv into `options`; returns -1 to go on, or an exit status.
int ParseArguments(int argc, char** argv, Options* options) {
  bool operandsOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (operandsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      if (options->command.empty()) {
        options->command = arg;
      } else {
        options->args.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      operandsOnly = true;
      continue;
    }
    std::string value;
    bool hasInlineValue = false;
    size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasInlineValue = true;
    }
    auto takeValue = [&](std::string* out) -> bool {
      if (hasInlineValue) {
        *out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    auto needsNoValue = [&]() { return !hasInlineValue; };
    std::string text;
    if (arg == "-h" || arg == "--help") {
      return PrintHelp(options->command);
    } else if (arg == "--version" && needsNoValue()) {
      return PrintVersion();
    } else if (arg == "--plugins") {
      if (!takeValue(&options->pluginDir)) return Usage("--plugins needs a folder");
    } else if (arg == "--offset") {
      if (!takeValue(&text) || !ParseCount(text, &options->offset)) return Usage("--offset needs a byte count");
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue(&options->output)) return Usage("-o needs a file name");
    } else if (arg == "-d" || arg == "--dir") {
      if (!takeValue(&options->outputDir)) return Usage("-d needs a folder");
    } else if (arg == "--format") {
      if (!takeValue(&options->format) || (options->format != "png" && options->format != "bmp")) {
        return Usage("--format takes png or bmp");
      }
    } else if (arg == "--background") {
      if (!takeValue(&text) || !ParseColor(text, options->background)) {
        return Usage("--background needs a colour as #RRGGBB");
      }
      options->hasBackground = true;
    } else if (arg == "--cancel-after") {
      // Test hook: acts as a Ctrl-C after that many progress reports.
      uint64_t n = 0;
      if (!takeValue(&text) || !ParseCount(text, &n) || n == 0 || n > 1000000000) {
        return Usage("--cancel-after needs a positive count");
      }
      SetCancelAfterReports(static_cast<long>(n));
    } else if (bool Options::*flag = FlagNamed(arg)) {
      if (!needsNoValue()) return Usage(arg + " takes no value");
      options->*flag = true;
    } else if (arg == "--inject-fault") {
      // Test hook: the platform stand-in fails its next call of this kind.
      if (!takeValue(&options->injectFault)) return Usage("--inject-fault needs a call name");
    } else {
      return Usage("unknown option " + std::string(argv[i]));
    }
  }
  if (options->command.empty()) return Usage("no command given");
  if (options->verbose) SetCallTrace(true);
  if (options->predictableTempNames) UsePredictableTempNames();
  if (options->quiet && options->verbose) return Usage("-q and -v exclude each other");
  if (options->force && options->skipExisting) return Usage("--force and --skip-existing exclude each other");
  return -1;
}

bool NeedsPlugins(const std::string& command) {
  return command == "plugins" || command == "info" || command == "decode" || command == "list" ||
         command == "extract";
}

int Dispatch(const Options& options) {
  if (!NeedsPlugins(options.command)) {
    if (options.command == "help") return RunHelp(options.args);
    if (options.command == "encode") return RunEncode(options);
    if (options.command == "pack") return RunPack(options);
    if (options.command == "compare") return RunCompare(options);
    return Usage("unknown command " + options.command);
  }
  PluginSet set;
  if (!LoadPlugins(options, &set)) return kExitFailure;
  if (!options.injectFault.empty() && !InjectPlatformFault(set, options.injectFault)) {
    UnloadPlugins(&set);
    return Usage("--inject-fault: no platform stand-in call " + options.injectFault);
  }
  int status = kExitFailure;
  if (options.command == "plugins") status = RunPlugins(options, set);
  if (options.command == "info") status = RunInfo(options, set);
  if (options.command == "decode") status = RunDecode(options, set);
  if (options.command == "list") status = RunList(options, set);
  if (options.command == "extract") status = RunExtract(options, set);
  if (options.checkLeaks) {
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

}  // namespace

}  // namespace kaldorin

#if defined(__SANITIZE_ADDRESS__)
// A host expects a failed allocation to come back as null (a plug-in then
// answers "out of memory"), not to end the process: the sanitizer's default
// of aborting is turned off for this program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace kaldorin {

void ReportError(const std::string& subject, const std::string& cause) {
  fprintf(stderr, "kaldorin: %s: %s\n", subject.c_str(), cause.c_str());
}

bool LoadPlugins(const Options& options, PluginSet* set) {
  std::string folder = PluginFolder(options.pluginDir);
  std::string error;
  if (!LoadPluginFolder(folder, set, &error)) {
    ReportError(folder, error);
    return false;
  }
  return true;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

namespace {

int RunTool(int argc, char** argv) {
  Options options;
  int status = ParseArguments(argc, argv, &options);
  if (status >= 0) return status;
  InstallCancelHandler();
  try {
    status = Dispatch(options);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "kaldorin: out of memory\n");
    status = kExitFailure;
  }
  fflush(stdout);
  return status;
}

}  // namespace

}  // namespace kaldorin

#ifdef _WIN32
// Windows hands the arguments over as UTF-16, so that names outside the ANSI
// code page arrive whole; the tool works on them as UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> utf8;
  for (int i = 0; i < argc; ++i) utf8.push_back(kaldorin::Utf16ToUtf8(std::u16string(argv[i], argv[i] + wcslen(argv[i]))));
  std::vector<char*> args;
  for (std::string& a : utf8) args.push_back(&a[0]);
  args.push_back(nullptr);
  return kaldorin::RunTool(argc, args.data());
}
#else
int main(int argc, char** argv) { return kaldorin::RunTool(argc, argv); }
#endif
