#!/bin/sh
# For the scripts that measure with the optimised build: installs what is
# missing, fetches the sample pictures into build/sample-images and builds
# the release preset's target $1.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/fetch-sample-images.sh build/sample-images >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release --target "$1" >/dev/null
