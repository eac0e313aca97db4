#!/bin/sh
# The browser viewer with an archive open, in headless Chromium:
# docs/web-viewer.png.
set -eu
cd "$(dirname "$0")/.."
scripts/web-tests.sh screenshot "$PWD/docs/web-viewer.png"
