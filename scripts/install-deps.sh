#!/bin/sh
# Installs what the builds and tests need on Debian 12, as root. Installs
# nothing when everything is already there.
set -eu

packages="cmake make g++ pkg-config libgtest-dev googletest libpng-dev libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin shared-mime-info libbenchmark-dev libqoi-dev libjpeg-turbo-progs
g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386 file clang libclang-rt-14-dev mandoc groff-base
dpkg-dev lintian strip-nondeterminism libcli11-dev
emscripten chromium chromium-driver python3-selenium qtbase5-dev qt6-base-dev"

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "These packages are missing:$missing" >&2
  echo "Run this script as root (or install them with apt-get) and try again." >&2
  exit 1
fi
echo "Installing:$missing"
# wine32 is an i386 package: the architecture must be known to dpkg.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync serves a package list of the wrong size:
# try again, then go on with the lists that did arrive.
tries=0
until apt-get update -q; do
  tries=$((tries + 1))
  if [ $tries -ge 3 ]; then echo "Some package lists could not be fetched; going on with the others." >&2; break; fi
  sleep 15
done
# 32-bit Wine is needed only where the machine runs 32-bit programs (the
# tests check that themselves); without its i386 lists (or the i386 side of a
# security update) it cannot be installed, and the rest must not fail with it.
others=""
wine32=""
for p in $missing; do
  case "$p" in wine32:i386) wine32=$p ;; *) others="$others $p" ;; esac
done
[ -z "$others" ] || apt-get install -y -q --no-install-recommends $others
if [ -n "$wine32" ] && ! apt-get install -y -q --no-install-recommends $wine32; then
  echo "32-bit Wine could not be installed: the 32-bit plug-ins will be built and checked, not run." >&2
fi
