// kaldorin extract: an archive's members, all, named or matched, into a
// folder; with --decode also the pictures among them.
#include <stdio.h>
#include <string.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_archive_cause.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_jobs.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"
#include "tools/kaldorin_truncation.h"
#include "common/windows_names.h"

namespace kaldorin {

namespace {

struct ExtractOptions {
  PluginLoading plugins;
  DataInput input;
  Reporting report;
  std::string dir;  // -d
  std::string format;  // --format png|bmp, with --decode
  bool viaMemory = false;
  bool decodeMembers = false;  // --decode
  bool force = false;
  bool skipExisting = false;
  bool allowTruncated = false;
  bool allowOverlap = false;  // --allow-overlap
  uint64_t jobs = 0;  // -j; 0: the processors available
  std::vector<std::string> operands;  // ARCHIVE [MEMBER|PATTERN...]
};

// A member name that may become a file name in the output folder: no
// folders, no drive, nothing that climbs out.
bool SafeMemberName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of("/\\:") == std::string::npos;
}

// The file name a member is written under. On Windows a name that ends in
// dots or spaces loses them, as Windows would create it ("A." is "A"), and a
// name that Windows resolves to a device gets a leading "_" ("_COM1.X"), as
// 7-Zip writes it: the device would take the bytes and the file never
// appear. Elsewhere every name is written as it is.
std::string OutputName(const std::string& name) {
#ifdef _WIN32
  std::string out = name.substr(0, winname::StrippedLength(name.data(), name.size()));
  if (out.empty()) return name;  // "." and "..": refused as names that climb out
  if (winname::IsDeviceName(out.data(), out.size())) out = "_" + out;
  return out;
#else
  return name;
#endif
}

// Why a member is written under another name, for the warning.
std::string RenameReason(const std::string& name) {
  if (winname::IsDeviceName(name.data(), name.size())) return "Windows gives the name to a device";
  return "Windows strips the dots and spaces that end a name";
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

struct ExtractJob {
  const ExtractOptions* options;
  const HostPlugin* plugin;
  const PluginSet* set;
  const DataSource* source;
  std::string archive;
  std::string dir;                // where members go
  std::set<std::string> written;  // output names so far, so that none is overwritten twice
  // Members run on several threads. Pictures whose decoded names are alike
  // are decoded in the order of the members, so that the same one is
  // refused whatever the number of jobs: each waits for its nearest earlier
  // namesake (`namesake`, or kNone) to finish.
  static constexpr size_t kNone = ~size_t{0};
  std::vector<size_t> namesake;
  std::vector<bool> finished;
  std::mutex mutex;  // guards `written` and `finished`
  std::condition_variable settled;
};

std::string DecodedName(const ExtractOptions& options, const MemberRecord& m) {
  std::string ext = options.format.empty() ? DefaultImageExtension() : "." + options.format;
  return OutputName(StemOf(m.filename) + ext);
}

// Whether `name` (a picture's) is not yet written by this extraction, once
// every earlier member whose picture would share it has finished; it is
// then taken.
bool TakeDecodedName(ExtractJob* job, size_t index, const std::string& name) {
  std::unique_lock<std::mutex> lock(job->mutex);
  const size_t before = job->namesake[index];
  job->settled.wait(lock, [&] { return before == ExtractJob::kNone || job->finished[before]; });
  return job->written.insert(Upper(name)).second;
}

void FinishMember(ExtractJob* job, size_t index) {
  {
    std::lock_guard<std::mutex> lock(job->mutex);
    job->finished[index] = true;
  }
  job->settled.notify_all();
}

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
  ReportError(job.archive, "member " + m.filename + ": " + ArchiveFailureText(*job.plugin, failure, *job.source) + hint);
  return kExitFailure;
}

int SizeMismatch(const ExtractJob& job, const MemberRecord& m, uint64_t got) {
  ReportError(job.archive, "member " + m.filename + ": " + job.plugin->fileName + " delivered " + std::to_string(got) +
                               " bytes, but the listing says " + std::to_string(m.filesize) +
                               "; nothing was written for it");
  return kExitFailure;
}

// Turns a member that a picture plug-in takes into a picture file.
int DecodeMember(ExtractJob* job, size_t index, const MemberRecord& m, const std::vector<uint8_t>& bytes) {
  uint8_t probe[2048] = {};
  memcpy(probe, bytes.data(), bytes.size() < sizeof probe ? bytes.size() : sizeof probe);
  const HostPlugin* picture = PickPlugin(*job->set, kKindPicture, m.filename, probe);
  if (picture == nullptr || bytes.empty()) return kExitOk;
  std::string name = DecodedName(*job->options, m);
  std::string target = JoinPath(job->dir, name);
  if (!TakeDecodedName(job, index, name)) {
    ReportError(job->archive, "member " + m.filename + ": " + ShownName(name) + " was already written by this extraction");
    return kExitFailure;
  }
  int status = CheckOutputTarget(job->options->force, target, {job->source->path});
  if (status != kExitOk) return status;
  TruncationCheck check;
  std::string subject = job->archive + ": member " + m.filename;
  if (!StartTruncationCheck(job->options->allowTruncated, subject, bytes, &check)) return kExitFailure;
  ProgressBar bar;
  StartProgress(&bar, name, job->options->report.quiet);
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
  if (!FinishTruncationCheck(job->options->allowTruncated, &check)) return kExitFailure;
  status = WriteImageSafely({job->options->force, job->options->report.quiet}, target, FormatFromName(target), image);
  if (status == kExitOk) {
    char size[48];
    snprintf(size, sizeof size, "%u x %u", image.width, image.height);
    ReportResult(job->options->report, "decoded   " + m.filename + " -> " + ShownName(name) + " (" + size + ")",
                 {{"member", JsonString(m.filename)}, {"action", "\"decoded\""}, {"output", JsonString(target)},
                  {"width", JsonNumber(image.width)}, {"height", JsonNumber(image.height)}});
  }
  return status;
}

// The member through GetFile into memory, checked against the listing's size.
int MemberToMemory(ExtractJob* job, const MemberRecord& m, std::vector<uint8_t>* bytes) {
  ProgressBar bar;
  StartProgress(&bar, m.filename, job->options->report.quiet);
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
  StartProgress(&bar, m.filename, job->options->report.quiet);
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
      status = MoveSafely(job->options->force, written, target);
    }
  }
  RemoveWorkFolder(folder, slot);
  return status;
}

