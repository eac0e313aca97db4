#include "common/plugin_info.h"

namespace {

// Both forms of CopyPluginInfo: each byte of the text becomes one unit.
template <class Char>
int CopyEntry(const char* const* table, int infono, Char* buf, int buflen) {
  if (buf == nullptr || buflen < 1 || infono < 0) return 0;
  // Walk to the entry so that an index past the end stops at the terminator.
  for (int i = 0; table[i] != nullptr; ++i) {
    if (i != infono) continue;
    // NUL-padded to buflen - 1 units, as strncpy pads.
    const char* text = table[i];
    int length = 0;
    for (int k = 0; k < buflen - 1; ++k) {
      buf[k] = static_cast<Char>(static_cast<unsigned char>(text[length]));
      if (text[length] != '\0') ++length;
    }
    buf[buflen - 1] = 0;
    return length;
  }
  return 0;
}

}  // namespace

int CopyPluginInfo(const char* const* table, int infono, char* buf, int buflen) {
  return CopyEntry(table, infono, buf, buflen);
}

int CopyPluginInfo(const char* const* table, int infono, WCHAR* buf, int buflen) {
  return CopyEntry(table, infono, buf, buflen);
}
