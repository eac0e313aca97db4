#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "platform/fault_state.h"

namespace {

// Counting is lock-free, so that the stand-in costs little per call in
// benchmarks; arming and firing a fault take the lock.
std::mutex gLock;
std::atomic<long> gCalls[kPlatformCallKinds];
std::atomic<int> gArmedCall{-1};
long gArmedAt = 0;  // absolute call number that fails
int gArmedMode = kFaultError;
bool gFired = false;

std::atomic<long> gBlocks{0};
std::atomic<long> gStreams{0};
std::atomic<long> gHeap{0};
std::atomic<long> gBadCloses{0};

}  // namespace

int ShouldFail(PlatformCall call) {
  long n = ++gCalls[call];
  if (gArmedCall.load(std::memory_order_relaxed) != static_cast<int>(call)) return -1;
  std::lock_guard<std::mutex> hold(gLock);
  if (gArmedCall == static_cast<int>(call) && n == gArmedAt) {
    gFired = true;
    return gArmedMode;
  }
  return -1;
}

void CountBlock(long delta) { gBlocks += delta; }
void CountStream(long delta) { gStreams += delta; }
void CountHeap(long delta) { gHeap += delta; }
void CountBadClose(void) { ++gBadCloses; }

extern "C" {

void PlatformFailCall(int call, long nth, int mode) {
  std::lock_guard<std::mutex> hold(gLock);
  if (call < 0 || call >= kPlatformCallKinds || nth < 1) {
    gArmedCall = -1;
    return;
  }
  gArmedCall = call;
  gArmedAt = gCalls[call] + nth;
  gArmedMode = mode;
  gFired = false;
}

void PlatformResetFaults(void) {
  std::lock_guard<std::mutex> hold(gLock);
  for (std::atomic<long>& c : gCalls) c = 0;
  gArmedCall = -1;
  gFired = false;
}

long PlatformCallsMade(int call) {
  std::lock_guard<std::mutex> hold(gLock);
  return call >= 0 && call < kPlatformCallKinds ? gCalls[call].load() : 0;
}

int PlatformFaultFired(void) {
  std::lock_guard<std::mutex> hold(gLock);
  return gFired ? 1 : 0;
}

const char* PlatformCallName(int call) {
  static const char* const kNames[kPlatformCallKinds] = {
      "LocalAlloc", "LocalLock", "mmioOpen",  "mmioRead",       "mmioWrite", "mmioSeek",
      "mmioGetInfo", "mmioClose", "ReadFile", "SetFilePointer", "HeapAlloc",
      "GetFileInformationByHandle"};
  return call >= 0 && call < kPlatformCallKinds ? kNames[call] : "?";
}

long PlatformLiveBlocks(void) { return gBlocks; }
long PlatformOpenStreams(void) { return gStreams; }
long PlatformLiveHeapAllocs(void) { return gHeap; }
long PlatformBadCloses(void) { return gBadCloses; }

void* PlatformHeapAlloc(size_t bytes) {
  if (ShouldFail(kCallHeapAlloc) >= 0) return nullptr;
  void* p = malloc(bytes);
  if (p != nullptr) CountHeap(1);
  return p;
}

void PlatformHeapFree(void* p) {
  if (p == nullptr) return;
  CountHeap(-1);
  free(p);
}

}  // extern "C"
