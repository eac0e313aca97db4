#include "tools/cli/option_table.h"

#include <string.h>

namespace kaldorin {

namespace {

// In OptionId order: each entry's position is its id.
const OptionSpec kOptions[kOptionCount] = {
    {"--plugins", nullptr, "DIR", kText, "plug-in folder (default: this program's, else its installed one)"},
    {"--offset", nullptr, "N", kCount, "the data starts N bytes into the file"},
    {"--from-memory", nullptr, nullptr, kNoValue, "read the data into memory and hand the plug-in the memory image"},
    {"--via-memory", nullptr, nullptr, kNoValue, "take members from the plug-in as memory blocks"},
    {"--decode", nullptr, nullptr, kNoValue, "also decode members that a picture plug-in takes"},
    {"--format", nullptr, "png|bmp", kPicture, "picture format of decode -d and -o -, and of extract --decode"},
    {"--json", nullptr, nullptr, kNoValue, "print JSON, one object per line where several files are given"},
    {"--output", "-o", "OUT", kText, "output file; - is standard output"},
    {"--dir", "-d", "DIR", kText, "output folder"},
    {"--force", "-f", nullptr, kNoValue, "replace existing files (never the archive being read or the input)"},
    {"--skip-existing", nullptr, nullptr, kNoValue, "keep files that exist and extract the rest"},
    {"--allow-truncated", nullptr, nullptr, kNoValue, "write a picture whose data ends early"},
    {"--allow-overlap", nullptr, nullptr, kNoValue, "extract members whose data overlap (a possible archive bomb)"},
    {"--background", nullptr, "COLOR", kColour, "composite pixels that are not fully opaque over #RRGGBB"},
    {"--ignore-alpha", nullptr, nullptr, kNoValue, "drop transparency"},
    {"--repair", nullptr, nullptr, kNoValue, "rewrite a damaged archive from the members that can be read"},
    {"--jobs", "-j", "N", kPositive, "work on N files or members at once (default: the processors available)"},
    {"--quiet", "-q", nullptr, kNoValue, "print nothing but errors"},
    {"--verbose", "-v", nullptr, kNoValue, "name each plug-in call and its result"},
    {"--help", "-h", nullptr, kNoValue, "this text"},
    {"--version", nullptr, nullptr, kNoValue, "print the version and the plug-in API versions"},
    {"--check-leaks", nullptr, nullptr, kNoValue, nullptr},
    {"--inject-fault", nullptr, "CALL", kText, nullptr},
    {"--cancel-after", nullptr, "N", kPositive, nullptr},
    {"--predictable-temp-names", nullptr, nullptr, kNoValue, nullptr},
    {"--fail-write", nullptr, "N", kPositive, nullptr},
};

}  // namespace

const ExclusivePair kExclusivePairs[] = {
    {kOptQuiet, kOptVerbose},
    {kOptForce, kOptSkipExisting},
    {kOptOutput, kOptDir},
    {kOptBackground, kOptIgnoreAlpha},
};
const size_t kExclusivePairCount = sizeof kExclusivePairs / sizeof kExclusivePairs[0];

const OptionSpec& Spec(OptionId id) { return kOptions[id]; }

OptionId FindOption(const char* name) {
  for (int i = 0; i < kOptionCount; ++i) {
    const OptionSpec& o = kOptions[i];
    if (strcmp(name, o.longName) == 0 || (o.shortName != nullptr && strcmp(name, o.shortName) == 0)) {
      return static_cast<OptionId>(i);
    }
  }
  return kOptionCount;
}

const char* DisplayName(OptionId id) {
  return kOptions[id].shortName != nullptr ? kOptions[id].shortName : kOptions[id].longName;
}

}  // namespace kaldorin
