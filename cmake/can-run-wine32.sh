#!/bin/sh
# Exits 0 where this machine can run 32-bit Wine (Debian's wine32: the loader
# /usr/lib/wine/wine and /usr/lib/wine/wineserver32), else 1 with the reason
# on one line of standard error. Some kernels and virtual machines cannot run
# 32-bit Linux programs at all: the server is then installed but cannot start.
# Used by tests/CMakeLists.txt, scripts/ and bench/.
for program in /usr/lib/wine/wine /usr/lib/wine/wineserver32; do
  if [ ! -x "$program" ]; then
    echo "32-bit Wine is not installed ($program is missing)" >&2
    exit 1
  fi
done
if ! /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  echo "this machine cannot run 32-bit programs (/usr/lib/wine/wineserver32 does not start)" >&2
  exit 1
fi
exit 0