int ExtractMember(ExtractJob* job, size_t index, const MemberRecord& m) {
  const ExtractOptions& options = *job->options;
  const std::string name = OutputName(m.filename);
  std::string target = JoinPath(job->dir, name);
  std::vector<uint8_t> bytes;
  int status = kExitOk;
  if (m.filesize == 0) {
    // Empty members are made here: some plug-ins cannot hand over nothing.
    status = WriteBytesSafely({options.force, options.report.quiet}, target, nullptr, 0);
  } else if (options.viaMemory || name != m.filename) {
    // A name that the system would change reaches no plug-in as a file
    // name: a plug-in writing it would hit the device, or a file that is not
    // the one checked.
    status = MemberToMemory(job, m, &bytes);
    if (status == kExitOk) status = WriteBytesSafely({options.force, options.report.quiet}, target, bytes.data(), bytes.size());
  } else {
    bool retryInMemory = false;
    status = MemberToFile(job, m, target, &retryInMemory);
    if (retryInMemory) {
      status = MemberToMemory(job, m, &bytes);
      if (status == kExitOk) status = WriteBytesSafely({options.force, options.report.quiet}, target, bytes.data(), bytes.size());
    } else if (status == kExitOk && options.decodeMembers) {
      std::string error;
      if (!ReadFileFrom(target, 0, &bytes, &error)) {
        ReportError(target, error);
        return kExitFailure;
      }
    }
  }
  if (status != kExitOk) return status;
  ReportResult(options.report,
               "extracted " + m.filename + (name != m.filename ? " as " + ShownName(name) : std::string()) + " (" +
                   std::to_string(m.filesize) + " bytes)",
               {{"member", JsonString(m.filename)}, {"action", "\"extracted\""}, {"output", JsonString(target)},
                {"size", JsonNumber(m.filesize)}});
  if (options.decodeMembers) return DecodeMember(job, index, m, bytes);
  return kExitOk;
}

