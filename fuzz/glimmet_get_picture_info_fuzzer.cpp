// Fuzz target for glimmet's GetPictureInfo on the input as a memory image
// that ends right before a guard page, with the flag's other bits drawn from
// the input and (by the control) an injected platform failure. The result
// must be the header check's, the record filled from the header or left
// alone, and no stream may stay open.
#include <stdint.h>
#include <string.h>

#include "fuzz/fuzz_support.h"
#include "image_i24b/i24b_format.h"
#include "tests/i24b_model.h"

namespace {

GetPictureInfoFn gGetPictureInfo = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gGetPictureInfo =
      reinterpret_cast<GetPictureInfoFn>(ExportOrDie(LoadPluginOrDie("glimmet"), "GetPictureInfo"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;
  const LiveCounts before = CountLive();

  const uint8_t* image = GuardedImage(data, size);
  PictureInfo info;
  memset(&info, 0xA5, sizeof info);
  const PictureInfo untouched = info;
  ArmFault(control);
  const int rc = gGetPictureInfo(reinterpret_cast<LPCSTR>(image), static_cast<SpiLong>(size),
                                 FlagFor(control, kInputMemory, false), &info);
  const bool fired = DisarmFault();
  CheckNoLeak(before, "GetPictureInfo leaked");

  const int expected = i24b::model::ModelHeaderCheck(data, size);
  if (rc == kResultOk) {
    FUZZ_CHECK(expected == kResultOk, "GetPictureInfo accepts only a valid header");
    FUZZ_CHECK(info.left == 0 && info.top == 0 && info.x_density == 0 && info.y_density == 0 &&
                   info.colorDepth == 24 && info.hInfo == nullptr,
               "GetPictureInfo fills the record from the header");
    FUZZ_CHECK(info.width == Le16(data + 12) && info.height == Le16(data + 14), "width and height come unchanged");
  } else if (!(fired && rc == kResultReadError && expected == kResultOk)) {
    // Only a failed close after a successful check may leave a filled record.
    FUZZ_CHECK(memcmp(&info, &untouched, sizeof info) == 0, "a refused header leaves the record alone");
  }
  if (fired) {
    FUZZ_CHECK(rc == expected || rc == kResultMemoryError || rc == kResultReadError,
               "an injected failure gives 5 or 6");
  } else {
    FUZZ_CHECK(rc == expected, "GetPictureInfo gives the header check's result");
  }
  return 0;
}
