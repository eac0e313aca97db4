// kaldorin test: whether archives and pictures are whole, writing nothing.
// An archive is listed once, its members read one at a time through the
// plug-in into memory and the pictures among them checked from those bytes,
// so that each byte is read once and memory stays bounded by the largest
// member. A picture is decoded once: by the tool's own core, without making
// pixels, when its plug-in is built on that core; else by its plug-in.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "archive_pack/pack_diagnosis.h"
#include "archive_pack/pack_format.h"
#include "common/windows_names.h"
#include "tools/cli/command.h"
#include "tools/cli/option_groups.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_host_calls.h"
#include "tools/kaldorin_jobs.h"
#include "tools/kaldorin_shared.h"
#include "tools/kaldorin_truncation.h"
#include "tools/member_overlaps.h"

namespace kaldorin {

namespace {

struct TestOptions {
  PluginLoading plugins;
  DataInput input;
  Reporting report;
  uint64_t jobs = 0;  // -j; 0: the processors available
  std::vector<std::string> files;
};

// Overlapping pairs named per archive, at most; the count of problems
// stays exact only up to this bound.
constexpr size_t kMostOverlapsNamed = 1000;

// What one file's test found, and how it is reported.
struct FileTest {
  const TestOptions* options;
  std::string name;  // as given
  std::atomic<size_t> problems{0};  // members are tested on several threads
};

// 2031 as "2,031".
std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Counted(uint64_t n, const char* one, const char* many) {
  return Grouped(n) + " " + (n == 1 ? one : many);
}

// One problem: "FILE: member 3 (NAME): CAUSE", or without a member (index 0)
// "FILE: CAUSE". Printed with -q too: the problems are the result.
void Problem(FileTest* t, size_t index, const std::string& member, const std::string& cause) {
  ++t->problems;
  std::string text = ShownName(t->name) + ": ";
  JsonFields json = {{"file", JsonString(t->name)}};
  if (index != 0) {
    text += "member " + std::to_string(index) + " (" + ShownName(member) + "): ";
    json.push_back({"member", JsonNumber(index)});
    json.push_back({"name", JsonString(member)});
  }
  json.push_back({"problem", JsonString(cause)});
  Reporting report = t->options->report;
  report.quiet = false;
  ReportResult(report, text + cause, json);
}

void Summary(const FileTest& t, const std::string& text, JsonFields json) {
  if (t.options->report.quiet) return;
  json.insert(json.begin(), {"file", JsonString(t.name)});
  json.push_back({"problems", JsonNumber(t.problems)});
  ReportResult(t.options->report, ShownName(t.name) + ": " + text + ", " +
                                       (t.problems == 0 ? "no problems" : Counted(t.problems, "problem", "problems")),
               json);
}

bool IsPack(const DataSource& source) { return memcmp(source.probe, pack::kMagic, pack::kMagicSize) == 0; }

// Why a PACK archive's directory cannot be read, in plain words; empty when
// the diagnosis finds nothing wrong with it.
std::string PackDirectoryCause(const DataSource& source) {
  pack::ArchiveDiagnosis d = {pack::kArchiveFine, 0};
  if (source.inMemory) {
    d = pack::DiagnoseArchive(source.bytes.data(), source.bytes.size());
  } else {
    FILE* f = OpenFile(source.path, "rb");
    if (f == nullptr || source.offset > static_cast<uint64_t>(LONG_MAX) ||
        fseek(f, static_cast<long>(source.offset), SEEK_SET) != 0) {
      if (f != nullptr) fclose(f);
      return "";
    }
    d = pack::DiagnoseArchiveFile(f);
    fclose(f);
  }
  if (d.fault == pack::kArchiveFine || d.fault == pack::kArchiveMemberPastEnd) return "";
  char text[200];
  pack::DescribeArchiveFault(d, text, sizeof text);
  return text;
}

// The names a Windows folder cannot hold as they are.
std::string WindowsNameCause(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (winname::IsDeviceName(name.data(), name.size())) {
    return "the name is a device on Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9), not a file";
  }
  if (winname::StrippedLength(name.data(), name.size()) != name.size()) {
    return "the name ends in a dot or a space, which Windows strips";
  }
  for (size_t i = 0; i < name.size();) {
    size_t units = 1;
    const uint32_t c = winname::CodeAt(name.data(), name.size(), i, &units);
    if (winname::IsForbiddenCharacter(c)) {
      char shown[16];
      snprintf(shown, sizeof shown, c < 32 ? "byte %u" : "'%c'", c);
      return std::string("the name holds ") + shown + ", which Windows forbids in file names";
    }
    i += units;
  }
  return "";
}

// The plug-in built on the tool's own decoder core, known by the start of
// its description.
constexpr char kCorePluginTitle[] = "KALDORIN I24B to DIB filter";

bool DecodesWithCore(const HostPlugin& picture) {
  return !picture.infoTexts.empty() &&
         picture.infoTexts[0].compare(0, sizeof kCorePluginTitle - 1, kCorePluginTitle) == 0;
}

// A picture and its size.
struct PictureTest {
  uint32_t width = 0;
  uint32_t height = 0;
  RgbImage image;  // decoded through the plug-in, when it was
};

// Starts the check that the picture's data does not end early, for the
// data of `source` or else the `size` bytes at `data`: on the calling
// thread when `picture` decodes with the tool's own core, whose check then
// answers for the decode (DecodeCompletely); else on a worker beside the
// plug-in's decode. Returns false when nothing is to be decoded (the cause
// a problem of `index`).
bool StartCheck(FileTest* t, const HostPlugin& picture, const DataSource* source, const uint8_t* data, size_t size,
                size_t index, const std::string& member, TruncationCheck* check) {
  std::vector<std::string> causes;
  check->causes = &causes;
  check->onCaller = DecodesWithCore(picture);
  const bool start = source != nullptr ? StartTruncationCheck(false, t->name, *source, check)
                                       : StartTruncationCheck(false, member, data, size, check);
  for (const std::string& cause : causes) Problem(t, index, member, cause);
  return start;
}

// Whether a picture decodes completely through `picture`, the check of
// StartCheck beside it; every cause becomes a problem of `index`. The
// tool's own core has decoded the picture already when the check ran on
// the caller: the plug-in is then only started (StartPictureThroughPlugin),
// for what it alone can refuse (a picture too large for it, no memory for
// its pixels), and not asked to decode it a second time. False when
// cancelled.
bool DecodeCompletely(FileTest* t, const HostPlugin& picture, const CallInput& input, TruncationCheck* check,
                      size_t index, const std::string& member, PictureTest* result) {
  std::vector<std::string> causes;
  check->causes = &causes;
  CallFailure failure;
  bool decoded = false;
  if (check->onCaller && check->running) {
    if (check->cancelled) return false;
    decoded = StartPictureThroughPlugin(picture, input, &failure);
    result->width = check->width;
    result->height = check->height;
  } else {
    ProgressBar bar;
    StartProgress(&bar, member, true);
    decoded = GetPictureThroughPlugin(picture, input, &bar, &result->image, &failure);
    if (!decoded && failure.code == kResultCancelled && CancelRequested()) return false;
    result->width = result->image.width;
    result->height = result->image.height;
  }
  if (!decoded) causes.push_back("the picture does not decode: " + FailureText(picture, failure));
  FinishTruncationCheck(false, check);
  for (const std::string& cause : causes) Problem(t, index, member, cause);
  return true;
}

// A member's bytes, read once through the archive plug-in into the block it
// hands over; a picture plug-in's member checked from them. False when
// cancelled.
bool TestMember(FileTest* t, const PluginSet& set, const HostPlugin& plugin, const DataSource& source,
                const MemberRecord& m, size_t index, PictureTest* picture) {
  ProgressBar bar;
  StartProgress(&bar, m.filename, true);
  CallFailure failure;
  BlockView block;
  const bool read = ExtractToBlock(plugin, source, m, &bar, &block, &failure);
  if (!read && failure.code == kResultCancelled && CancelRequested()) return false;
  if (!read) {
    std::string hint;
    if (failure.code == kResultUnknownFormat && source.offset != 0 && !source.inMemory) {
      hint = " (for an archive inside a larger file, try --from-memory)";
    }
    Problem(t, index, m.filename, "cannot be read: " + FailureText(plugin, failure) + hint);
    return true;
  }
  bool going = true;
  if (block.size != m.filesize) {
    Problem(t, index, m.filename,
            plugin.fileName + " delivered " + Grouped(block.size) + " bytes, the listing says " + Grouped(m.filesize));
  } else {
    uint8_t probe[2048] = {};
    memcpy(probe, block.data, block.size < sizeof probe ? block.size : sizeof probe);
    const HostPlugin* picturePlugin = PickPlugin(set, kKindPicture, m.filename, probe);
    TruncationCheck check;
    if (picturePlugin != nullptr &&
        StartCheck(t, *picturePlugin, nullptr, block.data, block.size, index, m.filename, &check)) {
      going = DecodeCompletely(t, *picturePlugin, MemoryInput(block.data, block.size), &check, index, m.filename,
                               picture);
    }
  }
  ReleaseHostBlock(plugin, &block);
  return going;
}

// Everything about an archive that its listing shows: members past the end
// of the data, overlaps, positions shared, names Windows cannot hold.
void CheckListing(FileTest* t, const DataSource& source, const std::vector<MemberRecord>& members,
                  std::vector<bool>* readable) {
  uint64_t dataSize = UINT64_MAX;
  if (source.inMemory) {
    dataSize = source.bytes.size();
  } else if (!FileSizeOf(source.path, &dataSize)) {
    dataSize = UINT64_MAX;
  }
  std::vector<MemberSpan> spans;
  for (size_t i = 0; i < members.size(); ++i) {
    const MemberRecord& m = members[i];
    spans.push_back({m.position, m.compsize});
    (*readable)[i] = true;
    if (m.compsize > dataSize || m.position > dataSize - m.compsize) {
      Problem(t, i + 1, m.filename,
              "its data (" + Grouped(m.compsize) + " bytes at " + Grouped(m.position) + ") runs past the end of the " +
                  Grouped(dataSize) + "-byte file");
      (*readable)[i] = false;
    }
    const std::string cause = WindowsNameCause(m.filename);
    if (!cause.empty()) Problem(t, i + 1, m.filename, cause);
  }
  const MemberOverlaps overlaps = FindMemberOverlaps(spans, kMostOverlapsNamed);
  for (const MemberPair& p : overlaps.partial) {
    // Members that start together are named once, below.
    if (members[p.first].position == members[p.second].position) continue;
    Problem(t, p.second + 1, members[p.second].filename,
            "its data overlap in part with member " + std::to_string(p.first + 1) + " (" +
                ShownName(members[p.first].filename) + ")");
  }
  for (const MemberPair& p : overlaps.samePosition) {
    Problem(t, p.second + 1, members[p.second].filename,
            "starts at the same position (" + Grouped(members[p.second].position) + ") as member " +
                std::to_string(p.first + 1) + " (" + ShownName(members[p.first].filename) +
                "); a host that asks by position reaches only one of them");
  }
}

// Returns false when cancelled.
bool TestArchive(FileTest* t, const PluginSet& set, const HostPlugin& plugin, const DataSource& source) {
  std::vector<MemberRecord> members;
  CallFailure failure;
  if (!ListArchive(plugin, source, &members, &failure)) {
    std::string cause = IsPack(source) ? PackDirectoryCause(source) : "";
    Problem(t, 0, "", "the directory cannot be read: " + (cause.empty() ? FailureText(plugin, failure) : cause));
    Summary(*t, "archive", {{"type", "\"archive\""}});
    return true;
  }
  std::vector<bool> readable(members.size());
  CheckListing(t, source, members, &readable);
  Batch batch;
  batch.count = members.size();
  batch.threads = JobCount(t->options->jobs);
  batch.noun = "members";
  batch.quiet = t->options->report.quiet;
  batch.bytes = [&](size_t i) { return members[i].filesize; };
  const int status = RunBatch(batch, [&](size_t i) {
    // The picture a thread decoded last is kept, so that its memory is
    // mapped once for the largest.
    thread_local PictureTest picture;
    if (!readable[i] || members[i].filesize == 0) return kExitOk;
    return TestMember(t, set, plugin, source, members[i], i + 1, &picture) ? kExitOk : kExitCancelled;
  });
  if (status == kExitCancelled) return false;
  Summary(*t, Counted(members.size(), "member", "members"),
          {{"type", "\"archive\""}, {"members", JsonNumber(members.size())}});
  return true;
}

bool TestPicture(FileTest* t, const HostPlugin& plugin, const DataSource& source) {
  TruncationCheck check;
  PictureTest picture;
  if (StartCheck(t, plugin, &source, nullptr, 0, 0, "", &check) &&
      !DecodeCompletely(t, plugin, SourceInput(source), &check, 0, "", &picture)) {
    return false;
  }
  if (t->problems != 0) {
    Summary(*t, "picture", {{"type", "\"picture\""}});
  } else {
    Summary(*t, "picture " + std::to_string(picture.width) + " x " + std::to_string(picture.height),
            {{"type", "\"picture\""}, {"width", JsonNumber(picture.width)}, {"height", JsonNumber(picture.height)}});
  }
  return true;
}

// Tests one file; kExitFailure when it has problems.
int TestFile(const TestOptions& options, const PluginSet& set, const std::string& path) {
  FileTest t{&options, path == "-" ? "standard input" : path};
  DataSource source;
  std::string error;
  bool going = true;
  if (!OpenDataSource(path, options.input.offset, options.input.fromMemory, &source, &error)) {
    Problem(&t, 0, "", "cannot be read: " + error);
    Summary(t, "file", {{"type", "null"}});
  } else if (const HostPlugin* plugin = PickPlugin(set, kKindOther, path, source.probe)) {
    going = plugin->kind == kKindArchive ? TestArchive(&t, set, *plugin, source) : TestPicture(&t, *plugin, source);
  } else {
    // An archive cut inside its header may not look like one any more.
    std::string cause = IsPack(source) ? PackDirectoryCause(source) : "";
    Problem(&t, 0, "", cause.empty() ? "no plug-in takes this file" : "the directory cannot be read: " + cause);
    Summary(t, IsPack(source) ? "archive" : "file", {{"type", IsPack(source) ? "\"archive\"" : "null"}});
  }
  if (!going) {
    ReportError(t.name, "cancelled");
    return kExitCancelled;
  }
  return t.problems != 0 ? kExitFailure : kExitOk;
}

// Several files are tested side by side, each archive's members then one
// after another; one file's members side by side.
int RunTest(const TestOptions& options, const PluginSet& set) {
  return RunBatch(FileBatch(options.files, options.jobs, options.report.quiet), [&](size_t i) { return TestFile(options, set, options.files[i]); });
}

Runner Declare(Declaration* d) {
  auto o = std::make_shared<TestOptions>();
  DeclarePluginLoading(d, &o->plugins);
  DeclareDataInput(d, &o->input);
  d->Option(kOptJobs, &o->jobs);
  DeclareReporting(d, &o->report);
  d->Operands(&o->files, 1, Declaration::kAnyNumber, "test needs a file");
  return [o] { return RunWithPlugins(o->plugins, [&](const PluginSet& set) { return RunTest(*o, set); }); };
}

}  // namespace

extern const Command kTestCommand = {
    "test", "FILE...", "FILE...\tcheck archives and pictures without writing anything",
    "Checks each archive or picture and writes nothing. For an archive: that its\n"
    "directory can be read, that every member lies inside the file and reads at its\n"
    "listed size, which members overlap or start at the same position, which names a\n"
    "Windows folder cannot hold (devices, trailing dots or spaces, forbidden\n"
    "characters), and that every picture among the members decodes without running\n"
    "out of data. For a picture: that it decodes completely. Prints one line per\n"
    "problem and a summary line per file (--json: one object for each; -q: the\n"
    "problems only). Exits 0 when everything is sound, 1 when something is not.\n"
    "FILE - reads standard input.\n",
    Declare};

}  // namespace kaldorin
