// Fuzz target for chestrel: IsSupported (probe buffer and host handle),
// GetArchiveInfo (memory, and a file at an offset), GetFileInfo (names from
// the listing and one taken from the input), GetFile with the input as a
// memory image and GetFile on the input written to a file, by the member
// positions, to memory and to a folder.
// Blocks handed over are checked and freed; leaks and broken promises abort.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/pack_model.h"

namespace {

constexpr size_t kProbeBytes = 2048;
constexpr size_t kEntrySize = 24;
// Members (and positions) tried per input, to keep each run short.
constexpr size_t kMaxMembersTried = 12;
// GetFile allocates the member before reading it: members that would end
// further than this past the end of the input are not extracted.
constexpr uint64_t kMaxOverrun = 4096;
// GetArchiveInfo allocates a record per 24 bytes of DirectoryEnd before
// reading the entries; larger listings than this are not asked for.
constexpr uint64_t kMaxListingBytes = 16u << 20;
const HLOCAL kUnset = reinterpret_cast<HLOCAL>(uintptr_t{0x5A5A5A5A});

struct Chestrel {
  IsSupportedFn isSupported;
  GetArchiveInfoFn getArchiveInfo;
  GetFileInfoFn getFileInfo;
  GetFileFn getFile;
} gPlugin;

struct Member {
  uint64_t position;
  uint64_t size;
  std::string name;
};

// One run's input and what the export calls found out about it.
struct Run {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  bool listed;  // GetArchiveInfo succeeded without an injected fault
  std::vector<Member> members;
};

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// The offsets of the directory entries as stored, in order, up to the first
// all-zero entry or the end of the input, each once.
std::vector<uint64_t> EntryOffsets(const uint8_t* data, size_t size) {
  std::vector<uint64_t> offsets;
  for (size_t p = 8; p + 8 <= size && offsets.size() < kMaxMembersTried; p += kEntrySize) {
    const uint32_t offset = Le32(data + p);
    if (offset == 0 && Le32(data + p + 4) == 0) break;
    bool seen = false;
    for (uint64_t o : offsets) seen = seen || o == offset;
    if (!seen) offsets.push_back(offset);
  }
  return offsets;
}

bool NamesMatch(const std::string& a, const std::string& b, bool ignoreCase) {
  return ignoreCase ? strcasecmp(a.c_str(), b.c_str()) == 0 : a == b;
}

bool ValidName(const char* name) {
  const size_t n = strnlen(name, 200);
  if (n == 0 || n > 14) return false;
  int stops = 0;
  for (size_t i = 0; i < n; ++i) {
    const char c = name[i];
    if (c == '.') {
      ++stops;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
      return false;
    }
  }
  return stops == 1;
}

void CheckRecord(const fileInfo& r, const char* what) {
  FUZZ_CHECK(r.method[0] == ' ' && r.method[1] == 0, what);
  FUZZ_CHECK(r.compsize == r.filesize && r.timestamp == 0 && r.path[0] == 0, what);
  FUZZ_CHECK(ValidName(r.filename), what);
}

int Probe(const Run& run, bool* fired) {
  std::vector<uint8_t> probe(kProbeBytes, 0);
  if (run.size > 0) memcpy(probe.data(), run.data, run.size < kProbeBytes ? run.size : kProbeBytes);
  ArmFault(run.control);
  const int answer = gPlugin.isSupported("fuzz.pak", reinterpret_cast<SpiDword>(probe.data()));
  *fired = DisarmFault();
  FUZZ_CHECK(answer == 0 || answer == 1, "IsSupported answers 1 or 0");
  if (!*fired) {
    PackScanQuery query = {kProbeBytes, false, nullptr, false, -1, true};
    const bool accepted = ModelPackScan(probe.data(), probe.size(), query).result == kResultOk;
    FUZZ_CHECK(answer == (accepted ? 1 : 0), "IsSupported accepts exactly what a probe scan accepts");
  }
  return answer;
}

// GetArchiveInfo on the memory image; fills run->members on success.
void ListArchive(Run* run) {
  if (run->size >= 8) {
    const uint64_t records = Le32(run->data + 4) / kEntrySize + 1;
    if (records * sizeof(fileInfo) > kMaxListingBytes) return;
  }
  HLOCAL listing = kUnset;
  ArmFault(run->control);
  const int rc = gPlugin.getArchiveInfo(reinterpret_cast<LPCSTR>(run->data), static_cast<SpiLong>(run->size),
                                        kInputMemory, &listing);
  const bool fired = DisarmFault();
  PackScanQuery query = {0, true, nullptr, false, -1, true};
  const PackScanOutcome model = ModelPackScan(run->data, run->size, query);
  FUZZ_CHECK(fired || rc == model.result, "GetArchiveInfo gives the scan's result");
  if (rc != kResultOk) return;
  FUZZ_CHECK(listing != nullptr && listing != kUnset, "a listing is handed over");
  const size_t bytes = LocalSize(listing);
  FUZZ_CHECK(bytes % sizeof(fileInfo) == 0 && bytes >= sizeof(fileInfo), "the listing holds whole records");
  const fileInfo* records = static_cast<const fileInfo*>(LocalLock(listing));
  FUZZ_CHECK(records != nullptr, "the listing can be locked");
  const size_t count = bytes / sizeof(fileInfo);
  size_t i = 0;
  for (; i < count && records[i].method[0] != 0; ++i) {
    CheckRecord(records[i], "a listed record is filled as the format says");
    run->members.push_back(Member{records[i].position, records[i].filesize, records[i].filename});
  }
  FUZZ_CHECK(i < count, "the listing ends with an end record inside the block");
  FUZZ_CHECK(i > 0, "a successful listing has a member");
  LocalUnlock(listing);
  FUZZ_CHECK(LocalUnlock(listing) == FALSE, "the listing was handed over unlocked");
  FUZZ_CHECK(LocalFree(listing) == nullptr, "the host can free the listing");
  if (!fired) {
    run->listed = true;
    FUZZ_CHECK(run->members.size() == model.members, "the listing holds every member");
    const uint32_t directoryEnd = Le32(run->data + 4);
    FUZZ_CHECK(directoryEnd == 8 + kEntrySize * run->members.size(), "the listing ends at DirectoryEnd");
    for (size_t m = 0; m < run->members.size(); ++m) {
      const uint8_t* entry = run->data + 8 + kEntrySize * m;
      FUZZ_CHECK(run->members[m].position == Le32(entry) && run->members[m].size == Le32(entry + 4),
                 "records hold the entries' offsets and sizes in directory order");
    }
  }
}

void FindByName(const Run& run, const std::string& name, bool useRecord) {
  fileInfo record;
  memset(&record, 0xA5, sizeof record);
  const fileInfo untouched = record;
  const unsigned flag = kInputMemory | (run.control.ignoreCase ? kFlagIgnoreCase : 0u);
  ArmFault(run.control);
  const int rc = gPlugin.getFileInfo(reinterpret_cast<LPCSTR>(run.data), static_cast<SpiLong>(run.size),
                                     name.c_str(), flag, useRecord ? &record : nullptr);
  const bool fired = DisarmFault();
  if (rc == kResultOk) {
    FUZZ_CHECK(useRecord, "without a record nothing is found");
    CheckRecord(record, "GetFileInfo fills the record as the format says");
    FUZZ_CHECK(NamesMatch(record.filename, name, run.control.ignoreCase), "GetFileInfo finds the name asked for");
    FUZZ_CHECK(memcmp(record.method + 2, untouched.method + 2, 6) == 0 && record.crc == untouched.crc,
               "GetFileInfo writes only the record's listed fields");
  } else if (!fired) {
    FUZZ_CHECK(memcmp(&record, &untouched, sizeof record) == 0, "a failed search leaves the record alone");
  }
  if (fired) return;
  PackScanQuery query = {0, false, name.c_str(), run.control.ignoreCase, -1, useRecord};
  const PackScanOutcome model = ModelPackScan(run.data, run.size, query);
  FUZZ_CHECK(rc == model.result, "GetFileInfo gives the scan's result");
  if (rc == kResultOk) {
    const uint8_t* field = run.data + 8 + kEntrySize * model.match + 8;
    FUZZ_CHECK(record.position == model.offset && record.filesize == model.size &&
                   strlen(record.filename) == field[0] && memcmp(record.filename, field + 1, field[0]) == 0,
               "GetFileInfo describes the first entry of that name");
  }
}

void CheckProgress(const Run& run, const ProgressLog& log, int rc) {
  FUZZ_CHECK(!log.orderBroken, "progress counts chunks upwards and ends with the final call");
  if (log.calls > 0) FUZZ_CHECK(log.lastDenom == 32, "GetFile reports in 32ths");
  if (run.control.cancel != kNullCallback) {
    FUZZ_CHECK(log.cancelled == (rc == kResultCancelled), "result 1 exactly when the callback cancelled");
  } else {
    FUZZ_CHECK(rc != kResultCancelled, "no cancellation without a callback");
  }
  if (rc == kResultOk && run.control.cancel != kNullCallback) {
    FUZZ_CHECK(log.calls == 33 && log.sawFinal, "an extraction reports 32 chunks and the end");
  }
}

// Checks a member extracted to memory against `expected` and frees it.
void CheckMemoryMember(HLOCAL handle, const uint8_t* expected, size_t size) {
  FUZZ_CHECK(handle != nullptr && handle != kUnset, "GetFile stores the member's handle");
  FUZZ_CHECK(LocalSize(handle) == size, "the block holds exactly the member");
  const void* p = LocalLock(handle);
  FUZZ_CHECK(p != nullptr, "the member block can be locked");
  FUZZ_CHECK(memcmp(p, expected, size) == 0, "the block holds the member's bytes");
  LocalUnlock(handle);
  FUZZ_CHECK(LocalUnlock(handle) == FALSE, "the member block was handed over unlocked");
  FUZZ_CHECK(LocalFree(handle) == nullptr, "the host can free the member block");
}

// Checks (when `check`) and removes a member extracted to `path`.
void CheckFileMember(const std::string& path, bool exists, const uint8_t* expected, size_t size) {
  std::string bytes;
  const bool found = ReadFileBytes(path, &bytes);
  if (exists) {
    FUZZ_CHECK(found && bytes.size() == size && (size == 0 || memcmp(bytes.data(), expected, size) == 0),
               "the extracted file holds the member's bytes");
  }
  unlink(path.c_str());
}

// GetFile with the input as a memory image: the whole image is the member.
void ExtractMemoryImage(const Run& run, bool toFolder) {
  const std::string folder = ScratchFolder() + "/out";
  if (toFolder) mkdir(folder.c_str(), 0700);
  HLOCAL handle = kUnset;
  ProgressLog log;
  ResetProgress(&log, &run.control);
  const unsigned flag = kInputMemory | (toFolder ? 0u : (1u << kFlagOutputShift));
  LPSTR dest = toFolder ? const_cast<LPSTR>(folder.c_str()) : reinterpret_cast<LPSTR>(&handle);
  ArmFault(run.control);
  const int rc = gPlugin.getFile(reinterpret_cast<LPCSTR>(run.data), static_cast<SpiLong>(run.size), dest, flag,
                                 CallbackFor(run.control), reinterpret_cast<SpiLong>(&log));
  const bool fired = DisarmFault();
  if (!toFolder && rc == kResultOk) CheckMemoryMember(handle, run.data, run.size);
  if (!toFolder && rc != kResultOk) FUZZ_CHECK(handle == kUnset, "a failed GetFile stores no handle");
  if (toFolder) CheckFileMember(folder + "/noname", rc == kResultOk, run.data, run.size);
  CheckProgress(run, log, rc);
  if (fired) return;
  if (run.size == 0 && !toFolder) {
    FUZZ_CHECK(rc == kResultMemoryError, "an empty member cannot go to memory");
  } else {
    FUZZ_CHECK(rc == (log.cancelled ? kResultCancelled : kResultOk), "a memory image is extracted whole");
  }
}

// GetFile on the archive file by member position.
void ExtractByPosition(const Run& run, const std::string& archive, uint64_t position, bool toFolder) {
  // The scan reads the directory from byte 0 of the file: the input itself.
  PackScanQuery query = {0, false, nullptr, false, static_cast<int64_t>(position), true};
  const PackScanOutcome scan = ModelPackScan(run.data, run.size, query);
  const bool found = scan.result == kResultOk;
  if (found && uint64_t{scan.offset} + scan.size > run.size + kMaxOverrun) return;
  std::string name;
  if (found) {
    const uint8_t* field = run.data + 8 + kEntrySize * scan.match + 8;
    name.assign(reinterpret_cast<const char*>(field + 1), field[0]);
  }
  const std::string folder = ScratchFolder() + "/out";
  if (toFolder) mkdir(folder.c_str(), 0700);
  HLOCAL handle = kUnset;
  ProgressLog log;
  ResetProgress(&log, &run.control);
  const unsigned flag = kInputFile | (toFolder ? 0u : (1u << kFlagOutputShift));
  LPSTR dest = toFolder ? const_cast<LPSTR>(folder.c_str()) : reinterpret_cast<LPSTR>(&handle);
  ArmFault(run.control);
  const int rc = gPlugin.getFile(archive.c_str(), static_cast<SpiLong>(position), dest, flag,
                                 CallbackFor(run.control), reinterpret_cast<SpiLong>(&log));
  const bool fired = DisarmFault();
  CheckProgress(run, log, rc);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2 || rc == 4 || rc == 5 || rc == 6 || rc == 8,
             "GetFile returns a known code");
  // The member must lie inside the file; an empty member written to a file
  // reads nothing, wherever it lies.
  const bool inFile = found && (uint64_t{scan.offset} + scan.size <= run.size || scan.size == 0);
  const uint8_t* bytes = inFile && scan.size > 0 ? run.data + scan.offset : nullptr;
  if (rc == kResultOk) FUZZ_CHECK(inFile, "GetFile extracts only the first member at that position, in the file");
  if (!toFolder) {
    if (rc == kResultOk) {
      CheckMemoryMember(handle, bytes, scan.size);
    } else {
      FUZZ_CHECK(handle == kUnset, "a failed GetFile stores no handle");
    }
  } else if (found) {
    CheckFileMember(folder + "/" + name, rc == kResultOk, bytes, scan.size);
  }
  if (fired) return;
  int expected;
  if (position > 0x7FFFFFFF) {
    expected = kResultReadError;  // mmio positions are 32-bit: the source cannot be positioned there
  } else if (!found) {
    expected = scan.result;
  } else if (scan.size == 0) {
    // An empty member cannot go to memory; to a file it is an empty file.
    FUZZ_CHECK(toFolder ? (rc == 0 || rc == 1 || rc == 5 || rc == 8) : rc == kResultMemoryError,
               "an empty member cannot go to memory");
    return;
  } else if (!inFile) {
    expected = log.cancelled ? kResultCancelled : kResultReadError;
  } else {
    expected = log.cancelled ? kResultCancelled : kResultOk;
  }
  if (toFolder && name == "." && rc == kResultInternalError) return;  // "." cannot be created as a file
  if (rc != expected) {
    char detail[120];
    snprintf(detail, sizeof detail, "position %llu: result %d, expected %d",
             static_cast<unsigned long long>(position), rc, expected);
    FuzzFail("GetFile by position gives the scan's result and extracts the member", detail);
  }
}

