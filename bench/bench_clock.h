// The clocks the benchmark programs read, natively and as Windows builds
// under Wine: wall time, and the process's processor time, which on a busy
// machine shows the work apart from waiting.
#ifndef KALDORIN_BENCH_BENCH_CLOCK_H
#define KALDORIN_BENCH_BENCH_CLOCK_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

namespace bench {

// Seconds of a monotonic clock.
inline double NowSeconds() {
#ifdef _WIN32
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

// Processor time of this process so far, in user and in kernel mode.
inline void ProcessorSeconds(double* user, double* kernel) {
#ifdef _WIN32
  FILETIME created, exited, k, u;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &k, &u);
  auto seconds = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
  };
  *user = seconds(u);
  *kernel = seconds(k);
#else
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  *user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
  *kernel = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
#endif
}

}  // namespace bench

#endif
