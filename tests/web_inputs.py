#!/usr/bin/python3
"""Makes the browser tests' inputs in OUT with kaldorin (the release build):
pictures with their reference NAME.bmp, an archive with its listing and
extracted members, and damaged files.

  web_inputs.py OUT KALDORIN
"""
import os
import re
import shutil
import struct
import subprocess
import sys

out, kaldorin = sys.argv[1:3]


def run(*args, stderr=False):
    result = subprocess.run([kaldorin, '-q', '-f', *args], check=not stderr, capture_output=True, text=True)
    return result.stderr


def path(name):
    return os.path.join(out, name)


def picture(name, source):
    if not os.path.exists(path(name)):
        run('encode', source, '-o', path(name))
    return run('decode', '--allow-truncated', path(name), '-o', path(name + '.bmp'), stderr=True)


def tiled_bmp(target, width, height):
    """A photograph-like picture: the sample tiled, each tile row shifted."""
    data = open('samples/sample.bmp', 'rb').read()
    offset, = struct.unpack_from('<I', data, 10)
    w, h = struct.unpack_from('<ii', data, 18)
    stride = (w * 3 + 3) & ~3
    rows = [data[offset + y * stride: offset + y * stride + w * 3] for y in range(abs(h))]
    out_stride = (width * 3 + 3) & ~3
    with open(target, 'wb') as f:
        f.write(b'BM' + struct.pack('<IHHI', 54 + out_stride * height, 0, 0, 54))
        f.write(struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, out_stride * height, 2835, 2835, 0, 0))
        for y in range(height):
            row = rows[y % len(rows)]
            shift = (y // len(rows)) * 37 % w * 3
            line = (row[shift:] + row[:shift]) * (width // w + 1)
            f.write(line[:width * 3] + bytes(out_stride - width * 3))


os.makedirs(path('members'), exist_ok=True)
picture('sample.i24', 'samples/sample.png')
sample = open(path('sample.i24'), 'rb').read()
with open(path('cutoff.i24'), 'wb') as f:
    f.write(sample[:len(sample) * 3 // 5])
message = picture('cutoff.i24', None)
with open(path('cutoff.message'), 'w') as f:
    f.write(re.search(r'ends early: rows \d+ to \d+ of \d+ are guessed', message).group(0))
if not os.path.exists(path('photo12mp.i24')):
    tiled_bmp(path('photo12mp.bmp'), 4000, 3000)
    picture('photo12mp.i24', path('photo12mp.bmp'))
    os.remove(path('photo12mp.bmp'))
if not os.path.exists(path('photo640.i24')):
    tiled_bmp(path('photo640.bmp'), 640, 480)
    picture('photo640.i24', path('photo640.bmp'))
    os.remove(path('photo640.bmp'))

# The archive: pictures, a cut-off picture, text and an empty member.
work = path('pack-work')
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
shutil.copy(path('sample.i24'), os.path.join(work, 'A.I24'))
shutil.copy(path('cutoff.i24'), os.path.join(work, 'cut.I24'))
shutil.copy(path('photo640.i24'), os.path.join(work, 'b.i24'))
open(os.path.join(work, 'notes.TXT'), 'w').write('not a picture\n')
open(os.path.join(work, 'empty.DAT'), 'w').close()
members = ['A.I24', 'notes.TXT', 'cut.I24', 'empty.DAT', 'b.i24']
run('pack', path('archive.pak'), *[os.path.join(work, m) for m in members])
shutil.rmtree(work)
with open(path('archive.json'), 'w') as f:
    f.write(subprocess.run([kaldorin, 'list', '--json', path('archive.pak')], check=True, capture_output=True,
                           text=True).stdout)
run('extract', path('archive.pak'), '-d', path('members'))
for m in members:
    if m.upper().endswith('.I24'):
        run('decode', '--allow-truncated', path('members/' + m), '-o', path('members/' + m + '.bmp'), stderr=True)

# Damaged and hostile files.
archive = open(path('archive.pak'), 'rb').read()
damaged = {
    'cutdir.pak': archive[:40],
    'badname.pak': archive[:8 + 24 * 2 + 9] + b'/' + archive[8 + 24 * 2 + 10:],
    'pastend.pak': archive[:8 + 24 + 4] + struct.pack('<I', len(archive) * 10) + archive[8 + 24 + 8:],
    'huge.i24': sample[:12] + struct.pack('<HH', 20000, 20000) + sample[16:24] + b'\x55' * 76,
    'notpicture.bin': b'just some text, neither a picture nor an archive\n',
    'emptydir.pak': b'PACK' + struct.pack('<I', 8) + bytes(8),
    'noterm.pak': archive[:4] + struct.pack('<I', 8 + 24) + archive[8:],
}
for name, data in damaged.items():
    with open(path(name), 'wb') as f:
        f.write(data)

# The benchmark's archive: 300 pictures.
if not os.path.exists(path('archive300.pak')):
    os.makedirs(work)
    names = []
    for i in range(300):
        names.append(os.path.join(work, f'P{i:03d}.I24'))
        shutil.copy(path('sample.i24'), names[-1])
    run('pack', path('archive300.pak'), *names)
    shutil.rmtree(work)
