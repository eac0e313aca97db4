#!/bin/sh
# Builds the Debian package kaldorin_<version>_<arch>.deb into dist/: an
# optimised native build without tests and benchmarks in build/deb, installed
# below /usr and packed by CPack (cmake/KaldorinDebianPackage.cmake). The
# package's time stamps are the last commit's, so that two runs from the same
# commit give the same bytes. Prints the package's path.
set -eu
cd "$(dirname "$0")/.."
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH
# Debian's hardening flags (stack protector, fortified calls, read-only
# relocations bound at load), as Debian's own packages are built.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B build/deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  -DKALDORIN_BUILD_TESTS=OFF -DKALDORIN_BUILD_BENCH=OFF -DKALDORIN_BUILD_PIXBUF_LOADER=ON -DKALDORIN_BUILD_QT_PLUGINS=ON >/dev/null
cmake --build build/deb -j2 >/dev/null
mkdir -p dist
log=build/deb/cpack.log
if ! (cd build/deb && cpack -G DEB) >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log"
