#!/bin/sh
# `kaldorin test` of an archive of photographs (on every processor, and with
# -j 1) against `kaldorin extract` of the same archive into a folder in
# memory, and against `extract --decode`,
# timed in one run: prints each time (wall and processor), the ratios and the
# load average.
#
# The archive holds 1024 x 768 crops of the sample photographs
# (scripts/fetch-sample-images.sh), each encoded with `kaldorin encode`, until
# the pictures take MEGABYTES. They are kept in FOLDER between runs.
# usage: bench/test-vs-extract.sh [MEGABYTES [FOLDER]]  (default 300, /dev/shm/kaldorin-test-bench)
set -eu
cd "$(dirname "$0")/.."
mb=${1:-300}
dir=${2:-/dev/shm/kaldorin-test-bench}
cmake --preset release >/dev/null
cmake --build --preset release --target kaldorin >/dev/null
tool=$PWD/build/release/kaldorin
scripts/fetch-sample-images.sh >/dev/null
samples=$PWD/build/sample-images
mkdir -p "$dir/crops"
trap 'rm -rf "$dir/out" "$dir/decoded"' EXIT

# The crops: 1024 x 768 windows moved over each photograph in steps of 120
# pixels, so that no two pictures are alike. Written as BMP by a few lines
# of Python (24-bit bottom-up rows in, the same out), encoded one at a time.
crop() {
  python3 - "$@" <<'EOF'
import os, struct, sys
src, out, first, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
w, h, step = 1024, 768, 120
d = open(src, 'rb').read()
start = struct.unpack_from('<I', d, 10)[0]
W, H = struct.unpack_from('<ii', d, 18)
assert struct.unpack_from('<H', d, 28)[0] == 24 and H > 0
stride = (W * 3 + 3) & ~3
across = (W - w) // step + 1
spots = [(x * step, y * step) for y in range((H - h) // step + 1) for x in range(across)]
for n in range(first, min(first + count, len(spots))):
    x, y = spots[n]
    if os.path.exists('%s-%04d.I24' % (out, n)):
        continue
    at = [start + (H - 1 - (y + h - 1 - r)) * stride + x * 3 for r in range(h)]
    rows = [d[a:a + w * 3] for a in at]
    img = b''.join(rows)
    head = struct.pack('<2sIHHIIiiHHIIiiII', b'BM', 54 + len(img), 0, 0, 54, 40, w, h, 1, 24, 0, len(img),
                       2835, 2835, 0, 0)
    open('%s-%04d.bmp' % (out, n), 'wb').write(head + img)
EOF
}

total() { du -cb "$dir"/crops/*.I24 2>/dev/null | tail -1 | cut -f1; }
if [ "$(total)" -lt $((mb * 1048576)) ]; then
  for photo in elephants-5640x3172 wood-2560x1920 hubble; do
    n=0
    while [ "$(total)" -lt $((mb * 1048576)) ]; do
      crop "$samples/$photo.bmp" "$dir/crops/$photo" $n 20
      [ -f "$(printf '%s-%04d.I24' "$dir/crops/$photo" $n)" ] || [ -f "$(printf '%s-%04d.bmp' "$dir/crops/$photo" $n)" ] || break
      for bmp in "$dir"/crops/"$photo"-*.bmp; do
        [ -f "$bmp" ] || continue
        "$tool" encode -q -f "$bmp" -o "${bmp%.bmp}.I24"
        rm -f "$bmp"
      done
      n=$((n + 20))
    done
  done
fi
# Eight-character names, as archives of this kind hold.
rm -f "$dir/PICTURES.PAK"
mkdir -p "$dir/named"
rm -f "$dir"/named/*
i=0
size=0
for f in "$dir"/crops/*.I24; do
  [ "$size" -lt $((mb * 1048576)) ] || break
  ln -s "$f" "$dir/named/$(printf 'P%07d.I24' $i)"
  size=$((size + $(wc -c <"$f")))
  i=$((i + 1))
done
"$tool" pack -q "$dir/PICTURES.PAK" "$dir"/named/*.I24
bytes=$(wc -c <"$dir/PICTURES.PAK")
echo "archive: $i pictures of 1024 x 768 ($((i * 786432 / 1000000)) megapixels), $((bytes / 1048576)) MiB, in $dir"

# Each command three times; the fastest wall time counts, with its processor
# time (user + kernel).
timed() {
  label=$1
  shift
  best=
  for _ in 1 2 3; do
    rm -rf "$dir/out" "$dir/decoded"
    mkdir -p "$dir/out" "$dir/decoded"
    line=$(/usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1)
    best=$(printf '%s\n%s\n' "$best" "$line" | awk 'NF == 3' | sort -n | head -1)
  done
  echo "$label $best"
}
results=$(
  timed test "$tool" test -q "$dir/PICTURES.PAK"
  timed test1 "$tool" test -q -j 1 "$dir/PICTURES.PAK"
  timed extract "$tool" extract -q -d "$dir/out" "$dir/PICTURES.PAK"
  timed decode "$tool" extract -q --decode --format bmp -d "$dir/decoded" "$dir/PICTURES.PAK"
)
echo "$results" | awk -v pictures="$i" -v mib="$((bytes / 1048576))" '
  { wall[$1] = $2; cpu[$1] = $3 + $4; printf "%-28s %6.2f s wall, %6.2f s processor (%.2f user + %.2f kernel)\n",
      ($1 == "test" ? "kaldorin test" : $1 == "test1" ? "kaldorin test -j 1" : $1 == "extract" ? "kaldorin extract -d (memory)" : "kaldorin extract --decode"),
      $2, $3 + $4, $3, $4 }
  END {
    mp = pictures * 786432 / 1e6
    printf "test: %.0f MiB/s, %.0f megapixels/s (wall)\n", mib / wall["test"], mp / wall["test"]
    printf "test time / extract time: %.2f wall, %.2f processor (1 = as fast as extract)\n",
      wall["test"] / wall["extract"], cpu["test"] / cpu["extract"]
    printf "test time / extract --decode time: %.2f wall\n", wall["test"] / wall["decode"]
    printf "test -j 1 time / test time: %.2f wall (the members tested side by side)\n", wall["test1"] / wall["test"]
  }'
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
