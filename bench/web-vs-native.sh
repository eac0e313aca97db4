#!/bin/sh
# The browser viewer's decode speed against the native decoder, in one run
# on the same machine: a 640x480 and a 12-megapixel picture decoded 31 times
# by the release build's decode_timer (glimmet's GetPicture) and in 9 runs
# by the page's worker in headless Chromium (web/bench.html); then a 300-member
# archive opened in the page: time to list it, to its first screen of 20
# thumbnails and to all of them. The fastest decodes are set side by side
# too: on a loaded machine a median of short decodes counts the waits for a
# processor. The browser's time includes turning the decoded rows into the
# canvas's RGBA pixels, which the native host does not need.
set -eu
cd "$(dirname "$0")/.."
scripts/web-tests.sh bench build/web-test/photo640.i24 build/web-test/photo12mp.i24 >build/web-bench.json
for f in photo640 photo12mp; do
  build/release/decode_timer build/web-test/$f.i24 31 build/release |
    sed -n 's/.*median [0-9.]* ms, \([0-9.]*\) MP\/s (fastest \([0-9.]*\) MP\/s).*/\1 \2/p' >build/web-bench-$f.native
done
/usr/bin/python3 - <<'PY'
import json
b = json.load(open('build/web-bench.json'))
for r in b['decode']:
    name = r['name'].rsplit('.', 1)[0]
    # Speeds, not the milliseconds printed to a tenth: a 640x480 decode takes well under one.
    median, fastest = map(float, open(f'build/web-bench-{name}.native').read().split())
    native, native_fastest = r['megapixels'] / median, r['megapixels'] / fastest
    print(f"{r['name']}: {r['megapixels']:.1f} MP, browser {r['median'] * 1e3:.2f} ms, native {native * 1e3:.2f} ms, "
          f"browser speed {native / r['median']:.2f}x native; fastest of each {r['fastest'] * 1e3:.2f} ms and "
          f"{native_fastest * 1e3:.2f} ms, {native_fastest / r['fastest']:.2f}x")
a = b['archive300']
print(f"archive of 300 members: listed in {a['list'] * 1e3:.0f} ms, first 20 thumbnails at {a['firstScreen'] * 1e3:.0f} ms, "
      f"all 300 at {a['all'] * 1e3:.0f} ms")
PY
