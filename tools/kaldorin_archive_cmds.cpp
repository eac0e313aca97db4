// The subcommands about archives: list, extract, pack.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "tools/kaldorin_cli.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"
#include "tools/pack_writer.h"

namespace fs = std::filesystem;

namespace {

// A member name that may become a file name in the output folder: no
// folders, no drive, nothing that climbs out.
bool SafeMemberName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\:") == std::string::npos;
}

// An empty working folder inside `dir`, for one member.
std::string FreshFolderIn(const std::string& dir) {
  std::error_code ec;
  std::string p = TempNameFor(JoinPath(dir, "extract"));
  return fs::create_directory(p, ec) ? p : std::string();
}

struct ExtractJob {
  const Options* options;
  const HostPlugin* plugin;
  const PluginSet* set;
  const DataSource* source;
  std::string archive;
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

// Turns a member that a picture plug-in takes into a picture file.
int DecodeMember(ExtractJob* job, const MemberRecord& m, const std::vector<uint8_t>& bytes) {
  uint8_t probe[2048] = {};
  memcpy(probe, bytes.data(), bytes.size() < sizeof probe ? bytes.size() : sizeof probe);
  const HostPlugin* picture = PickPlugin(*job->set, kKindPicture, m.filename, probe);
  if (picture == nullptr || bytes.empty()) return kExitOk;
  std::string ext = job->options->format.empty() ? DefaultImageExtension() : "." + job->options->format;
  std::string name = StemOf(m.filename) + ext;
  std::string target = JoinPath(job->options->outputDir.empty() ? "." : job->options->outputDir, name);
  if (!job->written.insert(name).second) {
    ReportError(job->archive, "member " + m.filename + ": " + name + " was already written by this extraction");
    return kExitFailure;
  }
  ProgressBar bar;
  StartProgress(&bar, name, job->options->quiet);
  RgbImage image;
  CallFailure failure;
  bool ok = DecodePicture(*picture, reinterpret_cast<LPCSTR>(bytes.data()), static_cast<SpiLong>(bytes.size()),
                          kInputMemory, &bar, &image, &failure);
  FinishProgress(&bar);
  if (!ok) {
    if (failure.code == kResultCancelled && CancelRequested()) {
      ReportError(job->archive, "member " + m.filename + ": cancelled");
      return kExitCancelled;
    }
    ReportError(job->archive, "member " + m.filename + ": " + FailureText(*picture, failure));
    return kExitFailure;
  }
  int status = WriteImageSafely(target, FormatFromName(target), image);
  if (status == kExitOk) printf("decoded   %s -> %s (%u x %u)\n", m.filename.c_str(), name.c_str(), image.width, image.height);
  return status;
}

int ExtractMember(ExtractJob* job, const MemberRecord& m) {
  const Options& options = *job->options;
  if (!SafeMemberName(m.filename)) {
    ReportError(job->archive, "member name \"" + m.filename + "\" cannot be used as a file name");
    return kExitFailure;
  }
  if (!job->written.insert(m.filename).second) {
    ReportError(job->archive, "member " + m.filename + " appears twice; the second one is not extracted");
    return kExitFailure;
  }
  std::string dir = options.outputDir.empty() ? "." : options.outputDir;
  std::string target = JoinPath(dir, m.filename);
  ProgressBar bar;
  StartProgress(&bar, m.filename, options.quiet);
  CallFailure failure;
  std::vector<uint8_t> bytes;
  int status = kExitOk;
  if (options.viaMemory) {
    bool ok = ExtractToMemory(*job->plugin, *job->source, m, &bar, &bytes, &failure);
    FinishProgress(&bar);
    if (!ok) return FailMember(*job, m, failure);
    status = WriteBytesSafely(target, bytes.data(), bytes.size());
  } else {
    std::string folder = FreshFolderIn(dir);
    if (folder.empty()) {
      FinishProgress(&bar);
      ReportError(dir, "cannot create a working folder here");
      return kExitFailure;
    }
    std::string writtenPath;
    bool ok = ExtractToFolder(*job->plugin, *job->source, m, folder, &bar, &writtenPath, &failure);
    FinishProgress(&bar);
    if (ok) {
      status = CommitSafely(writtenPath, target);
    } else {
      status = FailMember(*job, m, failure);
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (status != kExitOk) return status;
    if (options.decodeMembers) {
      std::string error;
      if (!ReadFileFrom(target, 0, &bytes, &error)) {
        ReportError(target, error);
        return kExitFailure;
      }
    }
  }
  if (status != kExitOk) return status;
  uint64_t size = 0;
  FileSizeOf(target, &size);
  printf("extracted %s (%llu bytes)\n", m.filename.c_str(), static_cast<unsigned long long>(size));
  if (options.decodeMembers) return DecodeMember(job, m, bytes);
  return kExitOk;
}

bool PackProgressReport(uint64_t done, uint64_t total, void* user) {
  return ReportProgress(static_cast<ProgressBar*>(user), done, total);
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
    fs::create_directories(options.outputDir, ec);
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
    for (size_t i = 1; i < options.args.size(); ++i) {
      MemberRecord m;
      if (FindMember(*plugin, source, options.args[i], &m, &failure)) {
        members.push_back(m);
      } else {
        std::string why = failure.code == kResultReadError ? "not found or unreadable: " : "";
        ReportError(path, "member " + options.args[i] + ": " + why + FailureText(*plugin, failure));
        status = kExitFailure;
      }
    }
  }
  ExtractJob job{&options, plugin, &set, &source, path, {}};
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
  for (size_t i = 1; i < options.args.size(); ++i) {
    const std::string& file = options.args[i];
    if (IsDirectory(file) || !fs::exists(file)) {
      ReportError(file, IsDirectory(file) ? "is a folder, not a file" : "no such file");
      return kExitFailure;
    }
    inputs.push_back(PackInput{BaseName(file), file});
  }
  std::string temp = TempNameFor(target);
  ProgressBar bar;
  StartProgress(&bar, BaseName(target), options.quiet);
  PackResult result;
  std::string error;
  bool ok = WritePack(temp, inputs, PackProgressReport, &bar, &result, &error);
  FinishProgress(&bar);
  if (!ok) {
    RemoveQuietly(temp);
    if (CancelRequested()) {
      ReportError(target, "cancelled");
      return kExitCancelled;
    }
    ReportError(target, error);
    return kExitFailure;
  }
  int status = CommitSafely(temp, target);
  if (status == kExitOk) {
    printf("%s: %llu members, %llu bytes\n", target.c_str(), static_cast<unsigned long long>(result.members),
           static_cast<unsigned long long>(result.archiveBytes));
  }
  return status;
}
