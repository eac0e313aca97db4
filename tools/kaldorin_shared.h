// Steps that several subcommands share: finding the plug-in for a file,
// printing a member listing, and writing output that appears only when it is
// complete.
#ifndef KALDORIN_TOOLS_KALDORIN_SHARED_H
#define KALDORIN_TOOLS_KALDORIN_SHARED_H

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/cli/option_groups.h"
#include "tools/kaldorin_image_io.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_shown_names.h"
#include "tools/member_overlaps.h"

namespace kaldorin {

// The fields of one JSON result object, values already in JSON.
typedef std::vector<std::pair<std::string, std::string>> JsonFields;
std::string JsonNumber(uint64_t value);

// One result of a command (a file written, a member extracted): `text` as a
// line of words unless --quiet (none when empty); with --json one object on
// one line instead.
// Both go to standard output, or to standard error when standard output
// carries the command's data (-o -).
void ReportResult(const Reporting& report, const std::string& text, const JsonFields& json);

// Opens `path` as the options say and picks the plug-in of `kind` that takes
// it (kKindOther: any picture or archive plug-in). Reports the error and
// returns null when the file cannot be read or no plug-in takes it.
const HostPlugin* OpenAndPick(const DataInput& input, const PluginLoading& loading, const PluginSet& set, const std::string& path, PluginKind kind,
                              DataSource* source);

// Pairs of members whose data overlap in part (at most `most`), and the
// bytes that extracting all of them writes.
std::vector<MemberPair> OverlappingMembers(const std::vector<MemberRecord>& members, size_t most,
                                           uint64_t* totalBytes);

// The members as a table or JSON, with a line (a JSON field "overlaps") for
// each pair of members whose data overlap in part; `withHeader` adds the file and plug-in.
void PrintListing(bool json, const DataSource& source, const HostPlugin& plugin,
                  const std::vector<MemberRecord>& members, bool withHeader);

// Whether `target` may be written: never when it is the same file as one of
// `inputs` (whatever --force says), and when it exists only with --force.
// Reports the refusal; returns an exit status.
int CheckOutputTarget(bool force, const std::string& target, const std::vector<std::string>& inputs);

// The outputs of a command that writes one file per input (`targets[i]`
// for `inputs[i]`), checked before anything is written: none may be an
// input, two inputs may not share one ("... VERB them into different
// folders"; standard output, "-", is not compared), and none is replaced
// without --force. Reports the refusal; returns an exit status.
int CheckOutputsOfInputs(bool force, const std::vector<std::string>& inputs, const std::vector<std::string>& targets,
                         const char* verb);

// Writes under an exclusive temporary name beside `target`, then moves it
// into place, replacing an existing file only with --force; a Ctrl-C that
// arrives meanwhile removes the output instead. The progress bar covers the
// writing. Errors are reported; returns an exit status.
// `quiet` leaves the progress bar out.
struct WriteRules {
  bool force;
  bool quiet;
};
int WriteImageSafely(const WriteRules& rules, const std::string& target, ImageFormat format, const RgbImage& image);
int WriteBytesSafely(const WriteRules& rules, const std::string& target, const uint8_t* data, size_t size);
// Standard output for a command's data ("-o -"), in binary mode; and the end
// of such a write: a failure reported, an exit status returned.
FILE* StandardOutput();
int FinishStandardOutput(bool ok, const std::string& error);

// Moves a finished file (a plug-in's, or a temporary one) into place by the
// same rules.
int MoveSafely(bool force, const std::string& from, const std::string& target);

}  // namespace kaldorin

#endif
