#!/bin/sh
# Batches on one processor and on all of them, timed in one run: 500
# game-sized pictures (640 x 480 crops of the sample photographs) encoded,
# decoded, extracted from an archive and extracted with --decode, each with
# -j 1 and with -j N (N: the processors this process may use). Prints each
# time (the fastest of three), the speed-up and the load average; on an idle
# machine the speed-up should be at least 0.8 x N.
#
# usage: bench/jobs-speedup.sh [PICTURES [FOLDER]]  (default 500, /dev/shm/kaldorin-jobs-bench)
set -eu
cd "$(dirname "$0")/.."
count=${1:-500}
dir=${2:-/dev/shm/kaldorin-jobs-bench}
cmake --preset release >/dev/null
cmake --build --preset release --target kaldorin >/dev/null
tool=$PWD/build/release/kaldorin
scripts/fetch-sample-images.sh >/dev/null
samples=$PWD/build/sample-images
n=$(nproc)
mkdir -p "$dir/bmp"
trap 'rm -rf "$dir/out"' EXIT

# The crops: 640 x 480 windows moved over the photographs in steps of 120
# pixels, written as BMP by a few lines of Python.
if [ "$(ls "$dir/bmp" | wc -l)" -lt "$count" ]; then
  python3 - "$samples/elephants-5640x3172.bmp" "$samples/wood-2560x1920.bmp" "$dir/bmp" "$count" <<'PY'
import struct, sys
*sources, out, count = sys.argv[1:]
w, h, step, made = 640, 480, 120, 0
for src in sources:
    d = open(src, 'rb').read()
    start = struct.unpack_from('<I', d, 10)[0]
    W, H = struct.unpack_from('<ii', d, 18)
    stride = (W * 3 + 3) & ~3
    for y in range(0, H - h + 1, step):
        for x in range(0, W - w + 1, step):
            if made == int(count):
                sys.exit(0)
            rows = [d[start + (H - h - y + r) * stride + x * 3:][:w * 3] for r in range(h)]
            img = b''.join(rows)
            head = struct.pack('<2sIHHIIiiHHIIiiII', b'BM', 54 + len(img), 0, 0, 54, 40, w, h, 1, 24, 0,
                               len(img), 2835, 2835, 0, 0)
            open('%s/P%07d.bmp' % (out, made), 'wb').write(head + img)
            made += 1
PY
fi
set -- "$dir"/bmp/*.bmp
[ "$#" -ge "$count" ] || { echo "only $# crops could be made" >&2; exit 1; }
rm -rf "$dir/i24" && mkdir "$dir/i24"
"$tool" encode -q -d "$dir/i24" "$dir"/bmp/*.bmp
rm -f "$dir/GAME.DAT"
"$tool" pack -q "$dir/GAME.DAT" "$dir"/i24/*.i24

# The fastest of three wall times.
timed() {
  best=
  for _ in 1 2 3; do
    rm -rf "$dir/out" && mkdir "$dir/out"
    t=$(/usr/bin/time -f '%e' "$@" 2>&1 >/dev/null | tail -1)
    best=$(printf '%s\n%s\n' "$best" "$t" | awk 'NF' | sort -n | head -1)
  done
  echo "$best"
}
echo "$count pictures of 640 x 480, $n processors"
for what in encode decode extract "extract --decode"; do
  for j in 1 "$n"; do
    case $what in
      encode) t=$(timed "$tool" encode -q -j "$j" -d "$dir/out" "$dir"/bmp/*.bmp) ;;
      decode) t=$(timed "$tool" decode -q -j "$j" -d "$dir/out" "$dir"/i24/*.i24) ;;
      extract) t=$(timed "$tool" extract -q -j "$j" -d "$dir/out" "$dir/GAME.DAT") ;;
      *) t=$(timed "$tool" extract -q --decode -j "$j" -d "$dir/out" "$dir/GAME.DAT") ;;
    esac
    if [ "$j" = 1 ]; then one=$t; else all=$t; fi
  done
  awk -v w="$what" -v one="$one" -v all="$all" -v n="$n" 'BEGIN {
    printf "%-18s -j 1 %6.2f s, -j %d %6.2f s: speed-up %.2f (%.2f of %d)\n", w, one, n, all, one / all, one / all / n, n }'
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
