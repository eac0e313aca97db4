#include "tools/cli/parse.h"

#include <stdio.h>

#include <new>

#include <CLI/CLI.hpp>

#include "tools/cli/command.h"
#include "tools/cli/help.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"

namespace kaldorin {

int UsageError(const std::string& command, const std::string& problem) {
  std::string help = command.empty() ? "kaldorin --help" : "kaldorin " + command + " --help";
  fprintf(stderr, "kaldorin: %s\nTry '%s'.\n", problem.c_str(), help.c_str());
  return kExitUsage;
}

namespace {

bool IsOptionWord(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

// "--format=png" names --format.
std::string OptionName(const std::string& arg) {
  size_t eq = arg.find('=');
  return arg.compare(0, 2, "--") == 0 && eq != std::string::npos ? arg.substr(0, eq) : arg;
}

bool TakesValueInNextWord(const std::string& arg) {
  OptionId id = FindOption(arg.c_str());
  return id != kOptionCount && Spec(id).kind != kNoValue;
}

// What the words before parsing say: the command's position, and whether
// help or the version is asked for.
struct Scan {
  size_t command = 0;  // 0: none
  bool help = false;
  bool version = false;
  std::string lacksValue;  // an option at the end without its value
};

Scan ScanWords(const std::vector<std::string>& args) {
  Scan s;
  bool operandsOnly = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!operandsOnly && arg == "--") {
      operandsOnly = true;
    } else if (!operandsOnly && IsOptionWord(arg)) {
      if (arg == "-h" || arg == "--help") s.help = true;
      if (arg == "--version" && s.command == 0) s.version = true;
      if (TakesValueInNextWord(arg)) {
        if (i + 1 == args.size()) s.lacksValue = arg;
        ++i;
      }
    } else if (s.command == 0) {
      s.command = i;
    }
  }
  return s;
}

// The hidden hooks that every command takes; they set process-wide state.
struct TestHooks {
  uint64_t cancelAfter = 0;
  bool predictableTempNames = false;
};

int ParseAndRun(const Command& command, const std::vector<std::string>& words) {
  CLI::App app(command.name);
  app.set_help_flag();
  app.allow_extras();
  Declaration d(&app);
  Runner run = command.declare(&d);
  TestHooks hooks;
  d.Option(kOptCancelAfter, &hooks.cancelAfter);
  d.Option(kOptPredictableTempNames, &hooks.predictableTempNames);
  d.Option(kOptCheckLeaks, &TestHooksForPlugins()->checkLeaks);
  d.Option(kOptInjectFault, &TestHooksForPlugins()->injectFault);
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    return UsageError(command.name, e.what());
  }
  for (const std::string& extra : app.remaining()) {
    if (extra == "--") continue;
    if (!IsOptionWord(extra)) return UsageError(command.name, std::string(command.name) + " takes no operands");
    std::string name = OptionName(extra);
    if (FindOption(name.c_str()) != kOptionCount) {
      return UsageError(command.name, std::string(command.name) + " does not take " + name);
    }
    return UsageError(command.name, "unknown option " + name);
  }
  std::string problem = d.Finish(command.name);
  if (!problem.empty()) return UsageError(command.name, problem);
  if (hooks.cancelAfter != 0) SetCancelAfterReports(static_cast<long>(hooks.cancelAfter));
  if (hooks.predictableTempNames) UsePredictableTempNames();
  InstallCancelHandler();
  int status = kExitFailure;
  try {
    status = run();
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "kaldorin: out of memory\n");
    status = kExitFailure;
  }
  fflush(stdout);
  return status;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[1] == "--print-table") return PrintTable();
  Scan scan = ScanWords(args);
  std::string name = scan.command != 0 ? args[scan.command] : std::string();
  const Command* command = name.empty() ? nullptr : FindCommand(name);
  if (scan.help) {
    if (!name.empty() && command == nullptr) return UsageError("", "unknown command " + name);
    return PrintHelp(command);
  }
  if (scan.version) return PrintVersion();
  if (command == nullptr) return UsageError("", name.empty() ? "no command given" : "unknown command " + name);
  if (!scan.lacksValue.empty()) {
    OptionId id = FindOption(scan.lacksValue.c_str());
    if (!TakesOption(*command, id)) {
      return UsageError(name, name + " does not take " + scan.lacksValue);
    }
    return UsageError(name, scan.lacksValue + " needs " + Spec(id).valueName);
  }
  // Options may come before the command as well as after it.
  std::vector<std::string> words(args.begin() + 1, args.begin() + scan.command);
  words.insert(words.end(), args.begin() + scan.command + 1, args.end());
  return ParseAndRun(*command, words);
}

}  // namespace kaldorin
