#!/bin/sh
# Builds the fuzz preset and fuzzes each plug-in export target for a while.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# TARGET is one of glimmet_is_supported, glimmet_get_picture_info,
# glimmet_get_picture, chestrel_is_supported, chestrel_get_archive_info,
# chestrel_get_file_info, chestrel_get_file, glimmet_roundtrip (default: all);
# SECONDS_PER_TARGET defaults to 180. The targets run one at a time, at the
# lowest priority. Each keeps a scratch corpus in
# build/fuzz/fuzz-work/corpus/TARGET (grown across runs, starting from the
# committed corpus fuzz/corpus/TARGET and the saved regression inputs, which
# are only read); crash, leak and timeout inputs land in
# build/fuzz/fuzz-work/artifacts/. Exits non-zero when a target found one.
set -eu

cd "$(dirname "$0")/.."
seconds=${1:-180}
[ $# -gt 0 ] && shift
targets=${*:-glimmet_is_supported glimmet_get_picture_info glimmet_get_picture chestrel_is_supported \
chestrel_get_archive_info chestrel_get_file_info chestrel_get_file glimmet_roundtrip}
build=build/fuzz
work=$build/fuzz-work

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in $targets; do
  mkdir -p "$work/corpus/$target" "$work/artifacts"
  echo "== fuzzing $target for ${seconds}s"
  if ! nice -n 19 "$build/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=${FUZZ_MAX_LEN:-32768} \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
      "$work/corpus/$target" "fuzz/corpus/$target" "fuzz/regressions/$target" 2>"$work/$target.log"; then
    echo "$target: found a failure, see $work/$target.log and $work/artifacts/" >&2
    status=1
  fi
  grep -E '^stat::|DONE|INITED' "$work/$target.log" | sed "s/^/$target: /" || true
done
exit $status