// GetArchiveInfo on a file holding the archive behind a few other bytes,
// with the archive's offset as `len`: the same result and the same records,
// positions as stored.
void ListFromFileAtOffset(const Run& run) {
  if (run.size >= 8 && (Le32(run.data + 4) / kEntrySize + 1) * sizeof(fileInfo) > kMaxListingBytes) return;
  static const uint8_t kPrefix[] = {'j', 'u', 'n', 'k', 0, 0, 0};
  std::vector<uint8_t> file(kPrefix, kPrefix + sizeof kPrefix);
  file.insert(file.end(), run.data, run.data + run.size);
  const std::string path = ScratchFolder() + "/offset.pak";
  if (!WriteFileBytes(path, file.data(), file.size())) FuzzFail("cannot write the archive file", path.c_str());
  HLOCAL listing = kUnset;
  ArmFault(run.control);
  const int rc = gPlugin.getArchiveInfo(path.c_str(), sizeof kPrefix, kInputFile, &listing);
  const bool fired = DisarmFault();
  unlink(path.c_str());
  std::vector<Member> members;
  if (rc == kResultOk) {
    FUZZ_CHECK(listing != nullptr && listing != kUnset, "a listing is handed over");
    const size_t count = LocalSize(listing) / sizeof(fileInfo);
    const fileInfo* records = static_cast<const fileInfo*>(LocalLock(listing));
    FUZZ_CHECK(records != nullptr && count > 0, "the listing can be locked");
    for (size_t i = 0; i < count && records[i].method[0] != 0; ++i) {
      members.push_back(Member{records[i].position, records[i].filesize, records[i].filename});
    }
    LocalUnlock(listing);
    FUZZ_CHECK(LocalFree(listing) == nullptr, "the host can free the listing");
  }
  if (fired) return;
  PackScanQuery query = {0, true, nullptr, false, -1, true};
  FUZZ_CHECK(rc == ModelPackScan(run.data, run.size, query).result, "a file at an offset lists like memory");
  if (rc != kResultOk || !run.listed) return;
  FUZZ_CHECK(members.size() == run.members.size(), "a file at an offset lists every member");
  for (size_t i = 0; i < members.size(); ++i) {
    FUZZ_CHECK(members[i].position == run.members[i].position && members[i].size == run.members[i].size &&
                   members[i].name == run.members[i].name,
               "a file at an offset lists the same records");
  }
}

