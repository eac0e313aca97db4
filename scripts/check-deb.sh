#!/bin/sh
# Installs the Debian package for real, uses it and removes it again:
# dpkg -i; the tool finds its installed plug-ins and decodes; gdk-pixbuf's
# loaders cache and the MIME database take our loader and types (through
# gdk-pixbuf's and shared-mime-info's file triggers); the thumbnailer makes a
# thumbnail of an I24B picture; dpkg --purge; the caches, the MIME database
# and the file system are as they were. Runs as root only, and only where no
# kaldorin package is installed (else it skips, and says so).
# usage: check-deb.sh [PACKAGE.deb]   (default: built by scripts/make-deb.sh)
set -u
cd "$(dirname "$0")/.."

passed=0
failed=0
finish() {
  echo "debian package: $passed passed, $failed failed${1:-}"
  [ "$failed" -eq 0 ]
  exit
}
skip() {
  echo "check-deb: skipped: $1"
  finish ", 1 skipped"
}
# check NAME COMMAND...: one counted step.
check() {
  name=$1
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    [ -z "$out" ] || printf '%s\n' "$out" | sed 's/^/    /'
  fi
}

# dpkg, waiting up to five minutes while another dpkg or apt-get holds its lock.
dpkg_waiting() {
  tries=0
  while :; do
    if dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
    grep -q 'lock' "$work/dpkg.log" && [ "$tries" -lt 150 ] || { cat "$work/dpkg.log"; return 1; }
    tries=$((tries + 1))
    sleep 2
  done
}

[ "$(id -u)" -eq 0 ] || skip "dpkg -i needs root"
case "$(dpkg-query -W -f='${Status}' kaldorin 2>/dev/null)" in
  *installed*|*unpacked*|*config-files*) skip "a kaldorin package is already on this machine (dpkg -l kaldorin)" ;;
esac
if [ $# -ge 1 ]; then
  deb=$1
else
  deb=$(scripts/make-deb.sh) || { failed=1; finish; }
fi
[ -f "$deb" ] || { echo "check-deb: $deb: no such package"; failed=1; finish; }

work=$(mktemp -d)
installed=no
cleanup() {
  [ "$installed" = no ] || dpkg_waiting --purge kaldorin >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
cache=/usr/lib/$multiarch/gdk-pixbuf-2.0/2.10.0/loaders.cache
# The state that installing and removing must give back.
snapshot() {
  cat "$cache" >"$work/$1.loaders" 2>/dev/null
  (cd /usr/share/mime && find . -type f -exec sha256sum {} + | sort -k 2) >"$work/$1.mime"
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' | while read -r path; do
    [ -e "$path" ] && echo "$path"
  done >"$work/$1.paths"
}
snapshot before
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort >"$work/files"

# Our files, and no file of ours on the machine before.
there=$(while read -r f; do [ -e "$f" ] && echo "$f"; done <"$work/files")
check "none of the package's files is there before" test -z "$there"
check "dpkg -i" dpkg_waiting -i "$deb"
installed=yes
check "dpkg -L lists the package's files" sh -c "dpkg -L kaldorin | sort | grep -Fxf '$work/files' | cmp -s - '$work/files'"
check "loaders.cache changed and names our module" sh -c \
  "! cmp -s '$work/before.loaders' '$cache' && grep -q 'libpixbufloader-kaldorin.so' '$cache' &&
   grep -q 'image/x-kaldorin-i24b' '$cache'"
check "MIME database holds our types" sh -c \
  "test -f /usr/share/mime/image/x-kaldorin-i24b.xml && test -f /usr/share/mime/application/x-kaldorin-pack.xml &&
   grep -aq 'x-kaldorin-i24b' /usr/share/mime/mime.cache && grep -q '^image/x-kaldorin-i24b:\\*\\.i24\$' /usr/share/mime/globs"
check "kaldorin plugins: both from /usr/lib/$multiarch/kaldorin" sh -c \
  "kaldorin plugins | grep -q '^glimmet.spi  API 00IN' && kaldorin plugins | grep -q '^chestrel.spi  API 00AM' &&
   ! kaldorin info '$work/files' 2>'$work/info.err' &&
   grep -q 'plug-ins loaded from /usr/lib/$multiarch/kaldorin)' '$work/info.err'"
check "kaldorin encode, decode, compare" sh -c \
  "kaldorin encode samples/sample.png -o '$work/PIC.I24' && kaldorin decode '$work/PIC.I24' -o '$work/back.png' &&
   kaldorin compare samples/sample.png '$work/back.png'"
check "kaldorin pack, extract --decode through chestrel and glimmet" sh -c \
  "kaldorin pack '$work/T.PAK' '$work/PIC.I24' && kaldorin extract '$work/T.PAK' --decode --format bmp -d '$work/x' &&
   kaldorin compare samples/sample.png '$work/x/PIC.bmp'"
check "gdk-pixbuf-thumbnailer makes a 64-pixel thumbnail through our loader" sh -c \
  "gdk-pixbuf-thumbnailer -s 64 '$work/PIC.I24' '$work/thumb.png' &&
   test \"\$(od -An -tx1 -j16 -N8 '$work/thumb.png' | tr -d ' \\n')\" = 000000400000002c"
if command -v gio >/dev/null; then
  cp "$work/PIC.I24" "$work/no-extension"
  check "gio: content type by name and by content" sh -c \
    "gio info -a standard::content-type '$work/PIC.I24' | grep -q 'image/x-kaldorin-i24b' &&
     gio info -a standard::content-type '$work/no-extension' | grep -q 'image/x-kaldorin-i24b' &&
     gio info -a standard::content-type '$work/T.PAK' | grep -q 'application/x-kaldorin-pack'"
fi
check "Qt 5 and Qt 6 image plug-ins in their Qt's imageformats folders" sh -c \
  "test -f /usr/lib/$multiarch/qt5/plugins/imageformats/libkaldorin-i24b.so &&
   test -f /usr/lib/$multiarch/qt6/plugins/imageformats/libkaldorin-i24b.so"
check "man page and completion" sh -c \
  "zcat /usr/share/man/man1/kaldorin.1.gz | grep -q '^\\.TH KALDORIN' && test -f /usr/share/bash-completion/completions/kaldorin"

check "dpkg --purge" dpkg_waiting --purge kaldorin
installed=no
snapshot after
check "loaders.cache as before" cmp "$work/before.loaders" "$work/after.loaders"
check "MIME database as before" diff "$work/before.mime" "$work/after.mime"
check "the package's files and folders gone, the others kept" diff "$work/before.paths" "$work/after.paths"
check "dpkg knows no kaldorin" sh -c "! dpkg-query -W kaldorin 2>/dev/null"
finish
