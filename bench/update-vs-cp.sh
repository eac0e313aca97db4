#!/bin/sh
# The cost of updating one small member of a large archive against cp of the
# same archive on the same disk, timed in one run: prints both times and the
# ratio of their speeds (cp's time / update's time; 1 = as fast as cp).
# usage: bench/update-vs-cp.sh [MEGABYTES [FOLDER]]  (default 1024, build/bench-scratch)
set -eu
cd "$(dirname "$0")/.."
mb=${1:-1024}
dir=${2:-build/bench-scratch}/update
cmake --preset release >/dev/null
cmake --build --preset release --target kaldorin >/dev/null
tool=$PWD/build/release/kaldorin
rm -rf "$dir"
mkdir -p "$dir/members"
trap 'rm -rf "$dir"' EXIT
# 64 members of MEGABYTES/64 each, and one small member to replace.
i=0
while [ $i -lt 64 ]; do
  head -c $((mb * 1048576 / 64)) /dev/urandom > "$dir/members/M$i.BIN"
  i=$((i + 1))
done
printf 'old title' > "$dir/members/TITLE.TXT"
"$tool" pack -q "$dir/BIG.PAK" "$dir"/members/M*.BIN "$dir/members/TITLE.TXT"
rm -f "$dir"/members/M*.BIN
printf 'new title, longer' > "$dir/TITLE.TXT"
sync

now() { date +%s.%N; }
t0=$(now)
cp "$dir/BIG.PAK" "$dir/COPY.PAK"
sync
t1=$(now)
"$tool" update -q "$dir/BIG.PAK" "$dir/TITLE.TXT"
sync
t2=$(now)
rm -f "$dir/COPY.PAK"
awk -v a="$t0" -v b="$t1" -v c="$t2" -v mb="$mb" 'BEGIN {
  cp = b - a; up = c - b
  printf "archive %d MiB: cp %.2f s, update %.2f s, update speed / cp speed %.2f\n", mb, cp, up, cp / up
}'
