#!/bin/sh
# Builds the fuzz preset and fuzzes each plug-in export target for a while.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# TARGET is glimmet, chestrel or glimmet_roundtrip (default: all three);
# SECONDS_PER_TARGET defaults to 180. Each target keeps its corpus in build/fuzz/fuzz-work/corpus/TARGET
# (grown across runs, starting from the generated seeds and the saved
# regression inputs); crash, leak and timeout inputs land in
# build/fuzz/fuzz-work/artifacts/. Exits non-zero when a target found one.
set -eu

cd "$(dirname "$0")/.."
seconds=${1:-180}
[ $# -gt 0 ] && shift
targets=${*:-glimmet chestrel glimmet_roundtrip}
build=build/fuzz
work=$build/fuzz-work

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
"$build/make_seeds" "$work/seeds"

status=0
for target in $targets; do
  mkdir -p "$work/corpus/$target" "$work/artifacts"
  echo "== fuzzing $target for ${seconds}s"
  if ! "$build/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=${FUZZ_MAX_LEN:-32768} -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/$target-" \
      "$work/corpus/$target" "$work/seeds/$target" "fuzz/regressions/$target" 2>"$work/$target.log"; then
    echo "$target: found a failure, see $work/$target.log and $work/artifacts/" >&2
    status=1
  fi
  grep -E '^stat::|DONE' "$work/$target.log" | sed "s/^/$target: /" || true
done
exit $status
