// kaldorin pack: a PACK archive of files, each member named after its file.
#include <memory>
#include <string>
#include <vector>

#include "archive_pack/pack_writer.h"
#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"

namespace kaldorin {

using pack::PackInput;
using pack::PackResult;
using pack::WritePack;

namespace {

struct PackOptions {
  Reporting report;
  bool force = false;
  std::vector<std::string> operands;  // OUT.pak FILE...
};

bool PackProgressReport(uint64_t done, uint64_t total, void* user) {
  return ReportProgress(static_cast<ProgressBar*>(user), done, total);
}

// Writes the archive under a temporary name beside `target` and moves it
// into place; returns an exit status, with the error reported.
int WritePackFile(const PackOptions& options, const std::string& target, const std::vector<PackInput>& inputs,
                  PackResult* result) {
  PendingOutput out;
  std::string error;
  if (!CreatePendingFile(target, &out, &error)) {
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
  ProgressBar bar;
  StartProgress(&bar, BaseName(target), options.report.quiet);
  bool ok = WritePack(out.file, inputs, PackProgressReport, &bar, result, &error);
  FinishProgress(&bar);
  if (!ok) {
    DiscardPending(&out);
    if (CancelRequested()) {
      ReportError(target, "cancelled");
      return kExitCancelled;
    }
    ReportError(target, error);
    return kExitFailure;
  }
  if (CancelRequested()) {
    DiscardPending(&out);
    ReportError(target, "cancelled");
    return kExitCancelled;
  }
  if (!CommitPending(&out, options.force, &error)) {
    ReportError(target, error);
    return kExitFailure;
  }
  return kExitOk;
}

int RunPack(const PackOptions& options) {
  const std::string& target = options.operands[0];
  std::vector<PackInput> inputs;
  std::vector<std::string> paths;
  for (size_t i = 1; i < options.operands.size(); ++i) {
    const std::string& file = options.operands[i];
    if (IsDirectory(file) || !fs::exists(FsPath(file))) {
      ReportError(file, IsDirectory(file) ? "is a folder, not a file" : "no such file");
      return kExitFailure;
    }
    inputs.push_back(PackInput{BaseName(file), file});
    paths.push_back(file);
  }
  int status = CheckOutputTarget(options.force, target, paths);
  if (status != kExitOk) return status;
  std::string error;
  PackResult result;
  if (target == "-") {
    bool ok = WritePack(StandardOutput(), inputs, nullptr, nullptr, &result, &error);
    status = FinishStandardOutput(ok, error);
  } else {
    status = WritePackFile(options, target, inputs, &result);
  }
  if (status == kExitOk) {
    ReportResult(options.report,
                 target + ": " + std::to_string(result.members) + " members, " +
                     std::to_string(result.archiveBytes) + " bytes",
                 {{"archive", JsonString(target)}, {"members", JsonNumber(result.members)},
                  {"size", JsonNumber(result.archiveBytes)}});
  }
  return status;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<PackOptions>();
  d->Option(kOptForce, &o->force);
  DeclareReporting(d, &o->report);
  d->Operands(&o->operands, 2, Declaration::kAnyNumber, "pack needs an output archive and at least one file");
  return [o] {
    o->report.toStandardError = o->operands[0] == "-";
    return RunPack(*o);
  };
}

}  // namespace

extern const Command kPackCommand = {
    "pack", "OUT.pak FILE...", "OUT.pak FILE...\twrite a PACK archive; members are named after the files",
    "Writes a PACK archive; each member is named after its file: 1 to 14 letters and\n"
    "digits with exactly one full stop, no two names equal when case is ignored.\n",
    Declare};

}  // namespace kaldorin
