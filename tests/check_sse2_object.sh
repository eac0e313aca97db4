#!/bin/sh
# The decoder's SSE2 build on 32-bit x86 runs only where the processor has
# SSE2, so its object must define nothing but its entry point: an inline
# routine it emitted out of line could be linked in place of the copy built
# without SSE2, and run on a processor that lacks it.
# Usage: check_sse2_object.sh NM "OBJECT;OBJECT;..."
set -eu
nm=$1
object=
old_ifs=$IFS
IFS=';'
for o in $2; do
  case $o in *picture_decoder_sse2.cpp.o*) object=$o ;; esac
done
IFS=$old_ifs
if [ -z "$object" ]; then
  echo "no object of picture_decoder_sse2.cpp among: $2" >&2
  exit 1
fi
# Defined global symbols, less the position-independent code's own thunks
# (i386 Linux), which hold no SSE2 instruction.
symbols=$("$nm" -g --defined-only "$object" | awk '{print $3}' | grep -v 'get_pc_thunk' || true)
echo "$symbols"
count=$(printf '%s\n' "$symbols" | grep -c . || true)
if [ "$count" -ne 1 ] || ! printf '%s\n' "$symbols" | grep -q 'DecodePixelsSse2'; then
  echo "the SSE2 object must define DecodePixelsSse2 and nothing else" >&2
  exit 1
fi
