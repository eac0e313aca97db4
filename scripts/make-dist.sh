#!/bin/sh
# Builds the release artefacts into dist/: the Windows zip (32-bit and
# 64-bit plug-ins and tool), the browser viewer's folder as a zip and the Debian package (the native tool, its
# plug-ins, man page and completion, the gdk-pixbuf loader, the MIME types
# and the thumbnailer). Both are reproducible: one commit gives the same
# bytes. Prints their paths.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
zip=$(scripts/make-windows-zip.sh | tail -n 1)
deb=$(scripts/make-deb.sh | tail -n 1)
# The browser viewer: the built page folder, zipped with fixed times.
scripts/build-web.sh build/web >/dev/null
web=dist/kaldorin-web.zip
/usr/bin/python3 -c '
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir("build/web")):
        info = zipfile.ZipInfo("kaldorin-web/" + name, (1980, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        z.writestr(info, open(os.path.join("build/web", name), "rb").read(), zipfile.ZIP_DEFLATED)
' "$web"
ls -l "$zip" "$deb" "$web" >&2
echo "$zip"
echo "$deb"
echo "$web"
