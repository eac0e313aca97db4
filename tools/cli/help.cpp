#include "tools/cli/help.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace kaldorin {

#ifndef KALDORIN_VERSION
#error "KALDORIN_VERSION comes from project() in the top CMakeLists.txt"
#endif

namespace {

// The options a command takes, from its declaration, with -h added.
std::vector<OptionId> OptionsOf(const Command& command) {
  Declaration d(nullptr);
  command.declare(&d);
  std::vector<OptionId> ids = d.options();
  ids.push_back(kOptHelp);
  return ids;
}

bool Listed(OptionId id) { return Spec(id).help != nullptr; }

std::string HelpName(OptionId id) {
  const OptionSpec& o = Spec(id);
  std::string name = o.shortName != nullptr ? std::string(o.shortName) + ", " + o.longName : o.longName;
  return o.valueName != nullptr ? name + " " + o.valueName : name;
}

// "decode, extract: " when the option belongs to one to three commands.
std::string CommandPrefix(OptionId id) {
  std::string names;
  int count = 0;
  for (size_t i = 0; i < kCommandCount; ++i) {
    if (strcmp(kCommands[i]->name, "help") == 0 || !TakesOption(*kCommands[i], id)) continue;
    names += (count++ ? ", " : "") + std::string(kCommands[i]->name);
  }
  return count >= 1 && count <= 3 ? names + ": " : "";
}

void PrintOption(OptionId id, const std::string& prefix) {
  printf("  %-20s %s%s\n", HelpName(id).c_str(), prefix.c_str(), Spec(id).help);
}

// Prints each "OPERANDS<tab>what" line of `text` after `name`.
void PrintOverviewLines(const char* name, const char* text) {
  std::string lines = text;
  size_t start = 0;
  while (start < lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(start, end - start);
    size_t bar = line.find('\t');
    std::string operands = line.substr(0, bar);
    std::string left = operands.empty() ? name : std::string(name) + " " + operands;
    printf("  %-32s %s\n", left.c_str(), bar == std::string::npos ? "" : line.c_str() + bar + 1);
    start = end + 1;
  }
}

}  // namespace

bool TakesOption(const Command& command, OptionId id) {
  if (!Listed(id)) return true;  // the hidden hooks
  if (id == kOptHelp) return true;
  Declaration d(nullptr);
  command.declare(&d);
  return d.Takes(id);
}

int PrintVersion() {
  printf("kaldorin %s (Susie plug-in API: 00IN pictures, 00AM archives)\n", KALDORIN_VERSION);
  return kExitOk;
}

int PrintHelp(const Command* command) {
  if (command == nullptr) {
    printf("usage: kaldorin [options] COMMAND [arguments]\n"
           "       kaldorin COMMAND --help | kaldorin --version\n\ncommands:\n");
    for (size_t i = 0; i < kCommandCount; ++i) PrintOverviewLines(kCommands[i]->name, kCommands[i]->overview);
    printf("\nA FILE or ARCHIVE of - is standard input. No command replaces an existing file without -f.\n"
           "\noptions:\n");
    for (int i = 0; i < kOptionCount; ++i) {
      OptionId id = static_cast<OptionId>(i);
      if (Listed(id)) PrintOption(id, id == kOptHelp || id == kOptVersion ? "" : CommandPrefix(id));
    }
    printf("\nRun 'kaldorin COMMAND --help' for a command's operands and options; see also kaldorin(1).\n");
    return kExitOk;
  }
  std::string usage = command->usage;
  std::string head = std::string("kaldorin ") + command->name + " [options] ";
  if (usage.empty()) head.pop_back();
  printf("usage: ");
  size_t start = 0;
  if (usage.empty()) printf("%s\n", head.c_str());
  for (bool first = true; start < usage.size(); first = false) {
    size_t end = usage.find('\n', start);
    if (end == std::string::npos) end = usage.size();
    printf("%s%s%s\n", first ? "" : "       ", head.c_str(), usage.substr(start, end - start).c_str());
    start = end + 1;
  }
  printf("%s\noptions:\n", command->about);
  for (OptionId id : OptionsOf(*command)) {
    if (Listed(id)) PrintOption(id, "");
  }
  return kExitOk;
}

int PrintTable() {
  printf("commands:");
  for (size_t i = 0; i < kCommandCount; ++i) printf(" %s", kCommands[i]->name);
  printf("\n");
  for (size_t i = 0; i < kCommandCount; ++i) {
    printf("%s:", kCommands[i]->name);
    for (OptionId id : OptionsOf(*kCommands[i])) {
      if (!Listed(id)) continue;
      if (Spec(id).shortName != nullptr) printf(" %s", Spec(id).shortName);
      printf(" %s", Spec(id).longName);
    }
    printf("\n");
  }
  printf("global: -h --help --version\n");
  return kExitOk;
}

}  // namespace kaldorin
