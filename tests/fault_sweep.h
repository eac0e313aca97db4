// Fault sweeps: every platform call that an operation makes, made to fail in
// turn. Native builds only (the platform stand-in injects the faults).
#ifndef KALDORIN_TESTS_FAULT_SWEEP_H
#define KALDORIN_TESTS_FAULT_SWEEP_H

#ifndef _WIN32

#include <string>
#include <vector>

#include "platform/fault_injection.h"

struct PlatformFault {
  int call;
  long nth;
  int mode;
  // "mmioRead #3 short", for test messages.
  std::string Describe() const {
    return std::string(PlatformCallName(call)) + " #" + std::to_string(nth) + (mode == kFaultShort ? " short" : "");
  }
  // Resets the counters and arms this fault.
  void Arm() const {
    PlatformResetFaults();
    PlatformFailCall(call, nth, mode);
  }
};

// The faults of a sweep over `made[call]` calls of each kind: each call
// failed in turn, and each read or write also cut short.
inline std::vector<PlatformFault> FaultsOfCalls(const long (&made)[kPlatformCallKinds]) {
  std::vector<PlatformFault> faults;
  for (int call = 0; call < kPlatformCallKinds; ++call) {
    for (long n = 1; n <= made[call]; ++n) {
      faults.push_back(PlatformFault{call, n, kFaultError});
      if (call == kCallMmioRead || call == kCallMmioWrite || call == kCallReadFile) {
        faults.push_back(PlatformFault{call, n, kFaultShort});
      }
    }
  }
  return faults;
}

// The same over the calls counted since the last reset.
inline std::vector<PlatformFault> FaultsOfCallsMade() {
  long made[kPlatformCallKinds];
  for (int call = 0; call < kPlatformCallKinds; ++call) made[call] = PlatformCallsMade(call);
  return FaultsOfCalls(made);
}

#endif
#endif
