// The commands of the kaldorin tool, in the order help lists them. Each is
// declared beside its run routine in tools/commands/.
#include <string>

#include "tools/cli/command.h"

namespace kaldorin {

extern const Command kPluginsCommand, kInfoCommand, kDecodeCommand, kListCommand, kExtractCommand, kEncodeCommand,
    kPackCommand, kUpdateCommand, kDeleteCommand, kRenameCommand, kCompareCommand, kHelpCommand;
extern const Command kTestCommand;

const Command* const kCommands[] = {&kPluginsCommand, &kInfoCommand,   &kDecodeCommand,
                                    &kListCommand,    &kExtractCommand, &kTestCommand,
                                    &kEncodeCommand,  &kPackCommand,    &kUpdateCommand,
                                    &kDeleteCommand,  &kRenameCommand,  &kCompareCommand,
                                    &kHelpCommand};
const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

const Command* FindCommand(const std::string& name) {
  for (const Command* c : kCommands) {
    if (name == c->name) return c;
  }
  return nullptr;
}

}  // namespace kaldorin
