#!/bin/sh
# Shows the sample picture, encoded to I24B, in qimgv (a Qt 5 image viewer
# from Debian) through the Qt image plug-in, and saves a screenshot: puts
# the release build's Qt 5 plug-in folder (build/release/qt5, holding
# imageformats/) on Qt's plug-in path and runs qimgv on a virtual X display.
# Writes docs/qt-viewer-i24b.png (or the file given).
set -eu
cd "$(dirname "$0")/.."
out=${1:-docs/qt-viewer-i24b.png}

need=""
for p in qimgv xvfb imagemagick x11-utils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "kaldorin: qt-viewer-screenshot: missing packages:$need" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
fi

work=$(mktemp -d)
xvfb=""
viewer=""
cleanup() {
  [ -n "$viewer" ] && kill "$viewer" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cmake --preset release >/dev/null
cmake --build --preset release --target kaldorin qt5_image_plugin >/dev/null
build/release/kaldorin encode samples/sample.png -o "$work/sample.i24" -q

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 1280x900x24 -nolisten tcp &
xvfb=$!
sleep 2
# A fresh home: no qimgv settings of the user's.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY="$display" QT_QPA_PLATFORM=xcb \
  QT_PLUGIN_PATH="$PWD/build/release/qt5" NO_AT_BRIDGE=1 qimgv "$work/sample.i24" &
viewer=$!
sleep 6
mkdir -p "$(dirname "$out")"
import -display "$display" -window root "$out"
echo "wrote $out"
