// The plug-ins' general heap, used only for the code tables and their
// working memory. Natively it goes through the platform stand-in, which
// counts allocations and can make them fail for tests; code built with
// KALDORIN_PLAIN_HEAP (the I24B decoder linked without the platform) uses
// the C heap.
#ifndef KALDORIN_COMMON_GENERAL_HEAP_H
#define KALDORIN_COMMON_GENERAL_HEAP_H

#include <stddef.h>
#include <stdlib.h>

#if defined(_WIN32) || defined(KALDORIN_PLAIN_HEAP)
#define KALDORIN_C_HEAP 1
#else
#include "platform/fault_injection.h"
#endif

inline void* HeapAllocate(size_t bytes) {
#ifdef KALDORIN_C_HEAP
  return malloc(bytes);
#else
  return PlatformHeapAlloc(bytes);
#endif
}

inline void HeapRelease(void* p) {
#ifdef KALDORIN_C_HEAP
  free(p);
#else
  PlatformHeapFree(p);
#endif
}

#endif
