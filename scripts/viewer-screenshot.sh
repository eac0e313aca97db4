#!/bin/sh
# Shows the sample picture, encoded to I24B, in Eye of GNOME through the
# gdk-pixbuf loader, and saves a screenshot: installs the release build into
# a private prefix, makes a loaders cache and a MIME database there, and runs
# eog on a virtual X display. Writes docs/eog-i24b.png (or the file given).
set -eu
cd "$(dirname "$0")/.."
out=${1:-docs/eog-i24b.png}

need=""
for p in eog xvfb imagemagick x11-utils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "kaldorin: viewer-screenshot: missing packages:$need" >&2; exit 1; }
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
cmake --build --preset release --target kaldorin pixbuf_loader >/dev/null
cmake --install build/release --prefix "$work/prefix" >/dev/null
module=$(find "$work/prefix" -name 'libpixbufloader-kaldorin.so')
query=$(pkg-config --variable=gdk_pixbuf_query_loaders gdk-pixbuf-2.0)
"$query" "$module" > "$work/loaders.cache"
update-mime-database "$work/prefix/share/mime" 2>/dev/null  # it warns that the folder is not searched
build/release/kaldorin encode samples/sample.png -o "$work/sample.i24" -q

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 640x480x24 -nolisten tcp &
xvfb=$!
sleep 2
# A fresh home: no eog settings or window sizes of the user's.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" DISPLAY="$display" \
  GDK_PIXBUF_MODULE_FILE="$work/loaders.cache" XDG_DATA_DIRS="$work/prefix/share:/usr/share" \
  GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 eog --new-instance "$work/sample.i24" &
viewer=$!
sleep 6
mkdir -p "$(dirname "$out")"
import -display "$display" -window root "$out"
echo "wrote $out"
