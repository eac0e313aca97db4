#include "fuzz/fuzz_support.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "tests/plugin_host.h"
#include "tests/test_files.h"

// The fuzzers, the plug-ins and the platform stand-in share the sanitizer
// runtime as a shared library; libFuzzer's own C++ runtime is loaded ahead
// of it, which does no harm because that runtime intercepts nothing.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

namespace {

// Platform calls whose failure the exports must survive (the general heap is
// only used while glimmet loads).
constexpr int kFaultKinds = kCallSetFilePointer + 1;
constexpr uint8_t kFirstFaultByte = 0xC0;

int SPI_CALL RecordProgress(int nNum, int nDenom, SpiLong lData) {
  ProgressLog* log = reinterpret_cast<ProgressLog*>(lData);
  if (log->sawFinal || (log->calls > 0 && nNum < log->lastNum)) log->orderBroken = true;
  if (nNum == nDenom) log->sawFinal = true;
  const long call = log->calls++;
  log->lastNum = nNum;
  log->lastDenom = nDenom;
  bool stop = false;
  switch (log->control->cancel) {
    case kCancelAtCall:
      stop = call == log->control->cancelAt;
      break;
    case kCancelAtFinal:
      stop = nNum == nDenom;
      break;
    default:
      break;
  }
  if (stop) log->cancelled = true;
  return stop ? 1 : 0;
}

std::string MakeScratchFolder() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  std::string pattern = std::string(base) + "/kaldorin-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) FuzzFail("cannot make a scratch folder", pattern.c_str());
  return pattern;
}

std::string* gScratch = nullptr;

// One mapping per slot: readable pages followed by one inaccessible page.
GuardedRegion gRegions[2];

void RemoveScratch() {
  if (gScratch == nullptr) return;
  std::string command = "rm -rf '" + *gScratch + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", gScratch->c_str());
}

}  // namespace

bool SplitInput(const uint8_t* data, size_t size, FuzzControl* control, const uint8_t** payload,
                size_t* payloadSize) {
  if (size < kControlBytes) return false;
  const uint8_t c0 = data[0];
  const uint8_t c1 = data[1];
  control->cancel = static_cast<CancelMode>(c0 & 3);
  control->cancelAt = (c0 >> 2) & 31;
  control->toFiles = (c1 & 1) != 0;
  control->flagByte = data[2];
  if (c1 >= kFirstFaultByte) {
    control->faultKind = (c1 - kFirstFaultByte) % kFaultKinds;
    control->faultNth = (c1 - kFirstFaultByte) / kFaultKinds + 1;
  } else {
    control->faultKind = -1;
    control->faultNth = 0;
  }
  *payload = data + kControlBytes;
  *payloadSize = size - kControlBytes;
  return true;
}

unsigned FlagFor(const FuzzControl& control, unsigned inputType, bool memoryOutput) {
  const unsigned b = control.flagByte;
  unsigned flag = inputType | (b & 0xF8u) | ((b & 7u) << kFlagOutputShift);
  if (b & 0x08u) flag |= 0xFFFF0000u;
  if (memoryOutput && (flag & kFlagOutputMask) == 0) flag |= 1u << kFlagOutputShift;
  return flag;
}

void ResetProgress(ProgressLog* log, const FuzzControl* control) {
  memset(log, 0, sizeof *log);
  log->control = control;
}

ProgressCallback CallbackFor(const FuzzControl& control) {
  return control.cancel == kNullCallback ? nullptr : RecordProgress;
}

void CheckCancelResult(const FuzzControl& control, const ProgressLog& log, int rc) {
  if (control.cancel != kNullCallback) {
    FUZZ_CHECK(log.cancelled == (rc == kResultCancelled), "result 1 exactly when the callback cancelled");
  } else {
    FUZZ_CHECK(rc != kResultCancelled, "no cancellation without a callback");
  }
}

void ArmFault(const FuzzControl& control) {
  PlatformResetFaults();
  if (control.faultKind >= 0) PlatformFailCall(control.faultKind, control.faultNth, kFaultError);
}

bool DisarmFault() {
  const bool fired = PlatformFaultFired() != 0;
  PlatformResetFaults();
  return fired;
}

LiveCounts CountLive() { return LiveCounts{PlatformLiveBlocks(), PlatformOpenStreams()}; }

void CheckNoLeak(const LiveCounts& before, const char* what) {
  const LiveCounts now = CountLive();
  if (now.blocks == before.blocks && now.streams == before.streams) return;
  char detail[160];
  snprintf(detail, sizeof detail, "live blocks %ld -> %ld, open streams %ld -> %ld", before.blocks, now.blocks,
           before.streams, now.streams);
  FuzzFail(what, detail);
}

