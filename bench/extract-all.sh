#!/bin/sh
# Extracting every member of a large archive through chestrel's GetFile by
# position, with and without its directory index, against `tar -x` of the
# same files, in one run: natively (release build) and, with --wine, the
# win64 build under wine64 too.
#
# Usage: bench/extract-all.sh [MEMBERS] [BASELINE_MEMBERS] [--wine [WINE_FILE_MEMBERS]]
# Under Wine every file created in a large folder costs a search of the
# folder, whoever creates it: WINE_FILE_MEMBERS (default 10000) of the
# members are written to files there, all of them to memory.
set -eu
cd "$(dirname "$0")/.."
members=${1:-100000}
baseline=${2:-10000}
wine=${3:-}
wineFiles=${4:-10000}
native=build/release
work=build/bench-extract-all
cmake --preset release >/dev/null
cmake --build --preset release --target extract_all_timer chestrel chestrel_unindexed >/dev/null
rm -rf "$work"
mkdir -p "$work"

echo "native:"
"$native/extract_all_timer" "$members" "$baseline" "$work/native" "$native"
tar -cf "$work/members.tar" -C "$work/native/out" .
mkdir "$work/tar-out"
/usr/bin/time -f 'tar -x of the same files: %e s (processor %U s user + %S s kernel)' \
  tar -xf "$work/members.tar" -C "$work/tar-out"
rm -rf "$work/tar-out" "$work/native/out" "$work/native/plain"

if [ "$wine" = --wine ]; then
  windows=build/win64
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target extract_all_timer chestrel chestrel_unindexed >/dev/null
  export WINEPREFIX="$(pwd)/$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  /usr/lib/wine/wine64 wineboot.exe --init >/dev/null 2>&1 || true
  echo "win64 under wine64:"
  /usr/lib/wine/wine64 "$windows/extract_all_timer.exe" "$members" "$baseline" "$work/wine" "$windows" "$wineFiles" | tr -d '\r'
  /usr/lib/wine/wineserver64 -w || true
fi
uptime
