#!/bin/sh
# The tool's batches on four threads, for ThreadSanitizer (the tsan preset
# builds the tool and its plug-ins instrumented): encode, pack, decode,
# extract to files and through memory with the pictures decoded, and test.
# Any race ThreadSanitizer sees fails the command that showed it.
#
# Usage: tool_jobs_race.sh KALDORIN PICTURE.bmp
set -eu
kaldorin=$1
picture=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}"
for i in 1 2 3 4 5 6 7 8; do cp "$picture" "$work/P$i.bmp"; done
mkdir "$work/pictures" "$work/decoded" "$work/files" "$work/memory"
"$kaldorin" encode -q -j 4 -d "$work/pictures" "$work"/P?.bmp
"$kaldorin" pack -q "$work/A.PAK" "$work"/pictures/P?.i24
"$kaldorin" decode -q -j 4 -d "$work/decoded" "$work"/pictures/P?.i24
"$kaldorin" extract -q -j 4 --decode -d "$work/files" "$work/A.PAK"
"$kaldorin" extract -q -j 4 --decode --via-memory -d "$work/memory" "$work/A.PAK"
"$kaldorin" test -q -j 4 "$work/A.PAK" "$work"/pictures/P?.i24
"$kaldorin" test -q -j 4 "$work/A.PAK"
[ "$(ls "$work/files" | wc -l)" -eq 16 ] && [ "$(ls "$work/memory" | wc -l)" -eq 16 ]
echo "8 pictures encoded, decoded, packed, extracted and tested on 4 threads: no race"