void FuzzFail(const char* what, const char* detail) {
  fprintf(stderr, "\n==FUZZ CHECK FAILED== %s: %s\n", what, detail);
  fflush(stderr);
  abort();
}

const uint8_t* PlaceBeforeGuardPage(int slot, const uint8_t* data, size_t copied, size_t total) {
  const uint8_t* start = CopyBeforeGuardPage(&gRegions[slot], data, copied, total);
  if (start == nullptr) FuzzFail("cannot map an input buffer before a guard page", strerror(errno));
  return start;
}

int ProbeThroughHandle(IsSupportedFn isSupported, const FuzzControl& control, const uint8_t* data, size_t size,
                       size_t start) {
  const std::string path = ScratchFolder() + "/probe.bin";
  if (!WriteFileBytes(path, data, size)) FuzzFail("cannot write the probe file", path.c_str());
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "the probe file opens");
  FUZZ_CHECK(lseek(fd, static_cast<off_t>(start), SEEK_SET) == static_cast<off_t>(start),
             "the probe file can be positioned");
  ArmFault(control);
  const int answer = isSupported("probe.bin", static_cast<SpiDword>(fd));
  const bool fired = DisarmFault();
  FUZZ_CHECK(answer == 0 || answer == 1, "IsSupported answers 1 or 0");
  FUZZ_CHECK(fired || lseek(fd, 0, SEEK_CUR) == static_cast<off_t>(start), "IsSupported leaves the host's handle where it was");
  close(fd);
  unlink(path.c_str());
  return fired ? -1 : answer;
}

void CheckAndFreeBlock(HLOCAL block, size_t bytes, std::vector<uint8_t>* copy, const char* what) {
  FUZZ_CHECK(block != nullptr && block != FUZZ_UNSET_HANDLE, what);
  const size_t size = LocalSize(block);
  if (bytes != SIZE_MAX && size != bytes) {
    char detail[120];
    snprintf(detail, sizeof detail, "the block holds %zu bytes, expected %zu", size, bytes);
    FuzzFail(what, detail);
  }
  // Handed over unlocked: one lock and one unlock leave no lock behind.
  const uint8_t* p = static_cast<const uint8_t*>(LocalLock(block));
  FUZZ_CHECK(p != nullptr, "a handed-over block can be locked");
  if (copy != nullptr) copy->assign(p, p + size);
  FUZZ_CHECK(LocalUnlock(block) == FALSE, "a block is handed over unlocked");
  FUZZ_CHECK(LocalFree(block) == nullptr, "the host can free a handed-over block");
}

const std::string& ScratchFolder() {
  if (gScratch == nullptr) {
    gScratch = new std::string(MakeScratchFolder());
    atexit(RemoveScratch);
  }
  return *gScratch;
}

bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = (size == 0 || fwrite(data, 1, size, f) == size);
  return fclose(f) == 0 && ok;
}

bool ReadFileBytes(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

void* LoadPluginOrDie(const char* name) {
  Plugin plugin;
  if (!LoadPlugin(name, &plugin)) FuzzFail("cannot load the plug-in", dlerror());
  return plugin.module;
}

void* ExportOrDie(void* module, const char* name) {
  void* fn = dlsym(module, name);
  if (fn == nullptr) FuzzFail("the plug-in lacks an export", name);
  return fn;
}

void FuzzIsSupported(IsSupportedFn isSupported, const char* fileName, int (*model)(const uint8_t* probe),
                     const uint8_t* input, size_t inputSize) {
  FuzzControl control;
  const uint8_t* data;
  size_t size;
  if (!SplitInput(input, inputSize, &control, &data, &size)) return;
  const LiveCounts before = CountLive();

  const uint8_t* probe = GuardedProbe(data, size);
  ArmFault(control);
  const int answer = isSupported(fileName, reinterpret_cast<SpiDword>(probe));
  const bool fired = DisarmFault();
  CheckNoLeak(before, "IsSupported leaked");
  FUZZ_CHECK(answer == 0 || answer == 1, "IsSupported answers 1 or 0");
  if (!fired) FUZZ_CHECK(answer == model(GuardedProbe(data, size)), "IsSupported answers as the model does");

  if (control.toFiles) {
    // From byte 1 when the flag byte says so: the probe reads from the handle's position.
    const size_t start = size > 0 && (control.flagByte & 0x10) ? 1 : 0;
    const int byHandle = ProbeThroughHandle(isSupported, control, data, size, start);
    CheckNoLeak(before, "IsSupported (handle) leaked");
    if (byHandle >= 0) {
      FUZZ_CHECK(byHandle == model(GuardedProbe(data + start, size - start)),
                 "a handle probe answers as the model does");
    }
  }
}
