#!/bin/sh
# Shows the sample picture, encoded to I24B, in qimgv (a Qt 5 image viewer
# from Debian) through the Qt image plug-in, and saves a screenshot: puts
# the release build's Qt 5 plug-in folder (build/release/qt5, holding
# imageformats/) on Qt's plug-in path and runs qimgv on a virtual X display.
# Writes docs/qt-viewer-i24b.png (or the file given).
set -eu
cd "$(dirname "$0")/.."
out=${1:-docs/qt-viewer-i24b.png}

script=qt-viewer-screenshot
. scripts/screenshot-common.sh
need_packages qimgv xvfb imagemagick x11-utils

cmake --preset release >/dev/null
cmake --build --preset release --target kaldorin qt5_image_plugin >/dev/null
build/release/kaldorin encode samples/sample.png -o "$work/sample.i24" -q

start_display 1280x900
# A fresh home: no qimgv settings of the user's.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY="$display" QT_QPA_PLATFORM=xcb \
  QT_PLUGIN_PATH="$PWD/build/release/qt5" NO_AT_BRIDGE=1 qimgv "$work/sample.i24" &
viewer=$!
take_screenshot
