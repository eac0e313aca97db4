// Test controls of the native platform stand-in: counts of live resources and
// injected failures of any platform call. Only native builds have them.
#ifndef KALDORIN_PLATFORM_FAULT_INJECTION_H
#define KALDORIN_PLATFORM_FAULT_INJECTION_H

#include <stddef.h>

#include "platform/win_compat.h"

#ifdef __cplusplus
extern "C" {
#endif

// The kinds of platform call that can be made to fail.
enum PlatformCall {
  kCallLocalAlloc = 0,
  kCallLocalLock,
  kCallMmioOpen,
  kCallMmioRead,
  kCallMmioWrite,
  kCallMmioSeek,
  kCallMmioGetInfo,
  kCallMmioClose,
  kCallReadFile,
  kCallSetFilePointer,
  kCallHeapAlloc,  // the plug-ins' general heap (code tables)
  kCallGetFileInformation,
  kPlatformCallKinds
};

// How an injected failure shows. kFaultError: the call reports failure as
// Windows would (null, -1, FALSE, an error code). kFaultShort: a read or
// write (mmioRead, mmioWrite, ReadFile) moves only half the bytes asked for
// and reports that count; other calls fail as with kFaultError.
enum PlatformFaultMode { kFaultError = 0, kFaultShort = 1 };

// Makes the nth call (1-based, counted from now) of `call` fail in `mode`.
// Only one fault is armed at a time; arming replaces the previous one.
KALDORIN_PLATFORM_API void PlatformFailCall(int call, long nth, int mode);
// Disarms any fault and sets every call counter to zero.
KALDORIN_PLATFORM_API void PlatformResetFaults(void);
// Calls of `call` made since the last reset (failed ones included).
KALDORIN_PLATFORM_API long PlatformCallsMade(int call);
// Whether the armed fault has fired since it was armed.
KALDORIN_PLATFORM_API int PlatformFaultFired(void);
// Short name of a call kind, for test messages.
KALDORIN_PLATFORM_API const char* PlatformCallName(int call);

// Live resources: local blocks not freed, mmio files not closed, heap
// allocations of PlatformHeapAlloc not freed.
KALDORIN_PLATFORM_API long PlatformLiveBlocks(void);
KALDORIN_PLATFORM_API long PlatformOpenStreams(void);
KALDORIN_PLATFORM_API long PlatformLiveHeapAllocs(void);
// mmioClose calls on a handle that is not open (null, never opened, or
// already closed) since the process started; such a close is refused.
KALDORIN_PLATFORM_API long PlatformBadCloses(void);

// The general heap of the plug-ins on native builds: malloc and free with
// accounting and fault injection (kCallHeapAlloc).
KALDORIN_PLATFORM_API void* PlatformHeapAlloc(size_t bytes);
KALDORIN_PLATFORM_API void PlatformHeapFree(void* p);

#ifdef __cplusplus
}
#endif

#endif
