#include "tools/kaldorin_shared.h"

#include <errno.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <stdio.h>

#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "tools/kaldorin_archive_cause.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_messages.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"
#include "tools/member_overlaps.h"

namespace kaldorin {

std::string JsonNumber(uint64_t value) { return std::to_string(value); }

void ReportResult(const Reporting& report, const std::string& text, const JsonFields& json) {
  FILE* out = report.toStandardError ? stderr : stdout;
  if (report.json) {
    std::string line = "{";
    for (size_t i = 0; i < json.size(); ++i) {
      line += (i ? ", " : "") + JsonString(json[i].first) + ": " + json[i].second;
    }
    WriteMessage(out, line + "}\n");
  } else if (!report.quiet && !text.empty()) {
    // Each line made visible on its own: the text's own line breaks stay.
    std::string lines;
    for (size_t start = 0; start <= text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines += VisibleText(text.substr(start, end - start)) + "\n";
      start = end + 1;
    }
    WriteMessage(out, lines);
  }
}

const HostPlugin* OpenAndPick(const DataInput& input, const PluginLoading& loading, const PluginSet& set, const std::string& path, PluginKind kind,
                              DataSource* source) {
  std::string error;
  if (!OpenDataSource(path, input.offset, input.fromMemory, source, &error)) {
    ReportError(path, error);
    return nullptr;
  }
  const HostPlugin* plugin = PickPlugin(set, kind, path, source->probe);
  if (plugin != nullptr) return plugin;
  const HostPlugin* other = kind == kKindOther ? nullptr : PickPlugin(set, kKindOther, path, source->probe);
  if (other != nullptr) {
    ReportError(path, std::string("not ") + (kind == kKindPicture ? "a picture" : "an archive") + ": " +
                          other->fileName + " takes it as " + (other->kind == kKindPicture ? "a picture" : "an archive"));
  } else if (kind != kKindPicture && !PackArchiveCause(*source).empty()) {
    ReportError(path, "a PACK archive that cannot be read: " + PackArchiveCause(*source));
  } else {
    std::string what = kind == kKindPicture ? "picture plug-in" : kind == kKindArchive ? "archive plug-in" : "plug-in";
    ReportError(path, "no " + what + " takes this file (" + std::to_string(set.plugins.size()) +
                          " plug-ins loaded from " + PluginFolder(loading.folder) +
                          ")");
  }
  return nullptr;
}

std::vector<MemberPair> OverlappingMembers(const std::vector<MemberRecord>& members, size_t most,
                                           uint64_t* totalBytes) {
  std::vector<MemberSpan> spans;
  for (const MemberRecord& m : members) spans.push_back({m.position, m.compsize});
  MemberOverlaps found = FindMemberOverlaps(spans, most);
  if (totalBytes != nullptr) {
    *totalBytes = 0;
    for (const MemberRecord& m : members) {
      *totalBytes = m.filesize > UINT64_MAX - *totalBytes ? UINT64_MAX : *totalBytes + m.filesize;
    }
  }
  return found.partial;
}

void PrintListing(bool json, const DataSource& source, const HostPlugin& plugin,
                  const std::vector<MemberRecord>& members, bool withHeader) {
  constexpr size_t kShownOverlaps = 10;
  const std::vector<MemberPair> overlaps = OverlappingMembers(members, kShownOverlaps, nullptr);
  if (json) {
    printf("{\"file\": %s, \"plugin\": %s, \"api\": %s, \"type\": \"archive\", \"members\": [",
           JsonString(source.name).c_str(), JsonString(plugin.fileName).c_str(),
           JsonString(plugin.apiVersion).c_str());
    for (size_t i = 0; i < members.size(); ++i) {
      const MemberRecord& m = members[i];
      printf("%s{\"name\": %s, \"path\": %s, \"method\": %s, \"position\": %llu, \"compsize\": %llu, "
             "\"size\": %llu, \"timestamp\": %llu}",
             i ? ", " : "", JsonString(m.filename).c_str(), JsonString(m.path).c_str(), JsonString(m.method).c_str(),
             static_cast<unsigned long long>(m.position), static_cast<unsigned long long>(m.compsize),
             static_cast<unsigned long long>(m.filesize), static_cast<unsigned long long>(m.timestamp));
    }
    // Pairs of members whose data overlap in part, at most ten.
    printf("], \"overlaps\": [");
    for (size_t i = 0; i < overlaps.size(); ++i) {
      printf("%s[%s, %s]", i ? ", " : "", JsonString(members[overlaps[i].first].filename).c_str(),
             JsonString(members[overlaps[i].second].filename).c_str());
    }
    printf("]}\n");
    return;
  }
  if (withHeader) {
    printf("%s\n", ShownName(source.name).c_str());
    printf("  plug-in   %s (%s)\n", ShownName(plugin.fileName).c_str(), VisibleText(plugin.apiVersion).c_str());
    printf("  type      archive, %zu member%s\n", members.size(), members.size() == 1 ? "" : "s");
  }
  uint64_t total = 0;
  printf("%12s %12s  %-8s %s\n", "size", "position", "method", "name");
  for (const MemberRecord& m : members) {
    printf("%12llu %12llu  %-8s %s\n", static_cast<unsigned long long>(m.filesize),
           static_cast<unsigned long long>(m.position), VisibleText(m.method).c_str(),
           ShownName(m.path + m.filename).c_str());
    total += m.filesize;
  }
  printf("%12llu %12s  %-8s %zu member%s\n", static_cast<unsigned long long>(total), "", "",
         members.size(), members.size() == 1 ? "" : "s");
  for (const MemberPair& pair : overlaps) {
    printf("  overlap   %s and %s share data in part (extract refuses them as a possible archive bomb)\n",
           ShownName(members[pair.first].filename).c_str(), ShownName(members[pair.second].filename).c_str());
  }
}

int CheckOutputTarget(bool force, const std::string& target, const std::vector<std::string>& inputs) {
  if (target == "-") return kExitOk;
  for (const std::string& input : inputs) {
    if (SameFile(target, input)) {
      ReportError(target, "is the input " + ShownName(input) + " of this command and is never written over, not even with --force");
      return kExitFailure;
    }
  }
  std::error_code ec;
  if (!force && fs::exists(fs::symlink_status(FsPath(target), ec))) {
    ReportError(target, "already exists (use --force to replace it)");
    return kExitFailure;
  }
  return kExitOk;
}

namespace {

bool WriteProgressReport(uint64_t done, uint64_t total, void* user) {
  return ReportProgress(static_cast<ProgressBar*>(user), done, total);
}

// Moves a finished temporary file into place, unless a Ctrl-C arrived.
int CommitOutput(bool force, PendingOutput* out) {
  if (CancelRequested()) {
    DiscardPending(out);
    ReportError(out->target, "cancelled");
    return kExitCancelled;
  }
  std::string error;
  if (!CommitPending(out, force, &error)) {
    ReportError(out->target, error);
    return kExitFailure;
  }
  return kExitOk;
}

// Ends a failed write: removes the temporary file and reports the cause.
int FailOutput(PendingOutput* out, const std::string& error) {
  DiscardPending(out);
  if (CancelRequested()) {
    ReportError(out->target, "cancelled");
    return kExitCancelled;
  }
  ReportError(out->target, "cannot write: " + error);
  return kExitFailure;
}

}  // namespace

int MoveSafely(bool force, const std::string& from, const std::string& target) {
  if (CancelRequested()) {
    ReportError(target, "cancelled");
    return kExitCancelled;
  }
  std::string error;
  if (!MoveIntoPlace(from, target, force, &error)) {
    ReportError(target, error);
    return kExitFailure;
  }
  return kExitOk;
}

FILE* StandardOutput() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  return stdout;
}

