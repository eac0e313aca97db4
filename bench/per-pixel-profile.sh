#!/bin/sh
# Cycles and instructions per pixel of glimmet's decoder on both word
# sizes: the native x86-64 build and a 32-bit (i386) Linux build of the same
# sources, whose decoder keeps the 32-bit bit buffer that the 32-bit Windows
# build uses. Instructions are counted by callgrind in the decoder's row
# loop; cycles are processor time at the processor's nominal clock (virtual
# machines often give no hardware counters), from decode_timer's median.
#
# Usage: bench/per-pixel-profile.sh PICTURE.i24 [NATIVE_DIR] [I386_DIR]
# The folders hold glimmet and decode_timer; by default they are built here
# (build/release, and build/perf-i386 with g++-multilib).
set -eu
cd "$(dirname "$0")/.."
picture=${1:?usage: bench/per-pixel-profile.sh PICTURE.i24 [NATIVE_DIR] [I386_DIR]}
native=${2:-}
i386=${3:-}
if [ -z "$native" ]; then
  native=build/release
  cmake --preset release >/dev/null
  cmake --build "$native" -j2 --target glimmet decode_timer >/dev/null
fi
if [ -z "$i386" ]; then
  i386=build/perf-i386
  if ! [ -d /usr/lib/gcc/x86_64-linux-gnu/12/32 ]; then
    apt-get install -y -q g++-multilib >/dev/null
  fi
  # Only glimmet and decode_timer are built: the tool's libpng is named so
  # that the configuration completes, and never linked.
  cmake -B "$i386" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 \
    -DKALDORIN_BUILD_TESTS=OFF -DKALDORIN_BUILD_BENCH=AUTO -DKALDORIN_BUILD_PIXBUF_LOADER=OFF \
    -DPNG_LIBRARY=/usr/lib/x86_64-linux-gnu/libpng.so -DPNG_PNG_INCLUDE_DIR=/usr/include >/dev/null 2>&1 || true
  cmake --build "$i386" -j2 --target glimmet decode_timer >/dev/null
fi
mhz=$(sed -n 's/^cpu MHz[^:]*: *//p' /proc/cpuinfo | head -n 1)
pixels=$(od -An -tu2 -j12 -N4 "$picture" | awk '{print $1 * $2}')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "| build | instructions per pixel | cycles per pixel (at $mhz MHz) | MP/s by processor time |"
echo "|---|---|---|---|"
for dir in "$native" "$i386"; do
  valgrind --tool=callgrind --callgrind-out-file="$work/out" "$dir/decode_timer" "$picture" 1 "$dir" >/dev/null 2>&1
  ir=$(callgrind_annotate --inclusive=yes "$work/out" 2>/dev/null | grep 'DecodeRows<true' | head -n 1 | awk '{gsub(",", "", $1); print $1}')
  speed=$("$dir/decode_timer" "$picture" 15 "$dir" | sed -n 's/.*(\([0-9.]*\) MP\/s)$/\1/p')
  bits=$(file -L "$dir/glimmet.spi" | grep -q 'ELF 32-bit' && echo "32-bit (i386)" || echo "64-bit (x86-64)")
  awk -v b="$bits" -v ir="$ir" -v px="$pixels" -v mhz="$mhz" -v s="$speed" \
    'BEGIN { printf "| %s | %.1f | %.1f | %.1f |\n", b, ir / px, mhz / s, s }'
done
