// Fuzz target for chestrel's IsSupported: the first 2048 bytes of the
// input, zero-padded, as the host's probe buffer right before a guard page,
// and (with the file bit) the input through a host file handle. The answer
// must be the probe scan's on those bytes, and nothing may stay open.
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "tests/pack_model.h"

namespace {

using namespace pack::model;

IsSupportedFn gIsSupported = nullptr;

int ModelAnswer(const uint8_t* probe) {
  const PackScanQuery query = {kProbeBytes, false, nullptr, false, -1, true};
  return ModelPackScan(probe, kProbeBytes, query).result == kResultOk ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gIsSupported = reinterpret_cast<IsSupportedFn>(ExportOrDie(LoadPluginOrDie("chestrel"), "IsSupported"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzIsSupported(gIsSupported, "fuzz.pak", ModelAnswer, input, inputSize);
  return 0;
}
