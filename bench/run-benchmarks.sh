#!/bin/sh
# Builds the benchmark (release preset), fetches the sample pictures and
# prints the speed tables: glimmet against libpng, QOI and memcpy, and
# chestrel against copying, reading and zero-filling the same bytes, as
# medians of five runs. Extra arguments go to Google Benchmark.
set -eu
cd "$(dirname "$0")/.."
scripts/release-build.sh kaldorin_bench
build/release/kaldorin_bench --pictures build/sample-images --scratch build/bench-scratch \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
