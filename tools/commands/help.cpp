// kaldorin help: the overview, or one command's usage.
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/help.h"
#include "tools/cli/parse.h"

namespace kaldorin {

namespace {

Runner Declare(Declaration* d) {
  auto topics = std::make_shared<std::vector<std::string>>();
  d->Operands(topics.get(), 0, 1, "help takes one command");
  return [topics]() -> int {
    if (topics->empty()) return PrintHelp(nullptr);
    const Command* command = FindCommand((*topics)[0]);
    if (command == nullptr) return UsageError("", "unknown command " + (*topics)[0]);
    return PrintHelp(command);
  };
}

}  // namespace

extern const Command kHelpCommand = {"help", "[COMMAND]", "[COMMAND]\tthis text, or a command's usage",
                                     "The overview, or the usage of COMMAND (as kaldorin COMMAND --help).\n",
                                     Declare};

}  // namespace kaldorin
