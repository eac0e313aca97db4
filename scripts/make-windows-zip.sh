#!/bin/sh
# Builds the Windows release zip, dist/kaldorin-VERSION-windows.zip: the
# win32 and win64 presets' plug-ins and kaldorin.exe (x86/ and x64/), the
# README for Windows users and the licence. Member times are those of the
# last commit (or SOURCE_DATE_EPOCH), so one commit always gives the same zip.
# Prints the zip's path last.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target glimmet chestrel kaldorin >/dev/null
done
# cpack stages the files beside the zip (in build/); the zip goes to dist/.
# The zip stores local times: UTC gives every machine the same bytes.
rm -rf build/windows-zip
TZ=UTC cpack --config build/win32/CPackWindowsZip.cmake -B "$PWD/build/windows-zip" >build/windows-zip.log 2>&1 ||
  { cat build/windows-zip.log; echo "kaldorin: windows zip: cpack failed" >&2; exit 1; }
zip=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' build/windows-zip.log)
[ -f "$zip" ] || { cat build/windows-zip.log; echo "kaldorin: windows zip: no zip made" >&2; exit 1; }
mkdir -p dist
cp "$zip" dist/
echo "dist/$(basename "$zip")"
