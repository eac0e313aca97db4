#!/bin/sh
# Builds every preset and runs every test: natively with AddressSanitizer
# and UndefinedBehaviorSanitizer, with ThreadSanitizer (the plug-ins called
# from many threads) and optimised, the 64-bit Windows build under
# wine64, and the 32-bit Windows DLLs (the deliverables), whose test programs
# run under Wine where the machine can run 32-bit programs; then the fuzz
# preset, whose tests run each libFuzzer target for 30 seconds over its
# committed corpus (crash inputs land in build/fuzz/fuzz-work/artifacts/).
# Then round trips of real photographs through the tool, the reproducible
# build, the Windows release zip, the browser viewer and the Debian package.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

status=0
summary=""
passed=0
failed=0
for preset in native tsan release win32 win64 fuzz; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  if ctest --preset "$preset" >"build/$preset-ctest.log" 2>&1; then
    result=passed
  else
    result=FAILED
    status=1
  fi
  cat "build/$preset-ctest.log"
  line=$(grep -E 'tests passed|tests failed' "build/$preset-ctest.log" | tail -n 1)
  summary="$summary
$preset: $line"
  total=$(echo "$line" | sed -n 's/.*out of \([0-9]*\).*/\1/p')
  bad=$(echo "$line" | sed -n 's/.* \([0-9]*\) tests failed.*/\1/p')
  passed=$((passed + ${total:-0} - ${bad:-0}))
  failed=$((failed + ${bad:-0}))
done
# Steps whose scripts print "NAME: N passed, M failed" last: their counts
# join the summary.
counted_step() {  # counted_step TITLE LOG COMMAND...
  title=$1; log=$2; shift 2
  echo "== $title"
  if "$@" >"$log" 2>&1; then :; else status=1; fi
  cat "$log"
  line=$(tail -n 1 "$log")
  summary="$summary
$line"
  ok=$(echo "$line" | sed -n 's/.*: \([0-9]*\) passed.*/\1/p')
  bad=$(echo "$line" | sed -n 's/.* \([0-9]*\) failed.*/\1/p')
  [ -n "$ok" ] || bad=1  # the script did not get as far as its count
  passed=$((passed + ${ok:-0}))
  failed=$((failed + ${bad:-0}))
}
# Real photographs through the tool, natively and under wine64.
counted_step "photographs: encode, decode through glimmet, compare" build/photo-round-trips.log \
  scripts/photo-round-trips.sh
# The Windows DLLs, kaldorin.exe and their zip, built twice: the same bytes.
counted_step "reproducible: the win32 build twice, compared" build/check-reproducible.log \
  scripts/check-reproducible.sh
# The release zip as a user gets it: the tool of x86/ and x64/ under Wine.
counted_step "windows zip: made, unpacked, run under Wine" build/check-windows-zip.log \
  sh -c 'scripts/make-windows-zip.sh && scripts/check-windows-zip.sh'
# The browser viewer built to WebAssembly, driven in headless Chromium.
counted_step "web: the browser viewer in headless Chromium" build/web-tests.log \
  scripts/web-tests.sh

# The Debian package: built, checked by lintian (no errors; warnings are
# printed), then installed, used and purged (skipped when not root or when a
# kaldorin package is installed).
echo "== Debian package: build, lintian, install and remove"
skipped=0
rm -f build/lintian.log build/check-deb.log
deb=""
if deb=$(scripts/make-deb.sh) && lintian --fail-on error "$deb" >build/lintian.log 2>&1; then
  line="lintian: 1 passed, 0 failed"
  passed=$((passed + 1))
else
  line="lintian: 0 passed, 1 failed"
  failed=$((failed + 1))
  status=1
fi
cat build/lintian.log 2>/dev/null
summary="$summary
$line"
if [ -n "$deb" ] && scripts/check-deb.sh "$deb" >build/check-deb.log 2>&1; then :; else status=1; fi
cat build/check-deb.log
line=$(tail -n 1 build/check-deb.log)
summary="$summary
$line"
ok=$(echo "$line" | sed -n 's/.*: \([0-9]*\) passed.*/\1/p')
bad=$(echo "$line" | sed -n 's/.* \([0-9]*\) failed.*/\1/p')
skip=$(echo "$line" | sed -n 's/.* \([0-9]*\) skipped.*/\1/p')
[ -n "$ok" ] || bad=1  # the script did not get as far as its count
passed=$((passed + ${ok:-0}))
failed=$((failed + ${bad:-0}))
skipped=$((skipped + ${skip:-0}))

# No Wine process may outlive the run.
servers=/usr/lib/wine/wineserver64
if cmake/can-run-wine32.sh 2>/dev/null; then servers="$servers /usr/lib/wine/wineserver32"; fi
for prefix in build/win32/wineprefix build/win64/wineprefix; do
  [ -d "$prefix" ] || continue
  for server in $servers; do
    WINEPREFIX="$PWD/$prefix" "$server" -w 2>/dev/null || true
  done
done
echo "== summary$summary"
if [ "$skipped" -eq 0 ]; then
  echo "ctest: $passed passed, $failed failed"
else
  echo "ctest: $passed passed, $failed failed, $skipped skipped"
fi
exit $status
