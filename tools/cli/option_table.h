// Every option of the kaldorin tool, defined once: its names, the value it
// takes and its one-line help. Commands pick theirs by OptionId when they
// declare themselves (command.h); the parser, the help texts and the
// --print-table listing that the man page and completion tests read all come
// from here.
#ifndef KALDORIN_TOOLS_CLI_OPTION_TABLE_H
#define KALDORIN_TOOLS_CLI_OPTION_TABLE_H

#include <stddef.h>

namespace kaldorin {

enum OptionId {
  kOptPlugins,
  kOptOffset,
  kOptFromMemory,
  kOptViaMemory,
  kOptDecode,
  kOptFormat,
  kOptJson,
  kOptOutput,
  kOptDir,
  kOptForce,
  kOptSkipExisting,
  kOptAllowTruncated,
  kOptAllowOverlap,
  kOptBackground,
  kOptIgnoreAlpha,
  kOptRepair,
  kOptJobs,
  kOptQuiet,
  kOptVerbose,
  kOptHelp,
  kOptVersion,
  // Test hooks, never listed: report the plug-ins' live blocks at exit; fail
  // the platform stand-in's next call of a kind; act as a Ctrl-C after N
  // progress reports; temporary names a test can plant a file or link at;
// fail the Nth write of a rewritten archive as a full disk would.
  kOptCheckLeaks,
  kOptInjectFault,
  kOptCancelAfter,
  kOptPredictableTempNames,
  kOptFailWrite,
  kOptionCount
};

// What an option's value is, and so how it is checked.
enum ValueKind {
  kNoValue,   // a switch
  kText,      // any text
  kCount,     // a decimal byte count
  kPositive,  // a decimal count from 1 to 10^9
  kColour,    // #RRGGBB or RRGGBB
  kPicture,   // png or bmp
};

struct OptionSpec {
  const char* longName;   // "--output"
  const char* shortName;  // "-o", or null
  const char* valueName;  // "OUT", or null for a switch
  ValueKind kind;
  const char* help;       // one line; null: a hidden test hook
};

const OptionSpec& Spec(OptionId id);
// The option named `name` ("-o", "--output"); kOptionCount when none is.
OptionId FindOption(const char* name);
// "-o" or "--json": how messages name it (the short name where there is one).
const char* DisplayName(OptionId id);

// Options that exclude each other wherever a command takes both.
struct ExclusivePair {
  OptionId a;
  OptionId b;
};
extern const ExclusivePair kExclusivePairs[];
extern const size_t kExclusivePairCount;

}  // namespace kaldorin

#endif
