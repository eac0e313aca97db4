#!/bin/sh
# Round trips of real photographs through the tool: encode each sample
# picture to I24B, decode it through glimmet, and compare the pixels. With
# the optimised native build, and under Wine with the Windows builds for the
# BMP samples (the Windows tool reads and writes BMP only).
# Prints "N passed, M failed" last; exits non-zero on any failure.
set -eu
cd "$(dirname "$0")/.."
images=build/sample-images
scripts/fetch-sample-images.sh "$images" >/dev/null
work=build/photo-round-trips
rm -rf "$work" && mkdir -p "$work"

passed=0
failed=0
check() {  # check LABEL TOOL PICTURE OUT
  label=$1; tool=$2; picture=$3; out=$4
  if $tool encode "$picture" -o "$out.i24" >"$out.log" 2>&1 &&
     $tool --quiet decode "$out.i24" -o "$out.decoded.${picture##*.}" >>"$out.log" 2>&1 &&
     $tool compare "$picture" "$out.decoded.${picture##*.}" >>"$out.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok    $label: $(grep -o '[0-9.]* bits per pixel' "$out.log" | head -n 1)"
  else
    failed=$((failed + 1))
    echo "FAIL  $label"
    sed 's/^/      /' "$out.log"
  fi
  rm -f "$out.i24" "$out.decoded."*
}

for picture in "$images"/*.png "$images"/*.bmp; do
  name=$(basename "$picture")
  check "native $name" build/release/kaldorin "$picture" "$work/native-$name"
done

# Under Wine: the 32-bit build where this machine runs 32-bit programs, as
# most viewers are 32-bit; the 64-bit build as well.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
for bits in 32 64; do
  if [ "$bits" = 32 ]; then
    cmake/can-run-wine32.sh 2>/dev/null || continue
    loader=/usr/lib/wine/wine; server=/usr/lib/wine/wineserver32
  else
    loader=/usr/lib/wine/wine64; server=/usr/lib/wine/wineserver64
  fi
  [ -x "build/win$bits/kaldorin.exe" ] || continue
  export WINEPREFIX="$PWD/build/win$bits/wineprefix"
  for picture in "$images"/*.bmp; do
    name=$(basename "$picture")
    check "wine$bits $name" "$loader build/win$bits/kaldorin.exe" "$picture" "$work/wine$bits-$name"
  done
  "$server" -w
done
echo "photo round trips: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
