// Fuzz target for chestrel's GetFileInfo on the input as a memory image that
// ends right before a guard page, with the flag's other bits (ignore case
// among them) and (by the control) an injected platform failure drawn from
// the input. Names asked for: those of the directory's entries, the first
// one with its letters' case swapped, one taken from the end of the input,
// and a search without a record. Results and records must be the model
// scan's, every byte of a record as a listing fills it; a failed search
// leaves the record alone.
#include <ctype.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/pack_model.h"

namespace {

using namespace pack::model;

// Names looked up per input, to keep each run short.
constexpr size_t kMaxNamesTried = 12;

GetFileInfoFn gGetFileInfo = nullptr;

void FindByName(const FuzzControl& control, const uint8_t* data, size_t size, const std::string& name,
                bool useRecord) {
  const LiveCounts before = CountLive();
  const uint8_t* image = GuardedImage(data, size);
  const unsigned flag = FlagFor(control, kInputMemory, false);
  const bool ignoreCase = (flag & kFlagIgnoreCase) != 0;
  fileInfo record;
  memset(&record, 0xA5, sizeof record);
  const fileInfo untouched = record;
  ArmFault(control);
  const int rc = gGetFileInfo(reinterpret_cast<LPCSTR>(image), static_cast<SpiLong>(size), name.c_str(), flag,
                              useRecord ? &record : nullptr);
  const bool fired = DisarmFault();
  CheckNoLeak(before, "GetFileInfo leaked");
  if (rc == kResultOk) {
    FUZZ_CHECK(useRecord, "without a record nothing is found");
    FUZZ_CHECK(IsMemberRecord(record), "GetFileInfo fills the record as the format says");
    FUZZ_CHECK(ignoreCase ? strcasecmp(record.filename, name.c_str()) == 0 : name == record.filename,
               "GetFileInfo finds the name asked for");
    const fileInfo listed = ListedRecord(static_cast<uint32_t>(record.position),
                                         static_cast<uint32_t>(record.filesize), record.filename);
    FUZZ_CHECK(memcmp(&record, &listed, sizeof record) == 0, "GetFileInfo fills the whole record as a listing does");
  } else if (!fired) {
    FUZZ_CHECK(memcmp(&record, &untouched, sizeof record) == 0, "a failed search leaves the record alone");
  }
  if (fired) return;
  const PackScanQuery query = {0, false, name.c_str(), ignoreCase, -1, useRecord};
  const PackScanOutcome model = ModelPackScan(data, size, query);
  FUZZ_CHECK(rc == model.result, "GetFileInfo gives the scan's result");
  if (rc == kResultOk) {
    FUZZ_CHECK(record.position == model.offset && record.filesize == model.size &&
                   record.filename == EntryName(data, model.match),
               "GetFileInfo describes the first entry of that name");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gGetFileInfo = reinterpret_cast<GetFileInfoFn>(ExportOrDie(LoadPluginOrDie("chestrel"), "GetFileInfo"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;

  std::vector<std::string> names = EntryNames(data, size, kMaxNamesTried);
  if (!names.empty()) {
    std::string swapped = names[0];
    for (char& c : swapped) c = isupper(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c))
                                                                       : static_cast<char>(toupper(c));
    names.push_back(swapped);
  }
  // A name from the end of the input: often no member's.
  std::string tail;
  for (size_t i = size > 15 ? size - 15 : 0; i < size && data[i] != 0; ++i) tail += static_cast<char>(data[i]);
  names.push_back(tail);

  for (const std::string& name : names) FindByName(control, data, size, name, true);
  FindByName(control, data, size, names[0], false);
  return 0;
}
