#!/bin/sh
# Fetches real photographs that none of us made, from Debian packages, into
# DEST (default: build/sample-images): large wallpapers (12 megapixels and
# more) and a few smaller pictures, as PNG or BMP files the tools read.
# The packages are downloaded, not installed.
set -eu
cd "$(dirname "$0")/.."
dest=${1:-build/sample-images}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
[ -f "$dest/.complete" ] && exit 0

command -v djpeg >/dev/null 2>&1 || {
  echo "djpeg (libjpeg-turbo-progs) is needed to read the JPEG photographs" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt downloads as its own user
cd "$work"
apt-get download -q -o APT::Sandbox::User=root python3-skimage mate-backgrounds plasma-workspace-wallpapers ukui-wallpapers >/dev/null
for deb in *.deb; do dpkg-deb -x "$deb" x; done

jpeg() { djpeg -bmp "x/$1" >"$dest/$2.bmp"; }
png() { cp "x/$1" "$dest/$2.png"; }

# Large wallpapers: a photograph of a painting (17.9 megapixels), a
# rendered abstract (9.2) and a rendered landscape (14.7).
jpeg usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg elephants-5640x3172
jpeg usr/share/backgrounds/2004default.jpg ukui-3840x2400
png usr/share/wallpapers/Altai/contents/images/5120x2880.png altai-5120x2880
# Smaller photographs, odd widths among them.
jpeg usr/share/backgrounds/mate/nature/Wood.jpg wood-2560x1920
png usr/lib/python3/dist-packages/skimage/data/astronaut.png astronaut-512x512
png usr/lib/python3/dist-packages/skimage/data/chelsea.png chelsea-451x300
png usr/lib/python3/dist-packages/skimage/data/coffee.png coffee-600x400
png usr/lib/python3/dist-packages/skimage/data/motorcycle_left.png motorcycle
jpeg usr/lib/python3/dist-packages/skimage/data/hubble_deep_field.jpg hubble
touch "$dest/.complete"
ls -la "$dest"
