// The subcommands about archives: list, extract, pack.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "archive_pack/pack_writer.h"
#include "tools/kaldorin_cli.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"
#include "tools/kaldorin_truncation.h"

namespace kaldorin {

using pack::PackInput;
using pack::PackResult;
using pack::WritePack;

namespace {

// A member name that may become a file name in the output folder: no
// folders, no drive, nothing that climbs out.
bool SafeMemberName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\:") == std::string::npos;
}

struct ExtractJob {
  const Options* options;
  const HostPlugin* plugin;
  const PluginSet* set;
  const DataSource* source;
  std::string archive;
  std::string dir;                // where members go
  std::set<std::string> written;  // output names so far, so that none is overwritten twice
};

int FailMember(const ExtractJob& job, const MemberRecord& m, const CallFailure& failure) {
  if (failure.code == kResultCancelled && CancelRequested()) {
    ReportError(job.archive, "member " + m.filename + ": cancelled");
    return kExitCancelled;
  }
  std::string hint;
  if (failure.code == kResultUnknownFormat && job.source->offset != 0 && !job.source->inMemory) {
    // GetFile takes the member's position in place of the offset, so an
    // archive inside a larger file is read from the file's start.
    hint = " (for an archive inside a larger file, try --from-memory)";
  }
  ReportError(job.archive, "member " + m.filename + ": " + FailureText(*job.plugin, failure) + hint);
  return kExitFailure;
}

int SizeMismatch(const ExtractJob& job, const MemberRecord& m, uint64_t got) {
  ReportError(job.archive, "member " + m.filename + ": " + job.plugin->fileName + " delivered " + std::to_string(got) +
                               " bytes, but the listing says " + std::to_string(m.filesize) +
                               "; nothing was written for it");
  return kExitFailure;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Turns a member that a picture plug-in takes into a picture file.
int DecodeMember(ExtractJob* job, const MemberRecord& m, const std::vector<uint8_t>& bytes) {
  uint8_t probe[2048] = {};
  memcpy(probe, bytes.data(), bytes.size() < sizeof probe ? bytes.size() : sizeof probe);
  const HostPlugin* picture = PickPlugin(*job->set, kKindPicture, m.filename, probe);
  if (picture == nullptr || bytes.empty()) return kExitOk;
  std::string ext = job->options->format.empty() ? DefaultImageExtension() : "." + job->options->format;
  std::string name = StemOf(m.filename) + ext;
  std::string target = JoinPath(job->dir, name);
  if (!job->written.insert(Upper(name)).second) {
    ReportError(job->archive, "member " + m.filename + ": " + name + " was already written by this extraction");
    return kExitFailure;
  }
  int status = CheckOutputTarget(*job->options, target, {job->source->path});
  if (status != kExitOk) return status;
  TruncationCheck check;
  std::string subject = job->archive + ": member " + m.filename;
  if (!StartTruncationCheck(*job->options, subject, bytes, &check)) return kExitFailure;
  ProgressBar bar;
  StartProgress(&bar, name, job->options->quiet);
  RgbImage image;
  CallFailure failure;
  bool ok = GetPictureThroughPlugin(*picture, MemoryInput(bytes.data(), bytes.size()), &bar, &image, &failure);
  FinishProgress(&bar);
  if (!ok) {
    if (failure.code == kResultCancelled && CancelRequested()) {
      ReportError(job->archive, "member " + m.filename + ": cancelled");
      return kExitCancelled;
    }
    ReportError(job->archive, "member " + m.filename + ": " + FailureText(*picture, failure));
    return kExitFailure;
  }
  if (!FinishTruncationCheck(*job->options, &check)) return kExitFailure;
  status = WriteImageSafely(*job->options, target, FormatFromName(target), image);
  if (status == kExitOk) {
    char size[48];
    snprintf(size, sizeof size, "%u x %u", image.width, image.height);
    ReportResult(*job->options, "decoded   " + m.filename + " -> " + name + " (" + size + ")",
                 {{"member", JsonString(m.filename)}, {"action", "\"decoded\""}, {"output", JsonString(target)},
                  {"width", JsonNumber(image.width)}, {"height", JsonNumber(image.height)}});
  }
  return status;
}

// The member through GetFile into memory, checked against the listing's size.
int MemberToMemory(ExtractJob* job, const MemberRecord& m, std::vector<uint8_t>* bytes) {
  ProgressBar bar;
  StartProgress(&bar, m.filename, job->options->quiet);
  CallFailure failure;
  bool ok = ExtractToMemory(*job->plugin, *job->source, m, &bar, bytes, &failure);
  FinishProgress(&bar);
  if (!ok) return FailMember(*job, m, failure);
  if (bytes->size() != m.filesize) return SizeMismatch(*job, m, bytes->size());
  return kExitOk;
}

// The member through GetFile into a working folder, checked against the
// listing's size and moved into place. A plug-in that cannot write the file
// (a full disk, a folder it may not write) gets a second chance through
// memory, so that the tool writes the file itself and can say what the
// system said.
int MemberToFile(ExtractJob* job, const MemberRecord& m, const std::string& target, bool* retryInMemory) {
  *retryInMemory = false;
  std::string folder;
  std::string error;
  int slot = -1;
  if (!CreateWorkFolder(job->dir, m.filename, &folder, &slot, &error)) {
    ReportError(job->dir, "cannot create a working folder: " + error);
    return kExitFailure;
  }
  ProgressBar bar;
  StartProgress(&bar, m.filename, job->options->quiet);
  CallFailure failure;
  std::string written;
  bool ok = ExtractToFolder(*job->plugin, *job->source, m, folder, &bar, &written, &failure);
  FinishProgress(&bar);
  int status = kExitOk;
  if (!ok && failure.code == kResultInternalError && !CancelRequested()) {
    *retryInMemory = true;
  } else if (!ok) {
    status = FailMember(*job, m, failure);
  } else {
    uint64_t size = 0;
    if (!FileSizeOf(written, &size) || size != m.filesize) {
      status = SizeMismatch(*job, m, size);
    } else {
      status = MoveSafely(*job->options, written, target);
    }
  }
  RemoveWorkFolder(folder, slot);
  return status;
}

int ExtractMember(ExtractJob* job, const MemberRecord& m) {
  const Options& options = *job->options;
  std::string target = JoinPath(job->dir, m.filename);
  std::vector<uint8_t> bytes;
  int status = kExitOk;
  if (m.filesize == 0) {
    // Empty members are made here: some plug-ins cannot hand over nothing.
    status = WriteBytesSafely(options, target, nullptr, 0);
  } else if (options.viaMemory) {
    status = MemberToMemory(job, m, &bytes);
    if (status == kExitOk) status = WriteBytesSafely(options, target, bytes.data(), bytes.size());
  } else {
    bool retryInMemory = false;
    status = MemberToFile(job, m, target, &retryInMemory);
    if (retryInMemory) {
      status = MemberToMemory(job, m, &bytes);
      if (status == kExitOk) status = WriteBytesSafely(options, target, bytes.data(), bytes.size());
    } else if (status == kExitOk && options.decodeMembers) {
      std::string error;
      if (!ReadFileFrom(target, 0, &bytes, &error)) {
        ReportError(target, error);
        return kExitFailure;
      }
    }
  }
  if (status != kExitOk) return status;
  ReportResult(options, "extracted " + m.filename + " (" + std::to_string(m.filesize) + " bytes)",
               {{"member", JsonString(m.filename)}, {"action", "\"extracted\""}, {"output", JsonString(target)},
                {"size", JsonNumber(m.filesize)}});
  if (options.decodeMembers) return DecodeMember(job, m, bytes);
  return kExitOk;
}

// Checks every member before anything is written: names that cannot be file
// names, names that differ only in case (they would overwrite each other on
// Windows and macOS), the archive itself as an output, and outputs that
// exist (refused, kept with --skip-existing, replaced with --force).
// `members` keeps the ones to extract: none when a refusal stops the whole
// extraction.
int PlanExtraction(ExtractJob* job, std::vector<MemberRecord>* members) {
  const Options& options = *job->options;
  int status = kExitOk;
  std::map<std::string, std::string> byKey;
  for (const MemberRecord& m : *members) {
    auto known = byKey.emplace(Upper(m.filename), m.filename);
    if (known.second) continue;
    if (known.first->second == m.filename) {
      ReportError(job->archive, "member " + m.filename + " appears twice; neither is extracted");
    } else {
      ReportError(job->archive, "members " + known.first->second + " and " + m.filename +
                                    " differ only in case and would overwrite each other on Windows and macOS; "
                                    "extract them one at a time into different folders");
    }
    status = kExitFailure;
  }
  if (status != kExitOk) {
    members->clear();
    return status;
  }

  std::vector<MemberRecord> kept;
  bool refused = false;
  for (const MemberRecord& m : *members) {
    job->written.insert(Upper(m.filename));
    if (!SafeMemberName(m.filename)) {
      ReportError(job->archive, "member name \"" + m.filename + "\" cannot be used as a file name");
      status = kExitFailure;
      continue;
    }
    std::string target = JoinPath(job->dir, m.filename);
    std::error_code ec;
    bool exists = fs::exists(fs::symlink_status(FsPath(target), ec));
    if (exists && SameFile(target, job->source->path)) {
      ReportError(target, "is the archive being read and is never written over, not even with --force");
      refused = true;
    } else if (exists && options.skipExisting) {
      ReportResult(options, "skipped   " + m.filename + " (exists)",
                   {{"member", JsonString(m.filename)}, {"action", "\"skipped\""}, {"output", JsonString(target)}});
    } else if (exists && !options.force) {
      ReportError(target, "already exists (use --force to replace it, or --skip-existing to keep it)");
      refused = true;
    } else {
      kept.push_back(m);
    }
  }
  if (refused) {
    ReportError(job->archive, "nothing was extracted");
    members->clear();
    return kExitFailure;
  }
  *members = kept;
  return status;
}

bool PackProgressReport(uint64_t done, uint64_t total, void* user) {
  return ReportProgress(static_cast<ProgressBar*>(user), done, total);
}

// Writes the archive under a temporary name beside `target` and moves it
// into place; returns an exit status, with the error reported.
int WritePackFile(const Options& options, const std::string& target, const std::vector<PackInput>& inputs,
                  PackResult* result) {
  PendingOutput out;
  std::string error;
  if (!CreatePendingFile(target, &out, &error)) {
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
  ProgressBar bar;
  StartProgress(&bar, BaseName(target), options.quiet);
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

}  // namespace

int RunList(const Options& options, const PluginSet& set) {
  if (options.args.size() != 1) return UsageError("list takes one archive");
  const std::string& path = options.args[0];
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options, set, path, kKindArchive, &source);
  if (plugin == nullptr) return kExitFailure;
  std::vector<MemberRecord> members;
  CallFailure failure;
  if (!ListArchive(*plugin, source, &members, &failure)) {
    ReportError(path, FailureText(*plugin, failure));
    return kExitFailure;
  }
  PrintListing(options, source, *plugin, members, false);
  return kExitOk;
}

int RunExtract(const Options& options, const PluginSet& set) {
  if (options.args.empty()) return UsageError("extract needs an archive");
  const std::string& path = options.args[0];
  if (!options.outputDir.empty()) {
    std::error_code ec;
    fs::create_directories(FsPath(options.outputDir), ec);
    if (!IsDirectory(options.outputDir)) {
      ReportError(options.outputDir, "cannot create the folder" + (ec ? ": " + ec.message() : std::string()));
      return kExitFailure;
    }
  }
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options, set, path, kKindArchive, &source);
  if (plugin == nullptr) return kExitFailure;
  std::vector<MemberRecord> members;
  CallFailure failure;
  int status = kExitOk;
  if (options.args.size() == 1) {
    if (!ListArchive(*plugin, source, &members, &failure)) {
      ReportError(path, FailureText(*plugin, failure));
      return kExitFailure;
    }
  } else {
    std::vector<MemberRecord> all;
    bool listed = false;
    for (size_t i = 1; i < options.args.size(); ++i) {
      const std::string& wanted = options.args[i];
      std::vector<MemberRecord> found;
      if (IsPattern(wanted)) {
        if (!listed && !ListArchive(*plugin, source, &all, &failure)) {
          ReportError(source.name, FailureText(*plugin, failure));
          return kExitFailure;
        }
        listed = true;
        for (const MemberRecord& m : all) {
          if (MatchesPattern(wanted, m.filename)) found.push_back(m);
        }
        if (found.empty()) {
          ReportError(source.name, "no member matches " + wanted);
          status = kExitFailure;
        }
      } else {
        MemberRecord m;
        if (FindMember(*plugin, source, wanted, &m, &failure)) {
          found.push_back(m);
        } else {
          if (failure.code == kResultReadError) {
            ReportError(source.name, "no member " + wanted + " (or the archive's directory cannot be read)");
          } else {
            ReportError(source.name, "member " + wanted + ": " + FailureText(*plugin, failure));
          }
          status = kExitFailure;
        }
      }
      // A member named or matched twice is extracted once.
      for (const MemberRecord& m : found) {
        bool again = false;
        for (const MemberRecord& known : members) again = again || known.filename == m.filename;
        if (!again) members.push_back(m);
      }
    }
  }
  ExtractJob job{&options, plugin, &set, &source, path, options.outputDir.empty() ? "." : options.outputDir, {}};
  if (PlanExtraction(&job, &members) != kExitOk) status = kExitFailure;
  for (const MemberRecord& m : members) {
    int s = ExtractMember(&job, m);
    if (s == kExitCancelled) return s;
    if (s != kExitOk) status = s;
  }
  return status;
}

int RunPack(const Options& options) {
  if (options.args.size() < 2) return UsageError("pack needs an output archive and at least one file");
  const std::string& target = options.args[0];
  std::vector<PackInput> inputs;
  std::vector<std::string> paths;
  for (size_t i = 1; i < options.args.size(); ++i) {
    const std::string& file = options.args[i];
    if (IsDirectory(file) || !fs::exists(FsPath(file))) {
      ReportError(file, IsDirectory(file) ? "is a folder, not a file" : "no such file");
      return kExitFailure;
    }
    inputs.push_back(PackInput{BaseName(file), file});
    paths.push_back(file);
  }
  int status = CheckOutputTarget(options, target, paths);
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
    ReportResult(options,
                 target + ": " + std::to_string(result.members) + " members, " +
                     std::to_string(result.archiveBytes) + " bytes",
                 {{"archive", JsonString(target)}, {"members", JsonNumber(result.members)},
                  {"size", JsonNumber(result.archiveBytes)}});
  }
  return status;
}

}  // namespace kaldorin
