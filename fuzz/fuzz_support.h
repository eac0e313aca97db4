// What the fuzz targets share: the control bytes at the front of every
// input, the progress callback that records and sometimes cancels, fault
// arming, the leak check, inputs placed before a guard page, scratch files
// in memory-backed storage, and the checks on blocks handed to the host.
//
// Every input of the per-export targets is three control bytes followed by
// the data the plug-in sees (a picture or an archive):
//   byte 0: the progress callback: bits 0-1 the mode (CancelMode), bits 2-6
//           the call that cancels in kCancelAtCall; bit 7 unused;
//   byte 1: bit 0 adds the file paths (see FuzzControl::toFiles); from 0xC0
//           on, one platform call of the export is made to fail (kind and
//           count derived from the byte);
//   byte 2: the export's flag besides the input type (see FlagFor).
#ifndef KALDORIN_FUZZ_FUZZ_SUPPORT_H
#define KALDORIN_FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/little_endian.h"
#include "common/plugin_api.h"

constexpr size_t kControlBytes = 3;
constexpr size_t kProbeBytes = 2048;

enum CancelMode {
  kCancelNever = 0,     // callback always answers 0
  kCancelAtCall = 1,    // answers non-zero at call number `cancelAt` (0-based)
  kCancelAtFinal = 2,   // answers non-zero only when nNum == nDenom
  kNullCallback = 3,    // the export gets a null callback
};

struct FuzzControl {
  CancelMode cancel;
  int cancelAt;       // for kCancelAtCall
  uint8_t flagByte;   // control byte 2, turned into a flag by FlagFor
  bool toFiles;       // also go through files: the probe through a host
                      // handle, pictures and archives from a file
  int faultKind;      // -1 = none, else a PlatformCall
  long faultNth;
};

// Splits an input into its control and its payload; false when the input is
// shorter than the control bytes.
bool SplitInput(const uint8_t* data, size_t size, FuzzControl* control, const uint8_t** payload,
                size_t* payloadSize);

// The flag an export gets with input type `inputType`: bits 3-7 of the flag
// byte become flag bits 3-7 (bit 7 is GetFileInfo's ignore case, the others
// are ignored), bits 0-2 become the output type (bits 8-10), and bit 3 also
// sets the ignored high half. With `memoryOutput` the output type is never 0.
unsigned FlagFor(const FuzzControl& control, unsigned inputType, bool memoryOutput);

// What the progress callback saw during one export call.
struct ProgressLog {
  const FuzzControl* control;
  long calls;
  int lastNum;
  int lastDenom;
  bool sawFinal;     // a call with nNum == nDenom
  bool orderBroken;  // nNum went backwards, or a call came after the final one
  bool cancelled;    // the callback answered non-zero at least once
};

void ResetProgress(ProgressLog* log, const FuzzControl* control);
// The callback to pass with (SpiLong)log, or null for kNullCallback.
ProgressCallback CallbackFor(const FuzzControl& control);
// Result 1 exactly when the callback cancelled (never without a callback).
void CheckCancelResult(const FuzzControl& control, const ProgressLog& log, int rc);

// Arms the control's fault (if any) for the next export call; DisarmFault
// reports whether it fired. Without a fault both are no-ops.
void ArmFault(const FuzzControl& control);
bool DisarmFault();

// Live blocks and open streams of the platform stand-in.
struct LiveCounts {
  long blocks;
  long streams;
};
LiveCounts CountLive();
// Aborts with `what` when blocks or streams differ from `before`.
void CheckNoLeak(const LiveCounts& before, const char* what);

// Aborts with a message: a property every export must keep was broken.
[[noreturn]] void FuzzFail(const char* what, const char* detail);
#define FUZZ_CHECK(cond, what) \
  do {                         \
    if (!(cond)) FuzzFail(what, #cond); \
  } while (0)

// A copy of `copied` bytes of `data`, zero-padded to `total` bytes, that ends
// right before a page that can be neither read nor written, so that reading
// past the end faults even without AddressSanitizer. The copy stays valid
// until the next call with the same `slot` (0 or 1).
const uint8_t* PlaceBeforeGuardPage(int slot, const uint8_t* data, size_t copied, size_t total);
// The input as a memory image: `size` bytes before the guard page.
inline const uint8_t* GuardedImage(const uint8_t* data, size_t size) {
  return PlaceBeforeGuardPage(0, data, size, size);
}
// The probe buffer of IsSupported: the first 2048 bytes of the input,
// zero-padded to exactly 2048, before the guard page.
inline const uint8_t* GuardedProbe(const uint8_t* data, size_t size) {
  return PlaceBeforeGuardPage(1, data, size < kProbeBytes ? size : kProbeBytes, kProbeBytes);
}

// IsSupported through a host file handle on a file holding `size` bytes of
// `data`, the handle positioned at byte `start`: the answer (1 or 0), or -1
// when an injected fault fired. The handle must be left where it was.
int ProbeThroughHandle(IsSupportedFn isSupported, const FuzzControl& control, const uint8_t* data, size_t size,
                       size_t start);

// One input of an IsSupported target: the probe buffer before a guard page
// and (with the file bit) a host file handle, each answer checked against
// `model` (1 or 0 for the first 2048 bytes of the data, zero-padded) and
// for leaks. `fileName` is what the host passes along.
void FuzzIsSupported(IsSupportedFn isSupported, const char* fileName, int (*model)(const uint8_t* probe),
                     const uint8_t* input, size_t inputSize);

// Checks a block handed over to the host (unlocked, `bytes` long when
// `bytes` is not SIZE_MAX), copies its contents to `*copy` when given, and
// frees it with LocalFree as the host does.
void CheckAndFreeBlock(HLOCAL block, size_t bytes, std::vector<uint8_t>* copy, const char* what);

// A folder of this process under /dev/shm (or the temporary folder), made
// on first use and removed at exit.
const std::string& ScratchFolder();
bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size);
bool ReadFileBytes(const std::string& path, std::string* out);

// The plug-in `name` ("glimmet") loaded from the fuzzer's own folder; aborts when it
// cannot be loaded or lacks an export.
void* LoadPluginOrDie(const char* name);
void* ExportOrDie(void* module, const char* name);

// A handle value no export returns: out-parameters start with it.
#define FUZZ_UNSET_HANDLE (reinterpret_cast<HLOCAL>(uintptr_t{0x5A5A5A5A}))

#endif
