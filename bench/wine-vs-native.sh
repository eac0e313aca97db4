#!/bin/sh
# Decoding speed of glimmet's Windows build under Wine against the native
# build on the same machine: builds decode_timer for both (x86_64 mingw,
# run by wine64), encodes one large sample picture with the native
# `kaldorin encode`, times both and prints the ratios.
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
work=build/perf-wine-vs-native
echo "building the native and the win64 decode timers..." >&2
cmake --preset release -B "$native" >/dev/null
cmake --build "$native" -j2 --target kaldorin decode_timer >/dev/null
cmake --preset win64 -B "$windows" >/dev/null
cmake --build "$windows" -j2 --target decode_timer >/dev/null

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
"$wineserver" -w || true
echo "native:                   $native_line"
echo "native, 4 KiB pages only: $small_line"
echo "win64 in Wine:            $wine_line"
speed() { echo "$1" | sed -n 's/.* \([0-9.]*\) MP\/s (fastest.*/\1/p'; }
n=$(speed "$native_line")
s=$(speed "$small_line")
w=$(speed "$wine_line")
awk -v n="$n" -v s="$s" -v w="$w" 'BEGIN {
  if (n > 0 && s > 0) printf "Wine / native: %.2f; Wine / native with 4 KiB pages: %.2f (median MP/s %s, %s, %s)\n", w / n, w / s, w, n, s
}'
