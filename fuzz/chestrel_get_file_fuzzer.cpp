// Fuzz target for chestrel's GetFile with the input as a memory image that
// ends right before a guard page, extracted to memory (output type
// non-zero), with the flag's other bits, the progress callback's answers and
// (by the control) an injected platform failure drawn from the input. The
// whole image is the member: the handed-over block must hold it and is freed
// with LocalFree. With the file bit the input is also written to a file and
// extracted by each entry's position, to memory and (the first two) to a
// folder, and must give what the model scan finds.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/pack_model.h"

namespace {

using namespace pack::model;

// Positions tried per input, to keep each run short.
constexpr size_t kMaxPositionsTried = 12;
// GetFile allocates the member before reading it: members that would end
// further than this past the end of the input are not extracted.
constexpr uint64_t kMaxOverrun = 4096;

GetFileFn gGetFile = nullptr;

void CheckProgress(const FuzzControl& control, const ProgressLog& log, int rc) {
  FUZZ_CHECK(!log.orderBroken, "progress counts chunks upwards and ends with the final call");
  if (log.calls > 0) FUZZ_CHECK(log.lastDenom == 32, "GetFile reports in 32ths");
  CheckCancelResult(control, log, rc);
  if (rc == kResultOk && control.cancel != kNullCallback) {
    FUZZ_CHECK(log.calls == 33 && log.sawFinal, "an extraction reports 32 chunks and the end");
  }
}

void CheckMemoryMember(HLOCAL handle, const uint8_t* expected, size_t size) {
  std::vector<uint8_t> bytes;
  CheckAndFreeBlock(handle, size, &bytes, "GetFile hands over a block of exactly the member's size");
  FUZZ_CHECK(size == 0 || memcmp(bytes.data(), expected, size) == 0, "the block holds the member's bytes");
}

// Checks (when it must exist) and removes a member extracted to `path`.
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
void ExtractMemoryImage(const FuzzControl& control, const uint8_t* data, size_t size) {
  const uint8_t* image = GuardedImage(data, size);
  HLOCAL handle = FUZZ_UNSET_HANDLE;
  ProgressLog log;
  ResetProgress(&log, &control);
  ArmFault(control);
  const int rc = gGetFile(reinterpret_cast<LPCSTR>(image), static_cast<SpiLong>(size),
                          reinterpret_cast<LPSTR>(&handle), FlagFor(control, kInputMemory, true),
                          CallbackFor(control), reinterpret_cast<SpiLong>(&log));
  const bool fired = DisarmFault();
  if (rc == kResultOk) {
    CheckMemoryMember(handle, data, size);
  } else {
    FUZZ_CHECK(handle == FUZZ_UNSET_HANDLE, "a failed GetFile stores no handle");
  }
  CheckProgress(control, log, rc);
  if (fired) return;
  if (size == 0) {
    FUZZ_CHECK(rc == kResultMemoryError, "an empty member cannot go to memory");
  } else {
    FUZZ_CHECK(rc == (log.cancelled ? kResultCancelled : kResultOk), "a memory image is extracted whole");
  }
}

// GetFile on the archive file by member position.
void ExtractByPosition(const FuzzControl& control, const uint8_t* data, size_t size, const std::string& archive,
                       uint64_t position, bool toFolder) {
  // The scan reads the directory from byte 0 of the file: the input itself.
  const PackScanQuery query = {0, false, nullptr, false, static_cast<int64_t>(position), true};
  const PackScanOutcome scan = ModelPackScan(data, size, query);
  const bool found = scan.result == kResultOk;
  if (found && uint64_t{scan.offset} + scan.size > size + kMaxOverrun) return;
  const std::string name = found ? EntryName(data, scan.match) : std::string();
  const std::string folder = ScratchFolder() + "/out";
  if (toFolder) mkdir(folder.c_str(), 0700);
  HLOCAL handle = FUZZ_UNSET_HANDLE;
  ProgressLog log;
  ResetProgress(&log, &control);
  unsigned flag = FlagFor(control, kInputFile, !toFolder);
  if (toFolder) flag &= ~kFlagOutputMask;
  LPSTR dest = toFolder ? const_cast<LPSTR>(folder.c_str()) : reinterpret_cast<LPSTR>(&handle);
  ArmFault(control);
  const int rc = gGetFile(archive.c_str(), static_cast<SpiLong>(position), dest, flag, CallbackFor(control),
                          reinterpret_cast<SpiLong>(&log));
  const bool fired = DisarmFault();
  CheckProgress(control, log, rc);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2 || rc == 4 || rc == 5 || rc == 6 || rc == 8,
             "GetFile returns a known code");
  // The member must lie inside the file; an empty member written to a file
  // reads nothing, wherever it lies.
  const bool inFile = found && (uint64_t{scan.offset} + scan.size <= size || scan.size == 0);
  const uint8_t* bytes = inFile && scan.size > 0 ? data + scan.offset : nullptr;
  if (rc == kResultOk) FUZZ_CHECK(inFile, "GetFile extracts only the member the scan finds there, in the file");
  if (!toFolder) {
    if (rc == kResultOk) {
      CheckMemoryMember(handle, bytes, scan.size);
    } else {
      FUZZ_CHECK(handle == FUZZ_UNSET_HANDLE, "a failed GetFile stores no handle");
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

void ExtractFromArchiveFile(const FuzzControl& control, const uint8_t* data, size_t size) {
  const std::string archive = ScratchFolder() + "/archive.pak";
  if (!WriteFileBytes(archive, data, size)) FuzzFail("cannot write the archive file", archive.c_str());
  std::vector<uint64_t> positions = EntryOffsets(data, size, kMaxPositionsTried);
  positions.push_back(size / 2);  // rarely a member's position
  for (size_t i = 0; i < positions.size(); ++i) {
    ExtractByPosition(control, data, size, archive, positions[i], false);
    if (i < 2) ExtractByPosition(control, data, size, archive, positions[i], true);
  }
  unlink(archive.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gGetFile = reinterpret_cast<GetFileFn>(ExportOrDie(LoadPluginOrDie("chestrel"), "GetFile"));
  ScratchFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;
  const LiveCounts before = CountLive();
  ExtractMemoryImage(control, data, size);
  CheckNoLeak(before, "GetFile (memory image) leaked");
  if (control.toFiles) {
    ExtractFromArchiveFile(control, data, size);
    CheckNoLeak(before, "GetFile (archive file) leaked");
  }
  return 0;
}
