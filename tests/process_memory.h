// How much memory the test process holds, to bound what a plug-in call or
// a run of calls costs where live resources are not counted one by one.
#ifndef KALDORIN_TESTS_PROCESS_MEMORY_H
#define KALDORIN_TESTS_PROCESS_MEMORY_H

#include <stdint.h>

// Resident bytes: natively the resident set, on Windows the working set.
uint64_t ResidentBytes();
// Private bytes in use: natively the resident anonymous pages, on Windows
// the page-file usage (Wine counts touched private pages there; its
// PrivateUsage is not filled in).
uint64_t PrivateBytes();

// Whether these numbers mean anything: a sanitizer's shadow memory and
// quarantine grow the process regardless of what the code under test does.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif

#endif
