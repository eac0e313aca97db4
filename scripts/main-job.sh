#!/bin/sh
# The main job, end to end on the sample picture: encode it to I24B, pack it
# with other files into a PACK archive, list the archive, extract the picture
# through chestrel, decode it through glimmet and check that the pixels are
# the sample's. Natively first, then under Wine with the Windows builds (the
# 32-bit ones where the machine runs 32-bit programs).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

say() { printf '\n== %s\n' "$*"; }

say "Building the native tool and plug-ins (release) and the Windows builds"
for preset in release win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >"build/$preset-build.log" 2>&1 || { cat "build/$preset-build.log"; exit 1; }
done

# run_job TOOL WORK SAMPLE: the job with one build of the tool.
run_job() {
  tool=$1; work=$2; sample=$3; ext=$4
  rm -rf "$work" && mkdir -p "$work/out"
  say "Plug-ins found by the tool"
  $tool plugins
  say "Encoding $sample to I24B"
  $tool encode "$sample" -o "$work/SAMPLE.I24"
  cp README.md "$work/README.TXT"
  printf 'KALDORIN sample archive\n' >"$work/NOTES.TXT"
  say "Packing SAMPLE.I24, README.TXT and NOTES.TXT"
  $tool pack "$work/DEMO.PAK" "$work/SAMPLE.I24" "$work/README.TXT" "$work/NOTES.TXT"
  say "Listing the archive through chestrel"
  $tool list "$work/DEMO.PAK"
  say "Extracting SAMPLE.I24 through chestrel"
  $tool extract "$work/DEMO.PAK" SAMPLE.I24 -d "$work/out"
  say "Picture information and decoding through glimmet"
  $tool info "$work/out/SAMPLE.I24"
  $tool decode "$work/out/SAMPLE.I24" -o "$work/out/sample$ext"
  say "Comparing the decoded pixels with the sample"
  $tool compare "$sample" "$work/out/sample$ext"
}

run_job build/release/kaldorin build/main-job/native samples/sample.png .png

# Under Wine: the 32-bit deliverables (glimmet.spi, chestrel.spi, with the
# 32-bit tool) where this machine runs 32-bit programs, else the 64-bit twins.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if why=$(cmake/can-run-wine32.sh 2>&1); then
  say "This machine runs 32-bit programs: the same job under 32-bit Wine with the 32-bit deliverables"
  bits=32; loader=/usr/lib/wine/wine; server=/usr/lib/wine/wineserver32
else
  say "No 32-bit Wine ($why): the same job under 64-bit Wine with the 64-bit plug-ins (.sph)"
  bits=64; loader=/usr/lib/wine/wine64; server=/usr/lib/wine/wineserver64
fi
export WINEPREFIX="$PWD/build/win$bits/wineprefix"
run_job "$loader build/win$bits/kaldorin.exe" build/main-job/wine samples/sample.bmp .bmp
"$server" -w
say "Done: the pixels came back exactly, natively and under $bits-bit Wine"
