// Fuzz target for chestrel's IsSupported: the first 2048 bytes of the
// input, zero-padded, as the host's probe buffer right before a guard page,
// and (with the file bit) the input through a host file handle. The answer
// must be the probe scan's on those bytes, and nothing may stay open.
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "fuzz/pack_model.h"

namespace {

IsSupportedFn gIsSupported = nullptr;

int ModelAnswer(const uint8_t* data, size_t size) {
  const uint8_t* probe = GuardedProbe(data, size);
  const PackScanQuery query = {kProbeBytes, false, nullptr, false, -1, true};
  return ModelPackScan(probe, kProbeBytes, query).result == kResultOk ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gIsSupported = reinterpret_cast<IsSupportedFn>(ExportOrDie(LoadPluginOrDie("chestrel"), "IsSupported"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return 0;
  const LiveCounts before = CountLive();

  const uint8_t* probe = GuardedProbe(data, size);
  ArmFault(control);
  const int answer = gIsSupported("fuzz.pak", reinterpret_cast<SpiDword>(probe));
  const bool fired = DisarmFault();
  CheckNoLeak(before, "IsSupported leaked");
  FUZZ_CHECK(answer == 0 || answer == 1, "IsSupported answers 1 or 0");
  if (!fired) FUZZ_CHECK(answer == ModelAnswer(data, size), "IsSupported accepts exactly what a probe scan accepts");

  if (control.toFiles) {
    // From byte 1 when the flag byte says so: the probe reads from the handle's position.
    const size_t start = size > 0 && (control.flagByte & 0x10) ? 1 : 0;
    const int byHandle = ProbeThroughHandle(gIsSupported, control, data, size, start);
    CheckNoLeak(before, "IsSupported (handle) leaked");
    if (byHandle >= 0) {
      FUZZ_CHECK(byHandle == ModelAnswer(data + start, size - start), "a handle probe answers the probe scan");
    }
  }
  return 0;
}