int FinishStandardOutput(bool ok, const std::string& error) {
  if (ok && fflush(stdout) != 0) {
    ReportError("standard output", SystemError(errno));
    return kExitFailure;
  }
  if (ok) return kExitOk;
  ReportError("standard output", error);
  return CancelRequested() ? kExitCancelled : kExitFailure;
}

int CheckOutputsOfInputs(bool force, const std::vector<std::string>& inputs, const std::vector<std::string>& targets,
                         const char* verb) {
  std::map<std::string, std::string> outputs;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (targets[i] != "-") {
      auto known = outputs.emplace(Utf8Path(FsPath(AbsolutePath(targets[i])).lexically_normal()), inputs[i]);
      if (!known.second) {
        ReportError(targets[i], "would be written for both " + ShownName(known.first->second) + " and " +
                                    ShownName(inputs[i]) + "; " + verb + " them into different folders");
        return kExitFailure;
      }
    }
    const int status = CheckOutputTarget(force, targets[i], inputs);
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int WriteImageSafely(const WriteRules& rules, const std::string& target, ImageFormat format, const RgbImage& image) {
  PendingOutput out;
  std::string error;
  if (target == "-") {
    return FinishStandardOutput(WriteImageStream(StandardOutput(), format, image, nullptr, nullptr, &error), error);
  }
  if (!CreatePendingFile(target, &out, &error)) {
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
  ProgressBar bar;
  StartProgress(&bar, "writing " + BaseName(target), rules.quiet);
  bool ok = WriteImageStream(out.file, format, image, WriteProgressReport, &bar, &error);
  FinishProgress(&bar);
  if (!ok) return FailOutput(&out, error);
  return CommitOutput(rules.force, &out);
}

int WriteBytesSafely(const WriteRules& rules, const std::string& target, const uint8_t* data, size_t size) {
  PendingOutput out;
  std::string error;
  if (target == "-") {
    bool ok = size == 0 || fwrite(data, 1, size, StandardOutput()) == size;
    return FinishStandardOutput(ok, ok ? "" : SystemError(errno));
  }
  if (!CreatePendingFile(target, &out, &error)) {
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
  // Large outputs are written in pieces, so that a Ctrl-C stops them.
  constexpr size_t kPiece = size_t{1} << 22;
  ProgressBar bar;
  StartProgress(&bar, "writing " + BaseName(target), rules.quiet || size < kPiece);
  bool ok = true;
  for (size_t done = 0; ok && done < size; done += kPiece) {
    if (ReportProgress(&bar, done, size)) {
      error = "cancelled";
      ok = false;
      break;
    }
    size_t n = size - done < kPiece ? size - done : kPiece;
    errno = 0;
    if (fwrite(data + done, 1, n, out.file) != n) {
      error = errno != 0 ? SystemError(errno) : "write error";
      ok = false;
    }
  }
  FinishProgress(&bar);
  if (!ok) return FailOutput(&out, error);
  return CommitOutput(rules.force, &out);
}

}  // namespace kaldorin