void FuzzArchiveFile(const Run& run) {
  const std::string archive = ScratchFolder() + "/archive.pak";
  if (!WriteFileBytes(archive, run.data, run.size)) FuzzFail("cannot write the archive file", archive.c_str());

  // The probe through a host file handle sees the same first 2048 bytes.
  const int fd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "the archive file opens");
  ArmFault(run.control);
  const int answer = gPlugin.isSupported("archive.pak", static_cast<SpiDword>(fd));
  const bool fired = DisarmFault();
  FUZZ_CHECK(answer == 0 || answer == 1, "IsSupported answers 1 or 0");
  FUZZ_CHECK(fired || lseek(fd, 0, SEEK_CUR) == 0, "IsSupported leaves the host's handle where it was");
  close(fd);

  std::vector<uint64_t> positions = EntryOffsets(run.data, run.size);
  positions.push_back(run.size / 2);  // rarely a member's position
  for (size_t i = 0; i < positions.size(); ++i) {
    ExtractByPosition(run, archive, positions[i], false);
    if (run.control.toFiles && i < 2) ExtractByPosition(run, archive, positions[i], true);
  }
  unlink(archive.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  void* module = LoadPluginOrDie("chestrel.spi");
  gPlugin.isSupported = reinterpret_cast<IsSupportedFn>(ExportOrDie(module, "IsSupported"));
  gPlugin.getArchiveInfo = reinterpret_cast<GetArchiveInfoFn>(ExportOrDie(module, "GetArchiveInfo"));
  gPlugin.getFileInfo = reinterpret_cast<GetFileInfoFn>(ExportOrDie(module, "GetFileInfo"));
  gPlugin.getFile = reinterpret_cast<GetFileFn>(ExportOrDie(module, "GetFile"));
  ScratchFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  Run run;
  if (!SplitInput(input, inputSize, &run.control, &run.data, &run.size)) return 0;
  run.listed = false;
  const LiveCounts before = CountLive();

  bool probeFired = false;
  const int answer = Probe(run, &probeFired);
  CheckNoLeak(before, "IsSupported leaked");

  ListArchive(&run);
  CheckNoLeak(before, "GetArchiveInfo leaked");
  // Every entry of a good listing lies in the probe or after its limit.
  if (run.listed && !probeFired) FUZZ_CHECK(answer == 1, "IsSupported accepts an archive that lists");

  for (size_t i = 0; i < run.members.size() && i < kMaxMembersTried; ++i) {
    FindByName(run, run.members[i].name, true);
    CheckNoLeak(before, "GetFileInfo leaked");
  }
  // A name taken from the end of the input, and one without a record.
  std::string tail;
  for (size_t i = run.size > 15 ? run.size - 15 : 0; i < run.size && run.data[i] != 0; ++i) tail += run.data[i];
  FindByName(run, tail, true);
  FindByName(run, run.members.empty() ? tail : run.members[0].name, false);
  CheckNoLeak(before, "GetFileInfo leaked");

  ExtractMemoryImage(run, false);
  CheckNoLeak(before, "GetFile (memory image) leaked");
  if (run.control.toFiles) {
    ExtractMemoryImage(run, true);
    CheckNoLeak(before, "GetFile (memory image to a file) leaked");
  }
  FuzzArchiveFile(run);
  CheckNoLeak(before, "GetFile (archive file) leaked");
  if (run.control.toFiles) {
    ListFromFileAtOffset(run);
    CheckNoLeak(before, "GetArchiveInfo (file) leaked");
  }
  return 0;
}
