#!/bin/sh
# Decoding speed of glimmet's Windows builds under Wine against the native
# build on the same machine: builds decode_timer natively, for 64-bit
# Windows (run by wine64) and, where the machine runs 32-bit programs, for
# 32-bit Windows (the .spi that most hosts load, run by 32-bit Wine);
# encodes one large sample picture with the native `kaldorin encode`, times
# each and prints the ratios.
#
# Usage: bench/wine-vs-native.sh [PICTURE.png|PICTURE.bmp] [DECODES]
# The picture defaults to the largest one in build/sample-images
# (scripts/fetch-sample-images.sh fetches them).
set -eu
cd "$(dirname "$0")/.."
picture=${1:-}
decodes=${2:-9}
if [ -z "$picture" ]; then
  picture=$(ls -S build/sample-images/*.png build/sample-images/*.bmp 2>/dev/null | head -n 1 || true)
fi
if [ -z "$picture" ] || [ ! -f "$picture" ]; then
  echo "no picture: pass one, or run scripts/fetch-sample-images.sh build/sample-images" >&2
  exit 2
fi

native=build/perf-release
windows=build/perf-win64
windows32=build/perf-win32
work=build/perf-wine-vs-native
run32=no
why32=""
if why32=$(cmake/can-run-wine32.sh 2>&1); then run32=yes; fi
echo "building the native, win64 and (where 32-bit programs run) win32 decode timers..." >&2
cmake --preset release -B "$native" >/dev/null
cmake --build "$native" -j2 --target kaldorin decode_timer >/dev/null
cmake --preset win64 -B "$windows" >/dev/null
cmake --build "$windows" -j2 --target decode_timer >/dev/null
if [ "$run32" = yes ]; then
  cmake --preset win32 -B "$windows32" >/dev/null
  cmake --build "$windows32" -j2 --target decode_timer >/dev/null
fi

mkdir -p "$work"
name=$(basename "$picture")
i24="$work/${name%.*}.i24"
if [ ! -f "$i24" ] || [ "$picture" -nt "$i24" ]; then
  echo "encoding $picture..." >&2
  "$native/kaldorin" --quiet encode "$picture" -o "$i24" >&2
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
# One Wine prefix of our own, made on first use.
prefix="$(pwd)/$work/wineprefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -d "$prefix" ]; then
  echo "making the Wine prefix..." >&2
  "$wine" wineboot.exe --init >/dev/null 2>&1 || true
  "$wineserver" -w || true
fi

# Natively the platform stand-in maps large blocks for transparent huge
# pages; Windows (and so Wine) pages them 4 KiB at a time. The second native
# run turns huge pages off, to compare like with like.
native_line=$("$native/decode_timer" "$i24" "$decodes")
small_line=$("$native/decode_timer" --small-pages "$i24" "$decodes")
wine_line=$("$wine" "$windows/decode_timer.exe" "$i24" "$decodes" | tr -d '\r')
wine32_line="not run: $why32"
if [ "$run32" = yes ]; then
  # 32-bit Wine shares the prefix; its server is the same one.
  wine32_line=$(/usr/lib/wine/wine "$windows32/decode_timer.exe" "$i24" "$decodes" | tr -d '\r')
fi
"$wineserver" -w || true
echo "native:                   $native_line"
echo "native, 4 KiB pages only: $small_line"
echo "win64 in Wine:            $wine_line"
echo "win32 in 32-bit Wine:     $wine32_line"
speed() { echo "$1" | sed -n 's/.* \([0-9.]*\) MP\/s (fastest.*/\1/p'; }
n=$(speed "$native_line")
s=$(speed "$small_line")
w=$(speed "$wine_line")
w32=$(speed "$wine32_line")
awk -v n="$n" -v s="$s" -v w="$w" -v w32="$w32" 'BEGIN {
  if (n <= 0 || s <= 0) exit
  printf "| build | median MP/s | vs native | vs native with 4 KiB pages |\n|---|---|---|---|\n"
  printf "| native x86-64 | %s | 1 | |\n", n
  printf "| native x86-64, 4 KiB pages | %s | %.2f | 1 |\n", s, s / n
  printf "| win64 .sph under 64-bit Wine | %s | %.2f | %.2f |\n", w, w / n, w / s
  if (w32 > 0) printf "| win32 .spi under 32-bit Wine | %s | %.2f | %.2f |\n", w32, w32 / n, w32 / s
}'
