// The command line: finds the command, parses its options through CLI11 from
// its declaration, refuses what it does not take, and runs it.
#ifndef KALDORIN_TOOLS_CLI_PARSE_H
#define KALDORIN_TOOLS_CLI_PARSE_H

#include <string>
#include <vector>

namespace kaldorin {

// `args` as main receives them, the program's name first; returns the exit
// status. A usage error is one line, "kaldorin: PROBLEM", then where to find
// help, and exit status 2.
int RunCommandLine(const std::vector<std::string>& args);

// Prints the usage error and returns kExitUsage; `command` (may be empty)
// names the help to point to.
int UsageError(const std::string& command, const std::string& problem);

}  // namespace kaldorin

#endif
