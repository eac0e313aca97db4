// Fuzz target for chestrel's GetArchiveInfo on the input as a memory image
// that ends right before a guard page, with the flag's other bits and (by
// the control) an injected platform failure drawn from the input. The
// result must be the listing scan's; a listing is checked record by record
// against the directory and freed with LocalFree. With the file bit the
// input is also listed from a file at an offset, which must give the same.
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive_pack/pack_format.h"
#include "fuzz/fuzz_support.h"
#include "tests/pack_model.h"

namespace {

using namespace pack::model;
using pack::kEntrySize;
using pack::kHeaderSize;

GetArchiveInfoFn gGetArchiveInfo = nullptr;

struct Member {
  uint64_t position;
  uint64_t size;
  std::string name;
  fileInfo record;  // as listed
};

// Checks the records of a handed-over listing, collects them and frees it.
std::vector<Member> TakeListing(HLOCAL listing) {
  std::vector<uint8_t> bytes;
  CheckAndFreeBlock(listing, SIZE_MAX, &bytes, "a listing is handed over");
  FUZZ_CHECK(bytes.size() % sizeof(fileInfo) == 0 && bytes.size() >= sizeof(fileInfo),
             "the listing holds whole records");
  const size_t count = bytes.size() / sizeof(fileInfo);
  std::vector<Member> members;
  size_t i = 0;
  for (; i < count; ++i) {
    fileInfo r;
    memcpy(&r, bytes.data() + i * sizeof r, sizeof r);
    if (r.method[0] == 0) break;
    FUZZ_CHECK(IsMemberRecord(r), "a listed record is filled as the format says");
    members.push_back(Member{r.position, r.filesize, r.filename, r});
  }
  FUZZ_CHECK(i < count, "the listing ends with an end record inside the block");
  FUZZ_CHECK(i > 0, "a successful listing has a member");
  return members;
}

// GetArchiveInfo on a file holding the archive behind a few other bytes,
// with the archive's offset as `len`: the same result and the same records,
// positions as stored.
void ListFromFileAtOffset(const FuzzControl& control, const uint8_t* data, size_t size, int memoryResult,
                          const std::vector<Member>& memoryMembers) {
  static const uint8_t kPrefix[] = {'j', 'u', 'n', 'k', 0, 0, 0};
  std::vector<uint8_t> file(kPrefix, kPrefix + sizeof kPrefix);
  file.insert(file.end(), data, data + size);
  const std::string path = ScratchFolder() + "/offset.pak";
  if (!WriteFileBytes(path, file.data(), file.size())) FuzzFail("cannot write the archive file", path.c_str());
  HLOCAL listing = FUZZ_UNSET_HANDLE;
  ArmFault(control);
  const int rc = gGetArchiveInfo(path.c_str(), sizeof kPrefix, FlagFor(control, kInputFile, false), &listing);
  const bool fired = DisarmFault();
  unlink(path.c_str());
  std::vector<Member> members;
  if (rc == kResultOk) members = TakeListing(listing);
  if (fired || memoryResult < 0) return;
  FUZZ_CHECK(rc == memoryResult, "a file at an offset lists like memory");
  FUZZ_CHECK(members.size() == memoryMembers.size(), "a file at an offset lists every member");
  for (size_t i = 0; i < members.size(); ++i) {
    FUZZ_CHECK(members[i].position == memoryMembers[i].position && members[i].size == memoryMembers[i].size &&
                   members[i].name == memoryMembers[i].name,
               "a file at an offset lists the same records");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gGetArchiveInfo =
      reinterpret_cast<GetArchiveInfoFn>(ExportOrDie(LoadPluginOrDie("chestrel"), "GetArchiveInfo"));
  ScratchFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;
  const LiveCounts before = CountLive();

  const uint8_t* image = GuardedImage(data, size);
  HLOCAL listing = FUZZ_UNSET_HANDLE;
  ArmFault(control);
  const int rc = gGetArchiveInfo(reinterpret_cast<LPCSTR>(image), static_cast<SpiLong>(size),
                                 FlagFor(control, kInputMemory, false), &listing);
  const bool fired = DisarmFault();
  std::vector<Member> members;
  if (rc == kResultOk) members = TakeListing(listing);
  CheckNoLeak(before, "GetArchiveInfo leaked");

  const PackScanQuery query = {0, true, nullptr, false, -1, true};
  const PackScanOutcome model = ModelPackScan(data, size, query);
  if (fired) {
    FUZZ_CHECK(rc == model.result || rc == kResultOutOfMemory || rc == kResultMemoryError || rc == kResultReadError,
               "an injected failure gives 4, 5 or 6");
  } else {
    FUZZ_CHECK(rc == model.result, "GetArchiveInfo gives the scan's result");
  }
  if (rc == kResultOk && !fired) {
    FUZZ_CHECK(members.size() == model.members, "the listing holds every member");
    FUZZ_CHECK(pack::DirectoryEnd(data) == kHeaderSize + kEntrySize * members.size(), "the listing ends at DirectoryEnd");
    for (size_t m = 0; m < members.size(); ++m) {
      const uint8_t* entry = data + kHeaderSize + kEntrySize * m;
      FUZZ_CHECK(members[m].position == pack::EntryOffset(entry) && members[m].size == pack::EntrySize(entry) &&
                     members[m].name == EntryName(data, static_cast<long>(m)),
                 "records hold the entries' offsets, sizes and names in directory order");
      const fileInfo listed = ListedRecord(pack::EntryOffset(entry), pack::EntrySize(entry), members[m].name);
      FUZZ_CHECK(memcmp(&members[m].record, &listed, sizeof listed) == 0, "a listed record is zero but its fields");
    }
  }
  if (control.toFiles) {
    ListFromFileAtOffset(control, data, size, fired ? -1 : rc, members);
    CheckNoLeak(before, "GetArchiveInfo (file) leaked");
  }
  return 0;
}
