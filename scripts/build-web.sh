#!/bin/sh
# Builds the browser viewer into a folder any static web server can serve
# (default build/web/): the I24B decoder and web/kaldorin_web.cpp compiled
# to WebAssembly with Debian's emscripten, the page, its workers and the
# committed copy of fflate (web/vendor/, the version web/package-lock.json
# pins). Works offline.
#
#   scripts/build-web.sh [OUTDIR]
set -eu
cd "$(dirname "$0")/.."
out=${1:-build/web}
mkdir -p "$out" build/web-obj
# Debian's emscripten keeps its cache under /usr/share, which a build may not
# write: a cache of its own in the build folder, seeded from the prebuilt one.
cache=$PWD/build/web-obj/em-cache
if [ ! -d "$cache" ]; then
  if [ -d /usr/share/emscripten/cache ]; then cp -r /usr/share/emscripten/cache "$cache"; else mkdir -p "$cache"; fi
fi
export EM_CACHE="$cache"
# Debian's JavaScript modules (acorn, for emscripten's optimiser), for a
# Node.js that does not look there itself.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

# The decoder's core, as the i24b_image target builds it (tables on the C
# heap, no platform). It uses WebAssembly SIMD, which browsers have had since
# 2021: a byte shuffle for the bit buffer's refill and, through emscripten's
# SSE2 intrinsics, the pixel add. The PACK reader as the pack_reader target
# builds it.
sources="image_i24b/bit_reader.cpp image_i24b/code_tables.cpp image_i24b/fast_tables.cpp
image_i24b/frequency_tables.cpp image_i24b/i24b_header.cpp image_i24b/picture_decoder.cpp image_i24b/row_window_decoder.cpp
archive_pack/pack_cursor.cpp archive_pack/pack_diagnosis.cpp archive_pack/pack_member_walk.cpp web/kaldorin_web.cpp"
flags="-std=c++17 -O3 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -I. -DKALDORIN_PLAIN_HEAP ${WEB_FLAGS:--msimd128 -msse2 -mbulk-memory}"
objects=""
for s in $sources; do
  o=build/web-obj/$(echo "$s" | tr / _).o
  if [ ! -f "$o" ] || [ -n "$(find "$s" image_i24b common archive_pack web scripts/build-web.sh -newer "$o" -name '*.[ch]*' -o -newer "$o" -name '*.sh' | head -n 1)" ]; then
    em++ $flags -c "$s" -o "$o"
  fi
  objects="$objects $o"
done
em++ -O3 -msimd128 $objects -o "$out/kaldorin_web.js" \
  -sMODULARIZE=1 -sEXPORT_NAME=KaldorinModule -sENVIRONMENT=worker \
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=2GB -sFILESYSTEM=0 \
  -sEXPORTED_RUNTIME_METHODS=HEAPU8,HEAPU32 \
  -sEXPORTED_FUNCTIONS=_web_alloc,_web_free,_web_kind,_web_picture_check,_web_decode,_web_pack_list

cp web/index.html web/bench.html web/viewer.css web/viewer.js web/worker.js web/bench.js "$out/"
cp web/vendor/fflate.min.js "$out/"
echo "$out"
