#include "tools/kaldorin_rewrite.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "archive_pack/pack_writer.h"
#include "tools/kaldorin_files.h"
#include "tools/kaldorin_output.h"
#include "tools/kaldorin_progress.h"
#include "tools/kaldorin_shared.h"
#include "tools/member_overlaps.h"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kaldorin {

namespace {

constexpr size_t kChunk = size_t{1} << 20;
// copy_file_range is asked for this much at a time, so that Ctrl-C and the
// progress bar are heard during a large member.
constexpr uint64_t kRangeChunk = uint64_t{64} << 20;

// Writes of the new archive so far, and the one the test hook fails (0: none).
struct WriteCount {
  uint64_t done = 0;
  uint64_t failAt = 0;
};

// Counts a write; true when the test hook fails it (errno as on a full disk).
bool HookFails(WriteCount* w) {
  if (++w->done != w->failAt) return false;
  errno = ENOSPC;
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n, WriteCount* w) {
  while (n > 0) {
    if (HookFails(w)) return false;
#ifdef _WIN32
    int step = _write(fd, data, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
#else
    ssize_t step = write(fd, data, n);
#endif
    if (step < 0 && errno == EINTR) continue;
    if (step <= 0) {
      if (step == 0) errno = ENOSPC;
      return false;
    }
    data += step;
    n -= static_cast<size_t>(step);
  }
  return true;
}

bool SeekTo(FILE* f, uint64_t at) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<__int64>(at), SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

struct Copying {
  int out;
  WriteCount writes;
  ProgressBar* bar;
  uint64_t done;
  uint64_t total;
  std::vector<uint8_t> buffer;
  std::string error;
};

bool Progress(Copying* c, uint64_t n) {
  c->done += n;
  if (ReportProgress(c->bar, c->done, c->total)) {
    c->error = "cancelled";
    return false;
  }
  return true;
}

bool Failed(Copying* c, const std::string& what) {
  c->error = what + SystemError(errno);
  return false;
}

// `size` bytes of `in` from `from` through the buffer.
bool CopyThroughBuffer(Copying* c, FILE* in, uint64_t from, uint64_t size, const std::string& name) {
  if (!SeekTo(in, from)) return Failed(c, name + ": cannot read: ");
  while (size > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, kChunk));
    size_t got = fread(c->buffer.data(), 1, want, in);
    if (got != want) {
      c->error = name + (ferror(in) ? ": read error" : ": the file changed size while being read");
      return false;
    }
    if (!WriteAll(c->out, c->buffer.data(), got, &c->writes)) return Failed(c, "");
    if (!Progress(c, got)) return false;
    size -= got;
  }
  return true;
}

// `size` bytes of the archive from `from`: by the system where it copies
// between these two files (the same file system), else through the buffer.
bool CopyRange(Copying* c, FILE* archive, uint64_t from, uint64_t size, const std::string& name) {
#ifdef __linux__
  const int in = fileno(archive);
  loff_t at = static_cast<loff_t>(from);
  while (size > 0) {
    if (HookFails(&c->writes)) return Failed(c, "");
    ssize_t n = copy_file_range(in, &at, c->out, nullptr, static_cast<size_t>(std::min(size, kRangeChunk)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)) {
      return CopyThroughBuffer(c, archive, static_cast<uint64_t>(at), size, name);
    }
    if (n < 0) return Failed(c, "");
    if (n == 0) {
      c->error = name + ": the archive changed size while being read";
      return false;
    }
    size -= static_cast<uint64_t>(n);
    if (!Progress(c, static_cast<uint64_t>(n))) return false;
  }
  return true;
#else
  return CopyThroughBuffer(c, archive, from, size, name);
#endif
}

bool Sync(Copying* c) {
  if (HookFails(&c->writes)) return Failed(c, "");
#ifdef _WIN32
  if (_commit(c->out) != 0) return Failed(c, "");
#else
  if (fsync(c->out) != 0) return Failed(c, "");
#endif
  return true;
}

// Members left out by --repair, or the refusal without it.
struct Verdict {
  std::vector<bool> drop;
  std::vector<std::string> causes;  // per member dropped
  std::string refusal;
};