// Checks every member before anything is written: names that cannot be file
// names, names that differ only in case (they would overwrite each other on
// Windows and macOS), the archive itself as an output, and outputs that
// exist (refused, kept with --skip-existing, replaced with --force).
// `members` keeps the ones to extract: none when a refusal stops the whole
// extraction.
int PlanExtraction(ExtractJob* job, std::vector<MemberRecord>* members) {
  const ExtractOptions& options = *job->options;
  int status = kExitOk;
  std::map<std::string, std::string> byKey;
  for (const MemberRecord& m : *members) {
    auto known = byKey.emplace(Upper(OutputName(m.filename)), m.filename);
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
    const std::string name = OutputName(m.filename);
    job->written.insert(Upper(name));
    if (!SafeMemberName(m.filename)) {
      ReportError(job->archive, "member name " + ShownName(m.filename) + " cannot be used as a file name");
      status = kExitFailure;
      continue;
    }
    std::string target = JoinPath(job->dir, name);
    std::error_code ec;
    bool exists = fs::exists(fs::symlink_status(FsPath(target), ec));
    if (exists && SameFile(target, job->source->path)) {
      ReportError(target, "is the archive being read and is never written over, not even with --force");
      refused = true;
    } else if (exists && options.skipExisting) {
      ReportResult(options.report, "skipped   " + ShownName(name) + " (exists)",
                   {{"member", JsonString(m.filename)}, {"action", "\"skipped\""}, {"output", JsonString(target)}});
    } else if (exists && !options.force) {
      ReportError(target, "already exists (use --force to replace it, or --skip-existing to keep it)");
      refused = true;
    } else {
      kept.push_back(m);
      if (name != m.filename) {
        ReportError(job->archive, "warning: member " + m.filename + " is written as " + ShownName(name) + ": " +
                                      RenameReason(m.filename));
      }
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

// Refuses members whose data overlap in part, which can make a small
// archive write many times its size, unless --allow-overlap; then the total
// is reported before anything is written.
int CheckOverlaps(const ExtractOptions& options, const std::string& archive, const std::vector<MemberRecord>& members) {
  uint64_t total = 0;
  const std::vector<MemberPair> overlaps = OverlappingMembers(members, 1, &total);
  if (overlaps.empty()) return kExitOk;
  const std::string first = members[overlaps[0].first].filename;
  const std::string second = members[overlaps[0].second].filename;
  const std::string sizes = std::to_string(members.size()) + " members, " + std::to_string(total) + " bytes in total";
  if (!options.allowOverlap) {
    ReportError(archive, "members " + first + " and " + second + " overlap: this may be an archive bomb (" + sizes +
                             "); nothing was extracted (use --allow-overlap to extract it anyway)");
    return kExitFailure;
  }
  ReportResult(options.report, "members " + first + " and " + second + " overlap; extracting " + sizes,
               {{"archive", JsonString(archive)}, {"action", "\"overlap allowed\""},
                {"members", JsonNumber(members.size())}, {"total", JsonNumber(total)}});
  return kExitOk;
}

int RunExtract(const ExtractOptions& options, const PluginSet& set) {
  const std::string& path = options.operands[0];
  if (!options.dir.empty()) {
    std::error_code ec;
    fs::create_directories(FsPath(options.dir), ec);
    if (!IsDirectory(options.dir)) {
      ReportError(options.dir, "cannot create the folder" + (ec ? ": " + ec.message() : std::string()));
      return kExitFailure;
    }
  }
  DataSource source;
  const HostPlugin* plugin = OpenAndPick(options.input, options.plugins, set, path, kKindArchive, &source);
  if (plugin == nullptr) return kExitFailure;
  std::vector<MemberRecord> members;
  CallFailure failure;
  int status = kExitOk;
  if (options.operands.size() == 1) {
    if (!ListArchive(*plugin, source, &members, &failure)) {
      ReportError(path, ArchiveFailureText(*plugin, failure, source));
      return kExitFailure;
    }
  } else {
    std::vector<MemberRecord> all;
    bool listed = false;
    for (size_t i = 1; i < options.operands.size(); ++i) {
      const std::string& wanted = options.operands[i];
      std::vector<MemberRecord> found;
      if (IsPattern(wanted)) {
        if (!listed && !ListArchive(*plugin, source, &all, &failure)) {
          ReportError(source.name, ArchiveFailureText(*plugin, failure, source));
          return kExitFailure;
        }
        listed = true;
        for (const MemberRecord& m : all) {
          if (MatchesPattern(wanted, m.filename)) found.push_back(m);
        }
        if (found.empty()) {
          ReportError(source.name, "no member matches " + ShownName(wanted));
          status = kExitFailure;
        }
      } else {
        MemberRecord m;
        if (FindMember(*plugin, source, wanted, &m, &failure)) {
          found.push_back(m);
        } else {
          if (failure.code == kResultReadError) {
            ReportError(source.name, "no member " + ShownName(wanted) + " (or the archive's directory cannot be read)");
          } else {
            ReportError(source.name, "member " + ShownName(wanted) + ": " + FailureText(*plugin, failure));
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
  if (CheckOverlaps(options, path, members) != kExitOk) return kExitFailure;
  ExtractJob job;
  job.options = &options;
  job.plugin = plugin;
  job.set = &set;
  job.source = &source;
  job.archive = path;
  job.dir = options.dir.empty() ? "." : options.dir;
  if (PlanExtraction(&job, &members) != kExitOk) status = kExitFailure;
  job.finished.assign(members.size(), false);
  job.namesake.assign(members.size(), ExtractJob::kNone);
  std::map<std::string, size_t> lastWithName;
  for (size_t i = 0; options.decodeMembers && i < members.size(); ++i) {
    auto known = lastWithName.emplace(Upper(DecodedName(options, members[i])), i);
    if (!known.second) job.namesake[i] = known.first->second;
    known.first->second = i;
  }
  Batch batch;
  batch.count = members.size();
  batch.threads = JobCount(options.jobs);
  batch.noun = "members";
  batch.quiet = options.report.quiet;
  batch.bytes = [&](size_t i) { return members[i].filesize; };
  const int s = RunBatch(batch, [&](size_t i) {
    const int memberStatus = ExtractMember(&job, i, members[i]);
    FinishMember(&job, i);
    return memberStatus;
  });
  return s != kExitOk ? s : status;
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<ExtractOptions>();
  DeclarePluginLoading(d, &o->plugins);
  DeclareDataInput(d, &o->input);
  d->Option(kOptViaMemory, &o->viaMemory);
  d->Option(kOptDecode, &o->decodeMembers);
  d->Option(kOptFormat, &o->format);
  d->Option(kOptDir, &o->dir);
  d->Option(kOptForce, &o->force);
  d->Option(kOptSkipExisting, &o->skipExisting);
  d->Option(kOptAllowTruncated, &o->allowTruncated);
  d->Option(kOptAllowOverlap, &o->allowOverlap);
  d->Option(kOptJobs, &o->jobs);
  DeclareReporting(d, &o->report);
  d->Operands(&o->operands, 1, Declaration::kAnyNumber, "extract needs an archive");
  d->Refuse([o, d]() -> std::string {
    if (o->decodeMembers) return "";
    if (d->Given(kOptFormat)) return "extract: --format applies to the pictures of --decode only";
    if (d->Given(kOptAllowTruncated)) return "extract: --allow-truncated applies to the pictures of --decode only";
    return "";
  });
  return [o] { return RunWithPlugins(o->plugins, [&](const PluginSet& set) { return RunExtract(*o, set); }); };
}

}  // namespace

extern const Command kExtractCommand = {
    "extract", "ARCHIVE [MEMBER|PATTERN...]", "ARCHIVE [MEMBER...]\textract all, the named or the matching members ('*.I24')",
    "Extracts every member, or the named ones, into -d DIR (default: the current folder).\n"
    "A PATTERN is a shell-style wildcard such as '*.I24'; names and patterns are matched\n"
    "ignoring case, and one that matches nothing is an error. Every member's size is\n"
    "verified. Members whose data overlap in part (a possible archive bomb) are refused\n"
    "unless --allow-overlap. ARCHIVE - reads standard input.\n",
    Declare};

}  // namespace kaldorin
