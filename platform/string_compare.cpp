// String comparison. Windows compares by locale; for the ASCII letters,
// digits and full stops of member names that gives the same equality as this
// byte comparison, which is all the plug-ins ask of it.
#include "platform/win_compat.h"

namespace {
int FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
}  // namespace

extern "C" {

int lstrcmpA(LPCSTR a, LPCSTR b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  while (*x != 0 && *x == *y) ++x, ++y;
  return *x < *y ? -1 : *x > *y ? 1 : 0;
}

int lstrcmpiA(LPCSTR a, LPCSTR b) {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  while (*x != 0 && FoldAscii(*x) == FoldAscii(*y)) ++x, ++y;
  int d = FoldAscii(*x) - FoldAscii(*y);
  return d < 0 ? -1 : d > 0 ? 1 : 0;
}

}  // extern "C"