void Drop(Verdict* v, size_t i, const std::string& cause) {
  if (v->drop[i]) return;
  v->drop[i] = true;
  v->causes[i] = cause;
  if (v->refusal.empty()) v->refusal = cause;
}

std::string Member(const pack::ArchiveEntry& e) { return "member " + ShownName(e.name); }

Verdict Judge(const std::vector<pack::ArchiveEntry>& entries, uint64_t fileSize) {
  Verdict v;
  v.drop.assign(entries.size(), false);
  v.causes.assign(entries.size(), "");
  for (size_t i = 0; i < entries.size(); ++i) {
    if (uint64_t{entries[i].offset} + entries[i].size > fileSize) {
      Drop(&v, i, Member(entries[i]) + "'s data runs past the end of the file");
    }
    for (size_t j = 0; j < i && !v.drop[i]; ++j) {
      if (!v.drop[j] && SameMemberName(entries[i].name, entries[j].name)) {
        Drop(&v, i, Member(entries[i]) + " has the name of " + Member(entries[j]) + " when case is ignored");
      }
    }
  }
  // Overlaps among the members kept, until none is left: a finding lists
  // only some pairs.
  for (;;) {
    std::vector<MemberSpan> spans;
    std::vector<size_t> index;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (v.drop[i]) continue;
      spans.push_back(MemberSpan{entries[i].offset, entries[i].size});
      index.push_back(i);
    }
    MemberOverlaps found = FindMemberOverlaps(spans, 64);
    if (found.partial.empty() && found.samePosition.empty()) break;
    for (const MemberPair& p : found.partial) {
      const pack::ArchiveEntry& a = entries[index[p.first]];
      Drop(&v, index[p.second], Member(entries[index[p.second]]) + "'s data overlaps " + Member(a) + "'s");
    }
    for (const MemberPair& p : found.samePosition) {
      const pack::ArchiveEntry& a = entries[index[p.first]];
      Drop(&v, index[p.second], Member(entries[index[p.second]]) + " starts where " + Member(a) + " does");
    }
  }
  return v;
}

std::string DescribeFault(const pack::ArchiveDiagnosis& d) {
  char text[160];
  pack::DescribeArchiveFault(d, text, sizeof text);
  return text;
}

bool IsDirectoryFault(pack::ArchiveFault f) { return f != pack::kArchiveFine && f != pack::kArchiveMemberPastEnd; }

}  // namespace

void DeclareEditOptions(Declaration* d, EditOptions* o) {
  d->Option(kOptOutput, &o->output);
  d->Option(kOptForce, &o->force);
  d->Option(kOptRepair, &o->repair);
  d->Option(kOptFailWrite, &o->failWrite);
  DeclareReporting(d, &o->report);
  d->Refuse([o] { return o->output == "-" ? std::string("the archive cannot be written to standard output") : ""; });
}

EditedArchive::~EditedArchive() {
  if (file != nullptr) fclose(file);
}

