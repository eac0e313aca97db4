// Steps that several subcommands share: finding the plug-in for a file,
// printing a member listing, and writing output that appears only when it is
// complete.
#ifndef KALDORIN_TOOLS_KALDORIN_SHARED_H
#define KALDORIN_TOOLS_KALDORIN_SHARED_H

#include <string>
#include <vector>

#include "tools/kaldorin_cli.h"
#include "tools/kaldorin_host_calls.h"

int UsageError(const std::string& problem);

// Opens `path` as the options say and picks the plug-in of `kind` that takes
// it (kKindOther: any picture or archive plug-in). Reports the error and
// returns null when the file cannot be read or no plug-in takes it.
const HostPlugin* OpenAndPick(const Options& options, const PluginSet& set, const std::string& path, PluginKind kind,
                              DataSource* source);

// The members as a table or JSON; `withHeader` adds the file and plug-in.
void PrintListing(const Options& options, const DataSource& source, const HostPlugin& plugin,
                  const std::vector<MemberRecord>& members, bool withHeader);

// Write under a temporary name, then rename; a Ctrl-C that arrived
// meanwhile removes the output instead. Errors are reported; returns an
// exit status.
int WriteImageSafely(const std::string& target, ImageFormat format, const RgbImage& image);
int WriteBytesSafely(const std::string& target, const uint8_t* data, size_t size);
// Renames a finished temporary file, unless a Ctrl-C arrived.
int CommitSafely(const std::string& temp, const std::string& target);

#endif
