// The plug-ins' general heap, used only for the code tables and their
// working memory. Natively it goes through the platform stand-in, which
// counts allocations and can make them fail for tests.
#ifndef KALDORIN_COMMON_GENERAL_HEAP_H
#define KALDORIN_COMMON_GENERAL_HEAP_H

#include <stddef.h>
#include <stdlib.h>

#ifndef _WIN32
#include "platform/fault_injection.h"
#endif

inline void* HeapAllocate(size_t bytes) {
#ifdef _WIN32
  return malloc(bytes);
#else
  return PlatformHeapAlloc(bytes);
#endif
}

inline void HeapRelease(void* p) {
#ifdef _WIN32
  free(p);
#else
  PlatformHeapFree(p);
#endif
}

#endif
