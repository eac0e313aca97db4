#!/bin/sh
# Builds the 32-bit Windows plug-ins and kaldorin.exe twice, in two fresh
# build folders at different paths, and compares the files byte for byte;
# also the two zips of those builds (x86/ and the texts), and that no file
# names the source or build folder. Prints one line, "reproducible build:
# 1 passed, 0 failed" and what differed; exits non-zero on a difference.
set -eu
cd "$(dirname "$0")/.."
work=build/reproducible
rm -rf "$work"
first=$PWD/$work/first
second=$PWD/$work/second-build-folder
log=$PWD/$work/build.log
mkdir -p "$work"
for dir in "$first" "$second"; do
  { cmake --preset win32 -B "$dir" &&
    cmake --build "$dir" -j2 --target glimmet chestrel kaldorin &&
    TZ=UTC cpack --config "$dir/CPackWindowsZip.cmake" -B "$dir/windows-zip" \
      -D CPACK_INSTALL_CMAKE_PROJECTS="$dir;kaldorin;windows;/x86;$dir;kaldorin;windows_docs;/"
  } >>"$log" 2>&1 || { echo "reproducible build: 0 passed, 1 failed (the build failed: see $work/build.log)"; exit 1; }
done
zip=$(cd "$first/windows-zip" && ls kaldorin-*-windows.zip)
differ=""
for file in glimmet.spi chestrel.spi kaldorin.exe "windows-zip/$zip"; do
  cmp -s "$first/$file" "$second/$file" || differ="$differ $file"
  if grep -q -a -e "$PWD" -e "$work" "$first/$file"; then differ="$differ $file(names-a-folder)"; fi
done
if [ -z "$differ" ]; then
  echo "reproducible build: 1 passed, 0 failed (glimmet.spi, chestrel.spi, kaldorin.exe, $zip: same bytes)"
else
  echo "reproducible build: 0 passed, 1 failed (differ:$differ)"
  exit 1
fi
