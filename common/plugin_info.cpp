#include "common/plugin_info.h"

#include <string.h>

int CopyPluginInfo(const char* const* table, int infono, char* buf, int buflen) {
  if (buf == nullptr || buflen < 1 || infono < 0) return 0;
  // Walk to the entry so that an index past the end stops at the terminator.
  for (int i = 0; table[i] != nullptr; ++i) {
    if (i != infono) continue;
    strncpy(buf, table[i], static_cast<size_t>(buflen) - 1);
    buf[buflen - 1] = '\0';
    return static_cast<int>(strlen(buf));
  }
  return 0;
}
