// The kaldorin tool's --version and help texts. Each option is listed once,
// with the subcommands it applies to; the overview and every subcommand's
// usage are printed from the same tables, so the two cannot disagree.
#include "tools/kaldorin_help.h"

#include <stdio.h>

#include "tools/kaldorin_cli.h"

namespace kaldorin {

#ifndef KALDORIN_VERSION
#error "KALDORIN_VERSION comes from project() in the top CMakeLists.txt"
#endif

namespace {

enum CommandBit : unsigned {
  kPlugins = 1u << 0,
  kInfo = 1u << 1,
  kDecode = 1u << 2,
  kList = 1u << 3,
  kExtract = 1u << 4,
  kEncode = 1u << 5,
  kPack = 1u << 6,
  kCompare = 1u << 7,
  kHelp = 1u << 8,
  kOverviewOnly = 1u << 9,  // global options such as --version
};
const unsigned kReadsData = kInfo | kDecode | kList | kExtract;
const unsigned kCallsPlugins = kPlugins | kReadsData;
const unsigned kWrites = kDecode | kExtract | kEncode | kPack;
const unsigned kAllCommands = kCallsPlugins | kEncode | kPack | kCompare;

struct CommandHelp {
  const char* name;
  unsigned bit;
  const char* usage;  // operand lines, after "usage: "
  const char* about;  // what the command does, wrapped by hand
};

const CommandHelp kCommands[] = {
    {"plugins", kPlugins, "kaldorin plugins [options]\n",
     "Loads every plug-in of the plug-in folder (*.spi; *.sph in the 64-bit Windows build)\n"
     "and prints each one's file, API version, kind and information strings.\n"},
    {"info", kInfo, "kaldorin info [options] FILE...\n",
     "Names the plug-in that takes each FILE and prints the picture's information or the\n"
     "archive's member list. FILE - reads standard input.\n"},
    {"decode", kDecode,
     "kaldorin decode [options] FILE -o OUT.png|OUT.bmp|-\n"
     "       kaldorin decode [options] FILE... -d DIR\n",
     "Decodes pictures through the picture plug-in that takes them and writes PNG or BMP,\n"
     "chosen by the output name or by --format. FILE - reads standard input; -o - writes\n"
     "standard output and needs --format. A picture whose data ends early is an error and\n"
     "nothing is written, unless --allow-truncated.\n"},
    {"list", kList, "kaldorin list [options] ARCHIVE\n",
     "Lists an archive's members: size, position, method and name. ARCHIVE - reads\n"
     "standard input.\n"},
    {"extract", kExtract, "kaldorin extract [options] ARCHIVE [MEMBER|PATTERN...]\n",
     "Extracts every member, or the named ones, into -d DIR (default: the current folder).\n"
     "A PATTERN is a shell-style wildcard such as '*.I24'; names and patterns are matched\n"
     "ignoring case, and one that matches nothing is an error. Every member's size is\n"
     "verified. ARCHIVE - reads standard input.\n"},
    {"encode", kEncode, "kaldorin encode [options] IN.png|IN.bmp [-o OUT.i24]\n",
     "Writes an I24B picture that decodes to exactly the input's pixels. Without -o it goes\n"
     "to IN's folder, named as IN with its last extension replaced by .i24. IN - reads\n"
     "standard input, -o - writes standard output.\n"},
    {"pack", kPack, "kaldorin pack [options] OUT.pak FILE...\n",
     "Writes a PACK archive; each member is named after its file: 1 to 14 letters and\n"
     "digits with exactly one full stop, no two names equal when case is ignored.\n"},
    {"compare", kCompare, "kaldorin compare A B\n",
     "Whether two PNG or BMP pictures hold the same pixels, like cmp: exit 0 the same,\n"
     "1 different (the first difference is named), 2 an error.\n"},
    {"help", kHelp, "kaldorin help [COMMAND]\n", "The overview, or the usage of COMMAND (as kaldorin COMMAND --help).\n"},
};

struct OptionHelp {
  const char* name;
  const char* text;
  unsigned commands;
};

const OptionHelp kOptions[] = {
    {"--plugins DIR", "plug-in folder (default: this program's, else its installed one)", kCallsPlugins},
    {"--offset N", "the data starts N bytes into the file", kReadsData},
    {"--from-memory", "read the data into memory and hand the plug-in the memory image", kReadsData},
    {"--via-memory", "take members from the plug-in as memory blocks", kExtract},
    {"--decode", "also decode members that a picture plug-in takes", kExtract},
    {"--format png|bmp", "picture format of decode -d and -o -, and of extract --decode", kDecode | kExtract},
    {"--json", "print JSON, one object per line where several files are given", kAllCommands & ~kCompare},
    {"-o, --output OUT", "output file; - is standard output", kDecode | kEncode},
    {"-d, --dir DIR", "output folder", kDecode | kExtract},
    {"-f, --force", "replace existing files (never the archive being read or the input)", kWrites},
    {"--skip-existing", "keep files that exist and extract the rest", kExtract},
    {"--allow-truncated", "write a picture whose data ends early", kDecode | kExtract},
    {"--background COLOR", "composite pixels that are not fully opaque over #RRGGBB", kEncode},
    {"--ignore-alpha", "drop transparency", kEncode},
    {"-q, --quiet", "print nothing but errors", kAllCommands},
    {"-v, --verbose", "name each plug-in call and its result", kCallsPlugins},
    {"-h, --help", "this text", kAllCommands | kHelp | kOverviewOnly},
    {"--version", "print the version and the plug-in API versions", kOverviewOnly},
};

const char kOverview[] =
    "usage: kaldorin [options] COMMAND [arguments]\n"
    "       kaldorin COMMAND --help | kaldorin --version\n"
    "\n"
    "commands:\n"
    "  plugins                          list the plug-ins found and their information\n"
    "  info FILE...                     which plug-in takes a file, picture information or member list\n"
    "  decode FILE -o OUT.png|OUT.bmp   decode a picture through its plug-in (-o -: standard output)\n"
    "  decode FILE... -d DIR            decode several pictures into DIR\n"
    "  list ARCHIVE                     list an archive's members\n"
    "  extract ARCHIVE [MEMBER...]      extract all, the named or the matching members ('*.I24')\n"
    "  encode IN.png|IN.bmp [-o OUT]    write an I24B picture (default: IN with .i24)\n"
    "  pack OUT.pak FILE...             write a PACK archive; members are named after the files\n"
    "  compare A B                      whether two PNG or BMP pictures hold the same pixels\n"
    "  help [COMMAND]                   this text, or a command's usage\n"
    "\n"
    "A FILE or ARCHIVE of - is standard input. No command replaces an existing file without -f.\n";

const CommandHelp* FindCommand(const std::string& name) {
  for (const CommandHelp& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

// The commands in `mask`, "decode, extract: ", when the option belongs to a
// few of them only.
std::string CommandPrefix(unsigned mask) {
  std::string names;
  int count = 0;
  for (const CommandHelp& c : kCommands) {
    if ((mask & c.bit) == 0 || c.bit == kHelp) continue;
    names += (count++ ? ", " : "") + std::string(c.name);
  }
  return count >= 1 && count <= 3 ? names + ": " : "";
}

void PrintOptions(unsigned bit, bool withCommands) {
  for (const OptionHelp& o : kOptions) {
    if ((o.commands & bit) == 0) continue;
    std::string text = withCommands ? CommandPrefix(o.commands) + o.text : std::string(o.text);
    printf("  %-20s %s\n", o.name, text.c_str());
  }
}

}  // namespace

int PrintVersion() {
  printf("kaldorin %s (Susie plug-in API: 00IN pictures, 00AM archives)\n", KALDORIN_VERSION);
  return kExitOk;
}

int PrintHelp(const std::string& command) {
  if (command.empty()) {
    fputs(kOverview, stdout);
    printf("\noptions:\n");
    PrintOptions(~0u, true);
    printf("\nRun 'kaldorin COMMAND --help' for a command's operands and options; see also kaldorin(1).\n");
    return kExitOk;
  }
  const CommandHelp* c = FindCommand(command);
  if (c == nullptr) {
    fprintf(stderr, "kaldorin: unknown command %s\nTry 'kaldorin --help'.\n", command.c_str());
    return kExitUsage;
  }
  printf("usage: %s\n%s\noptions:\n", c->usage, c->about);
  PrintOptions(c->bit, false);
  return kExitOk;
}

int RunHelp(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    fprintf(stderr, "kaldorin: help takes one command\nTry 'kaldorin --help'.\n");
    return kExitUsage;
  }
  return PrintHelp(args.empty() ? std::string() : args[0]);
}

}  // namespace kaldorin
