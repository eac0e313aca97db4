// What both fuzz targets share: the control bytes at the front of every
// input, the progress callback that records and sometimes cancels, fault
// arming, the leak check and scratch files in memory-backed storage.
//
// Every fuzz input is two control bytes followed by the data the plug-in
// sees (a picture or an archive):
//   byte 0: how the progress callback behaves (see FuzzControl);
//   byte 1: below 0xC0 no fault; from 0xC0 on, one platform call of the
//           exports is made to fail (kind and count derived from the byte).
#ifndef KALDORIN_FUZZ_FUZZ_SUPPORT_H
#define KALDORIN_FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "common/plugin_api.h"

constexpr size_t kControlBytes = 2;

enum CancelMode {
  kCancelNever = 0,     // callback always answers 0
  kCancelAtCall = 1,    // answers non-zero at call number `cancelAt` (0-based)
  kCancelAtFinal = 2,   // answers non-zero only when nNum == nDenom
  kNullCallback = 3,    // the export gets a null callback
};

struct FuzzControl {
  CancelMode cancel;
  int cancelAt;     // for kCancelAtCall
  bool ignoreCase;  // chestrel: GetFileInfo's flag bit 7
  bool toFiles;     // also go through files: chestrel extracts to a folder,
                    // glimmet decodes the picture from a file as well
  int faultKind;    // -1 = none, else a PlatformCall
  long faultNth;
};

// Splits an input into its control and its payload; false when the input is
// shorter than the control bytes.
bool SplitInput(const uint8_t* data, size_t size, FuzzControl* control, const uint8_t** payload,
                size_t* payloadSize);

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

// A folder of this process under /dev/shm (or the temporary folder), made
// on first use and removed at exit.
const std::string& ScratchFolder();
bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size);
bool ReadFileBytes(const std::string& path, std::string* out);

// The plug-in `fileName` loaded from the fuzzer's own folder; aborts when it
// cannot be loaded or lacks an export.
void* LoadPluginOrDie(const char* fileName);
void* ExportOrDie(void* module, const char* name);

#endif
