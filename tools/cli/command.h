// One declaration per command: its name, operands, help texts and a routine
// that declares the options it takes (binding each to a field of the
// command's own options struct) and hands back the routine that runs it.
// Adding a command is a file in tools/commands/ with its Command and one line
// in command_list.cpp.
#ifndef KALDORIN_TOOLS_CLI_COMMAND_H
#define KALDORIN_TOOLS_CLI_COMMAND_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/option_table.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace kaldorin {

enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitCancelled = 130 };

struct Colour {
  uint8_t rgb[3] = {0, 0, 0};  // red, green, blue
};

// What a command's declaration builds up: the options it takes, its
// operands and the checks on both. With an app it also binds them for
// parsing (parse.cpp); without one it only records them, for help and for
// --print-table.
class Declaration {
 public:
  explicit Declaration(CLI::App* app);
  ~Declaration();
  Declaration(const Declaration&) = delete;
  Declaration& operator=(const Declaration&) = delete;

  // An option the command takes, bound to its field; the field's type must
  // suit the option's ValueKind (bool for switches, uint64_t for counts,
  // Colour for colours, std::string otherwise). `given`, when set, tells
  // whether it was on the command line.
  void Option(OptionId id, bool* field);
  void Option(OptionId id, std::string* field);
  void Option(OptionId id, uint64_t* field);
  void Option(OptionId id, Colour* field, bool* given);

  // The operands, between `min` and `max` of them (kAnyNumber: no limit);
  // `problem` is the usage error when their number is wrong.
  static constexpr size_t kAnyNumber = ~size_t{0};
  void Operands(std::vector<std::string>* field, size_t min, size_t max, const char* problem);

  // A check run after parsing, before anything is read or written: it
  // returns the usage error, or an empty string.
  void Refuse(std::function<std::string()> check);

  // Whether `id` was given (after parsing).
  bool Given(OptionId id) const;

  // The options declared, in declaration order.
  const std::vector<OptionId>& options() const { return options_; }
  bool Takes(OptionId id) const;

  // After parsing: converts and checks the values, the number of operands,
  // the exclusive pairs and the command's own checks. Returns the first
  // usage error, or an empty string.
  std::string Finish(const char* command);

 private:
  struct Binding;
  void Add(OptionId id, ValueKind kind, std::unique_ptr<Binding> binding);

  CLI::App* app_;
  std::vector<OptionId> options_;
  std::vector<std::unique_ptr<Binding>> bindings_;
  std::vector<std::string>* operands_ = nullptr;
  size_t minOperands_ = 0;
  size_t maxOperands_ = 0;
  const char* operandProblem_ = nullptr;
  std::vector<std::function<std::string()>> checks_;
};

// What a declaration hands back: the command run with what was parsed.
typedef std::function<int()> Runner;

struct Command {
  const char* name;
  // Operand lines of the usage, after "kaldorin NAME [options] "; several
  // forms one per line.
  const char* usage;
  // Overview lines, "OPERANDS\twhat it does", one per line.
  const char* overview;
  // What the command does, wrapped by hand.
  const char* about;
  Runner (*declare)(Declaration* d);
};

// Every command, in the order help lists them.
extern const Command* const kCommands[];
extern const size_t kCommandCount;
const Command* FindCommand(const std::string& name);

}  // namespace kaldorin

#endif
