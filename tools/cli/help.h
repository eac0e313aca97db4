// The help texts, --version and the hidden --print-table listing, all printed
// from the commands' declarations and the option table.
#ifndef KALDORIN_TOOLS_CLI_HELP_H
#define KALDORIN_TOOLS_CLI_HELP_H

#include "tools/cli/command.h"

namespace kaldorin {

// Prints "kaldorin VERSION (Susie plug-in API: ...)"; returns the exit status.
int PrintVersion();

// The overview (null) or that command's usage, on standard output.
int PrintHelp(const Command* command);

// Whether `command` takes `id` (the hidden hooks every command takes count).
bool TakesOption(const Command& command, OptionId id);

// For the man page and completion tests: one line per command, "NAME:" and
// the names (long and short) of the options it takes, then "global:" with the
// options taken before any command. Hidden hooks are left out.
int PrintTable();

}  // namespace kaldorin

#endif
