#!/bin/sh
# Checks the Windows release zip as a user gets it: its member list, the
# texts' CRLF line ends, and for x86/ (32-bit Wine) and x64/ (wine64) that
# the folder's kaldorin.exe, copied alone with its plug-ins into an empty
# folder, decodes an I24B picture to the same pixels as the native tool.
# The picture is samples/sample.png encoded by the native tool. The Windows
# tool writes PNG through the Windows Imaging Component. Where the machine
# cannot run 32-bit Wine, x86/ is skipped.
# Usage: check-windows-zip.sh [ZIP [NATIVE-KALDORIN]]
#   (default: dist/kaldorin-VERSION-windows.zip and build/release/kaldorin)
# Prints "windows zip: N passed, M failed" last; exits non-zero on a failure.
set -eu
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(kaldorin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=${1:-dist/kaldorin-$version-windows.zip}
native=${2:-build/release/kaldorin}
work=$PWD/build/windows-zip-check
rm -rf "$work" && mkdir -p "$work"
[ -f "$zip" ] || { echo "kaldorin: $zip: no such zip (run scripts/make-windows-zip.sh)"; echo "windows zip: 0 passed, 1 failed"; exit 1; }

passed=0
failed=0
result() {  # result LABEL OK? LOG
  if [ "$2" = ok ]; then
    passed=$((passed + 1)); echo "ok    $1"
  else
    failed=$((failed + 1)); echo "FAIL  $1"; [ ! -s "$3" ] || sed 's/^/      /' "$3"
  fi
}

# The members, and the texts for Notepad.
expected="LICENSE.txt README-Windows.txt x64/ x64/chestrel.sph x64/glimmet.sph x64/kaldorin.exe x86/ x86/chestrel.spi x86/glimmet.spi x86/kaldorin.exe"
members=$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
log=$work/members.log
: >"$log"
[ "$members" = "$expected" ] || echo "members: [$members], expected [$expected]" >>"$log"
unzip -q "$zip" -d "$work/unzipped"
for text in LICENSE.txt README-Windows.txt; do
  lines=$(wc -l <"$work/unzipped/$text")
  crlf=$(grep -c "$(printf '\r')\$" "$work/unzipped/$text" || true)
  [ "$lines" -eq "$crlf" ] || echo "$text: $((lines - crlf)) of $lines lines end without CR" >>"$log"
done
if [ -s "$log" ]; then result "zip members and texts" fail "$log"; else result "zip members and texts" ok "$log"; fi

# The picture, decoded natively as the reference.
"$native" encode samples/sample.png -o "$work/sample.i24" >/dev/null
"$native" --quiet decode "$work/sample.i24" -o "$work/native.png"

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
for arch in x86 x64; do
  if [ "$arch" = x86 ]; then
    if ! reason=$(cmake/can-run-wine32.sh 2>&1); then echo "skip  x86: $reason"; continue; fi
    loader=/usr/lib/wine/wine; server=/usr/lib/wine/wineserver32
  else
    loader=/usr/lib/wine/wine64; server=/usr/lib/wine/wineserver64
  fi
  run=$work/$arch
  mkdir -p "$run"
  cp "$work/unzipped/$arch/"* "$run/"
  cp "$work/sample.i24" "$run/"
  log=$work/$arch.log
  export WINEPREFIX="$work/wineprefix-$arch"
  if (cd "$run" && "$loader" kaldorin.exe --quiet decode sample.i24 -o decoded.png) >"$log" 2>&1 &&
     "$native" compare "$work/native.png" "$run/decoded.png" >>"$log" 2>&1; then
    result "$arch: kaldorin.exe from the zip decodes through its own plug-ins" ok "$log"
  else
    result "$arch: kaldorin.exe from the zip decodes through its own plug-ins" fail "$log"
  fi
  "$server" -w 2>/dev/null || true
done
echo "windows zip: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