bool SameMemberName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (toupper(static_cast<unsigned char>(a[i])) != toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

NewMember KeptMember(const pack::ArchiveEntry& e) {
  NewMember m;
  m.name = e.name;
  m.from = e.offset;
  m.size = e.size;
  return m;
}

int OpenArchiveToEdit(const EditOptions& o, EditedArchive* a) {
  a->path = o.operands[0];
  uint64_t fileSize = 0;
  a->file = OpenFile(a->path, "rb");
  if (a->file == nullptr || !FileSizeOf(a->path, &fileSize)) {
    ReportError(a->path, IsDirectory(a->path) ? "is a folder, not an archive" : "cannot open: " + SystemError(errno));
    return kExitFailure;
  }
  std::vector<pack::ArchiveEntry> entries;
  const pack::ArchiveDiagnosis diagnosis = pack::ReadArchiveEntries(a->file, &entries);
  const std::string refusal = " (--repair rewrites it from the members that can be read)";
  if (IsDirectoryFault(diagnosis.fault)) {
    if (!o.repair || entries.empty()) {
      ReportError(a->path, "cannot be rewritten faithfully: " + DescribeFault(diagnosis) + (entries.empty() ? "" : refusal));
      return kExitFailure;
    }
    ReportError(a->path, "left out the entries from the directory's fault on: " + DescribeFault(diagnosis));
  }
  Verdict v = Judge(entries, fileSize);
  if (!v.refusal.empty() && !o.repair) {
    ReportError(a->path, "cannot be rewritten faithfully: " + v.refusal + refusal);
    return kExitFailure;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (v.drop[i]) {
      ReportError(a->path, "left out " + v.causes[i]);
    } else {
      a->entries.push_back(entries[i]);
    }
  }
  if (a->entries.empty()) {
    ReportError(a->path, "no member can be read");
    return kExitFailure;
  }
  return kExitOk;
}

int WriteEditedArchive(const EditOptions& o, EditedArchive* a, const std::vector<NewMember>& members,
                       const std::string& what) {
  if (members.empty()) {
    ReportError(a->path, "an archive needs at least one member: the last one cannot be deleted");
    return kExitFailure;
  }
  std::vector<std::string> names;
  std::vector<uint64_t> sizes;
  std::vector<std::string> inputs = {a->path};
  for (const NewMember& m : members) {
    names.push_back(m.name);
    sizes.push_back(m.size);
    if (!m.path.empty()) inputs.push_back(m.path);
  }
  std::string error;
  std::vector<uint32_t> offsets;
  if (!pack::CheckMemberNames(names, &error) || !pack::PlanPack(sizes, &offsets, &error)) {
    ReportError(a->path, error);
    return kExitFailure;
  }
  const bool inPlace = o.output.empty();
  const std::string target = inPlace ? a->path : o.output;
  if (!inPlace) {
    int status = CheckOutputTarget(o.force, target, inputs);
    if (status != kExitOk) return status;
  }
  PendingOutput out;
  if (!CreatePendingFile(target, &out, &error)) {
    ReportError(target, "cannot write: " + error);
    return kExitFailure;
  }
#ifndef _WIN32
  // The archive keeps its permissions.
  struct stat old;
  if (inPlace && fstat(fileno(a->file), &old) == 0) fchmod(fileno(out.file), old.st_mode & 07777);
#endif
  ProgressBar bar;
  StartProgress(&bar, BaseName(target), o.report.quiet);
  const std::vector<uint8_t> directory = pack::EncodePackDirectory(names, sizes, offsets);
  Copying c{fileno(out.file), WriteCount{0, o.failWrite}, &bar, 0, directory.size(), {}, {}};
  for (uint64_t s : sizes) c.total += s;
  c.buffer.resize(kChunk);
  bool ok = WriteAll(c.out, directory.data(), directory.size(), &c.writes) || Failed(&c, "");
  for (size_t i = 0; ok && i < members.size(); ++i) {
    const NewMember& m = members[i];
    if (m.path.empty()) {
      ok = CopyRange(&c, a->file, m.from, m.size, a->path);
      continue;
    }
    FILE* in = OpenFile(m.path, "rb");
    if (in == nullptr) {
      ok = Failed(&c, m.path + ": cannot open: ");
      continue;
    }
    ok = CopyThroughBuffer(&c, in, 0, m.size, m.path);
    fclose(in);
  }
  ok = ok && Sync(&c);
  FinishProgress(&bar);
  // Windows replaces no file that is open.
  fclose(a->file);
  a->file = nullptr;
  if (!ok || CancelRequested()) {
    DiscardPending(&out);
    const bool cancelled = CancelRequested() || c.error == "cancelled";
    ReportError(target, cancelled ? "cancelled" : c.error);
    return cancelled ? kExitCancelled : kExitFailure;
  }
  if (!CommitPending(&out, inPlace || o.force, &error)) {
    ReportError(target, error);
    return kExitFailure;
  }
#ifndef _WIN32
  // The rename reaches the disk with the folder that holds it.
  std::string folder = Utf8Path(FsPath(target).parent_path());
  int dirFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
#endif
  uint64_t bytes = c.total;
  ReportResult(o.report,
               target + ": " + what + ", " + std::to_string(members.size()) + " members, " + std::to_string(bytes) +
                   " bytes",
               {{"archive", JsonString(target)}, {"members", JsonNumber(members.size())}, {"size", JsonNumber(bytes)}});
  return kExitOk;
}

}  // namespace kaldorin
