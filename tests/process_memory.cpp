#include "tests/process_memory.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <stdio.h>
#include <string.h>
#endif

namespace {

#ifdef _WIN32
PROCESS_MEMORY_COUNTERS Counters() {
  PROCESS_MEMORY_COUNTERS c = {};
  c.cb = sizeof c;
  GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c);
  return c;
}
#else
// A "Name:   123 kB" line of /proc/self/status, in bytes (0 if missing).
uint64_t StatusField(const char* name) {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  unsigned long long kb = 0;
  const size_t n = strlen(name);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, name, n) == 0 && line[n] == ':') {
      sscanf(line + n + 1, "%llu", &kb);
      break;
    }
  }
  fclose(f);
  return uint64_t{kb} * 1024;
}
#endif

}  // namespace

uint64_t ResidentBytes() {
#ifdef _WIN32
  return Counters().WorkingSetSize;
#else
  return StatusField("VmRSS");
#endif
}

uint64_t PrivateBytes() {
#ifdef _WIN32
  return Counters().PagefileUsage;
#else
  return StatusField("RssAnon");
#endif
}
