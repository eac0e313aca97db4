// Fuzz target for glimmet's IsSupported: the first 2048 bytes of the input,
// zero-padded, as the host's probe buffer right before a guard page, and
// (with the file bit) the input through a host file handle. The answer must
// be the header check's on those bytes, and nothing may stay open.
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "image_i24b/i24b_format.h"
#include "tests/i24b_model.h"

namespace {

IsSupportedFn gIsSupported = nullptr;

int ModelAnswer(const uint8_t* probe) {
  return i24b::model::ModelHeaderCheck(probe, kProbeBytes) == 0 ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gIsSupported = reinterpret_cast<IsSupportedFn>(ExportOrDie(LoadPluginOrDie("glimmet"), "IsSupported"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzIsSupported(gIsSupported, "fuzz.i24", ModelAnswer, input, inputSize);
  return 0;
}
