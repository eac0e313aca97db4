// kaldorin: decode, list and extract KALDORIN data through the plug-ins, and
// write I24B pictures and PACK archives.
#include <wchar.h>

#include <string>
#include <vector>

#include "tools/cli/parse.h"
#include "tools/kaldorin_files.h"

#if defined(__SANITIZE_ADDRESS__)
// A host expects a failed allocation to come back as null (a plug-in then
// answers "out of memory"), not to end the process: the sanitizer's default
// of aborting is turned off for this program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

#ifdef _WIN32
// Windows hands the arguments over as UTF-16, so that names outside the ANSI
// code page arrive whole; the tool works on them as UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(kaldorin::Utf16ToUtf8(std::u16string(argv[i], argv[i] + wcslen(argv[i]))));
  }
  return kaldorin::RunCommandLine(args);
}
#else
int main(int argc, char** argv) { return kaldorin::RunCommandLine(std::vector<std::string>(argv, argv + argc)); }
#endif
