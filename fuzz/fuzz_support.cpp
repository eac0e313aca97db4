#include "fuzz/fuzz_support.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/fault_injection.h"
#include "tests/plugin_host.h"

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
  control->ignoreCase = (c0 & 0x80) != 0;
  control->toFiles = (c1 & 1) != 0;
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

void ResetProgress(ProgressLog* log, const FuzzControl* control) {
  memset(log, 0, sizeof *log);
  log->control = control;
}

ProgressCallback CallbackFor(const FuzzControl& control) {
  return control.cancel == kNullCallback ? nullptr : RecordProgress;
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

void* LoadPluginOrDie(const char* fileName) {
  Plugin plugin;
  if (!LoadPlugin(fileName, &plugin)) FuzzFail("cannot load the plug-in", dlerror());
  return plugin.module;
}

void* ExportOrDie(void* module, const char* name) {
  void* fn = dlsym(module, name);
  if (fn == nullptr) FuzzFail("the plug-in lacks an export", name);
  return fn;
}
