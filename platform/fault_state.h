// Internal to the platform stand-in: call counting, the armed fault and the
// live-resource counters that fault_injection.h reports.
#ifndef KALDORIN_PLATFORM_FAULT_STATE_H
#define KALDORIN_PLATFORM_FAULT_STATE_H

#include "platform/fault_injection.h"

// Counts a call of `call` and tells whether it must fail, and how.
// Returns -1 when the call proceeds normally, else a PlatformFaultMode.
int ShouldFail(PlatformCall call);

// Live-resource accounting.
void CountBlock(long delta);
void CountStream(long delta);
void CountHeap(long delta);
void CountBadClose(void);

#endif
