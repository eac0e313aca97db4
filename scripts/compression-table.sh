#!/bin/sh
# Prints the README's compression table: bits per pixel of our I24B encoder
# against PNG and raw 24-bit on the sample photographs.
set -eu
cd "$(dirname "$0")/.."
scripts/release-build.sh compression_table
build/release/compression_table build/sample-images build/sample-images/i24b
