#!/bin/sh
# Shows the sample picture, encoded to I24B, in Eye of GNOME through the
# gdk-pixbuf loader, and saves a screenshot: installs the release build into
# a private prefix, makes a loaders cache and a MIME database there, and runs
# eog on a virtual X display. Writes docs/eog-i24b.png (or the file given).
set -eu
cd "$(dirname "$0")/.."
out=${1:-docs/eog-i24b.png}

script=viewer-screenshot
. scripts/screenshot-common.sh
need_packages eog xvfb imagemagick x11-utils

cmake --preset release >/dev/null
cmake --build --preset release --target kaldorin pixbuf_loader >/dev/null
cmake --install build/release --prefix "$work/prefix" >/dev/null
module=$(find "$work/prefix" -name 'libpixbufloader-kaldorin.so')
query=$(pkg-config --variable=gdk_pixbuf_query_loaders gdk-pixbuf-2.0)
"$query" "$module" > "$work/loaders.cache"
update-mime-database "$work/prefix/share/mime" 2>/dev/null  # it warns that the folder is not searched
build/release/kaldorin encode samples/sample.png -o "$work/sample.i24" -q

start_display 640x480
# A fresh home: no eog settings or window sizes of the user's.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY="$display" \
  GDK_PIXBUF_MODULE_FILE="$work/loaders.cache" XDG_DATA_DIRS="$work/prefix/share:/usr/share" \
  GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 eog --new-instance "$work/sample.i24" &
viewer=$!
take_screenshot
