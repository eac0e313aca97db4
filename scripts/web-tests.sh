#!/bin/sh
# The browser viewer's tests: builds the page (scripts/build-web.sh), makes
# its inputs and reference pictures with the release build's kaldorin, and
# drives headless Chromium against the page served from 127.0.0.1
# (tests/web_viewer.py). Prints "web: N passed, M failed" last.
#
#   scripts/web-tests.sh [test|screenshot OUT.png|bench ...]
set -eu
cd "$(dirname "$0")/.."
mode=${1:-test}
[ $# -gt 0 ] && shift
if [ ! -x build/release/kaldorin ] || [ ! -f build/release/glimmet.spi ] || [ ! -f build/release/chestrel.spi ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target kaldorin glimmet chestrel decode_timer >/dev/null
fi
site=build/web
scripts/build-web.sh "$site" >/dev/null
in=build/web-test
k=build/release/kaldorin
/usr/bin/python3 tests/web_inputs.py "$in" "$k"
/usr/bin/python3 tests/web_viewer.py "$mode" "$site" "$in" "$@"
