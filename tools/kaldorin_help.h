// The kaldorin tool's --version and help texts: the overview and one usage
// text per subcommand.
#ifndef KALDORIN_TOOLS_KALDORIN_HELP_H
#define KALDORIN_TOOLS_KALDORIN_HELP_H

#include <string>
#include <vector>

namespace kaldorin {

// Prints "kaldorin VERSION (Susie plug-in API: ...)"; returns the exit status.
int PrintVersion();

// Prints the overview (empty `command`) or that subcommand's usage on
// standard output; an unknown command is a usage error.
int PrintHelp(const std::string& command);

// `kaldorin help [COMMAND]`.
int RunHelp(const std::vector<std::string>& args);

}  // namespace kaldorin

#endif
