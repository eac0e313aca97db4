#!/bin/sh
# Builds both release artefacts into dist/: the Windows zip (32-bit and
# 64-bit plug-ins and tool) and the Debian package (the native tool, its
# plug-ins, man page and completion, the gdk-pixbuf loader, the MIME types
# and the thumbnailer). Both are reproducible: one commit gives the same
# bytes. Prints their paths.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
zip=$(scripts/make-windows-zip.sh | tail -n 1)
deb=$(scripts/make-deb.sh | tail -n 1)
ls -l "$zip" "$deb" >&2
echo "$zip"
echo "$deb"
