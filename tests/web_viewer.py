#!/usr/bin/python3
"""The browser viewer in headless Chromium, served from 127.0.0.1.

  web_viewer.py test SITE INPUTS       pictures, archives, damaged inputs, a drop
  web_viewer.py screenshot SITE INPUTS OUT.png
  web_viewer.py bench SITE INPUTS      prints the page's decode times as JSON

INPUTS is the folder scripts/web-tests.sh fills with kaldorin: the files,
and beside each picture NAME its reference NAME.bmp.
"""
import base64
import functools
import hashlib
import http.server
import io
import json
import os
import struct
import sys
import threading
import time
import zipfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys


def serve(site, inputs):
    """The built page at /, the inputs at /inputs/, on a free port."""
    class Handler(http.server.SimpleHTTPRequestHandler):
        def translate_path(self, path):
            if path.startswith('/inputs/'):
                return os.path.join(inputs, os.path.basename(path.split('?')[0]))
            return super().translate_path(path)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), functools.partial(Handler, directory=site))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f'http://127.0.0.1:{server.server_address[1]}/'


def browser():
    options = webdriver.ChromeOptions()
    for arg in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--window-size=1280,800'):
        options.add_argument(arg)
    options.binary_location = '/usr/bin/chromium'
    driver = webdriver.Chrome(options=options, service=Service('/usr/bin/chromedriver'))
    driver.set_script_timeout(120)
    return driver


def wait(driver, script, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.05)
    raise TimeoutError(script)


def open_files(driver, url, paths):
    driver.get(url)
    wait(driver, 'return window.viewer !== undefined')
    picker = driver.find_element(By.ID, 'open-files')
    picker.send_keys('\n'.join(os.path.abspath(p) for p in paths))


def wait_shown(driver):
    """Until the selected row shows a picture or a problem."""
    return wait(driver, "return document.body.dataset.state || ''")


CANVAS_DIGEST = """
const done = arguments[arguments.length - 1];
const c = document.getElementById('picture');
const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
crypto.subtle.digest('SHA-256', data).then(h => done([c.width, c.height,
  [...new Uint8Array(h)].map(b => b.toString(16).padStart(2, '0')).join('')]));
"""

# Hooks the page's saving and answers with the bytes of what it saves.
CAPTURE_SAVE = """
const [button, done] = [arguments[0], arguments[arguments.length - 1]];
viewer.saveBlob = (blob, name) => blob.arrayBuffer().then(b => {
  let s = ''; const u = new Uint8Array(b);
  for (let i = 0; i < u.length; i += 32768) s += String.fromCharCode(...u.subarray(i, i + 32768));
  done([name, btoa(s)]);
});
document.getElementById(button).click();
"""


def bmp_rgba_digest(path):
    """SHA-256 of a 24-bit BMP's pixels as top-down RGBA, and its size."""
    data = open(path, 'rb').read()
    offset, = struct.unpack_from('<I', data, 10)
    width, height, _, bits = struct.unpack_from('<iiHH', data, 18)
    assert bits == 24, path
    stride = (width * 3 + 3) & ~3
    rows = range(height - 1, -1, -1) if height > 0 else range(-height)
    out = bytearray()
    for y in rows:
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rgba = bytearray(width * 4)
        rgba[0::4], rgba[1::4], rgba[2::4], rgba[3::4] = row[2::3], row[1::3], row[0::3], b'\xff' * width
        out += rgba
    return width, abs(height), hashlib.sha256(out).hexdigest()


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, name, ok, detail=''):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f'FAILED: {name} {detail}')


# Pictures opened from the picker: the canvas must hold kaldorin's pixels,
# and the page must name the guessed rows kaldorin names.
PICTURES = [
    ('sample.i24', None),
    ('cutoff.i24', 'cutoff.message'),
    ('photo12mp.i24', None),
]

# Damaged and hostile inputs and words of the message each must show.
DAMAGED = [
    ('cutdir.pak', 'the directory runs past the end of the file'),
    ('badname.pak', "member 3's name is not valid"),
    ('pastend.pak', "member 2's data runs past the end of the file"),
    ('noterm.pak', 'the directory does not end where its header says'),
    ('huge.i24', 'a 20000 x 20000 picture needs at least'),
    ('notpicture.bin', 'neither an I24B picture nor a PACK archive'),
    ('emptydir.pak', 'the archive has no members'),
]


def test_pictures(driver, url, inputs, checks):
    for name, message_file in PICTURES:
        open_files(driver, url, [os.path.join(inputs, name)])
        state = wait_shown(driver)
        got = driver.execute_async_script(CANVAS_DIGEST) if state == 'picture' else None
        want = bmp_rgba_digest(os.path.join(inputs, name + '.bmp'))
        checks.check(f'{name}: pixels', got == list(want), f'{got} != {want}')
        text = driver.find_element(By.ID, 'problem').text
        if message_file:
            words = open(os.path.join(inputs, message_file)).read().strip()
            checks.check(f'{name}: message', words in text, f'{words!r} not in {text!r}')
        else:
            checks.check(f'{name}: no message', text == '', text)


def test_archive(driver, url, inputs, checks):
    archive = os.path.join(inputs, 'archive.pak')
    open_files(driver, url, [archive])
    wait_shown(driver)
    listing = json.load(open(os.path.join(inputs, 'archive.json')))['members']
    rows = driver.execute_script(
        "return viewer.rows.filter(r => r.kind === 'member').map(r => [r.name, r.position, r.size])")
    want = [[m['name'], m['position'], m['size']] for m in listing]
    checks.check('archive: listing', rows == want, f'{rows} != {want}')
    # Every member's saved bytes, as kaldorin extracts them; each picture
    # member's pixels and thumbnail.
    driver.find_element(By.TAG_NAME, 'body').send_keys(Keys.HOME)
    for index, member in enumerate(listing):
        wait(driver, f"return viewer.selected === {index + 1} && document.body.dataset.state")
        wait_shown(driver)
        name, data = driver.execute_async_script(CAPTURE_SAVE, 'save-member')
        expected = open(os.path.join(inputs, 'members', member['name']), 'rb').read()
        checks.check(f'archive: {name} bytes', base64.b64decode(data) == expected)
        reference = os.path.join(inputs, 'members', member['name'] + '.bmp')
        if os.path.exists(reference):
            got = driver.execute_async_script(CANVAS_DIGEST)
            checks.check(f'archive: {name} pixels', got == list(bmp_rgba_digest(reference)))
        driver.find_element(By.TAG_NAME, 'body').send_keys(Keys.ARROW_DOWN)
    wait(driver, 'return viewer.thumbsPending === 0')
    thumbs = driver.execute_script(
        "return viewer.rows.filter(r => r.kind === 'member').map(r => [r.name, !!r.isPicture])")
    checks.check('archive: thumbnails for the pictures',
                 thumbs == [[m['name'], m['name'].upper().endswith('.I24')] for m in listing], thumbs)
    driver.find_element(By.TAG_NAME, 'body').send_keys(Keys.END)
    checks.check('archive: End selects the last member',
                 wait(driver, f'return viewer.selected === {len(listing)}', 10))
    name, data = driver.execute_async_script(CAPTURE_SAVE, 'save-all')
    with zipfile.ZipFile(io.BytesIO(base64.b64decode(data))) as z:
        saved = {n: z.read(n) for n in z.namelist()}
    checks.check('archive: save all', name == 'archive.zip' and saved == {
        m['name']: open(os.path.join(inputs, 'members', m['name']), 'rb').read() for m in listing})
    # The pictures as PNG: one for each picture member, of its size.
    name, data = driver.execute_async_script(CAPTURE_SAVE, 'save-pngs')
    with zipfile.ZipFile(io.BytesIO(base64.b64decode(data))) as z:
        sizes = {n: struct.unpack('>8xII', z.read(n)[8:24]) for n in z.namelist()}
    want = {m['name'].rsplit('.', 1)[0] + '.png': bmp_rgba_digest(os.path.join(inputs, 'members', m['name'] + '.bmp'))[:2]
            for m in listing if m['name'].upper().endswith('.I24')}
    checks.check('archive: save pictures as PNG', name == 'archive-png.zip' and sizes == want, f'{name} {sizes} {want}')


def test_damaged(driver, url, inputs, checks):
    for name, words in DAMAGED:
        open_files(driver, url, [os.path.join(inputs, name)])
        try:
            wait(driver, f"return document.body.innerText.includes({json.dumps(words)})", 20)
            checks.check(f'{name}: message', True)
        except TimeoutError:
            checks.check(f'{name}: message', False, driver.find_element(By.TAG_NAME, 'body').text)


DROP = """
const done = arguments[arguments.length - 1];
fetch('inputs/' + arguments[0]).then(r => r.blob()).then(blob => {
  const transfer = new DataTransfer();
  transfer.items.add(new File([blob], arguments[0]));
  document.getElementById('stage').dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true}));
  done(true);
});
"""


def test_drop(driver, url, inputs, checks):
    driver.get(url)
    wait(driver, 'return window.viewer !== undefined')
    driver.execute_async_script(DROP, 'archive.pak')
    members = len(json.load(open(os.path.join(inputs, 'archive.json')))['members'])
    checks.check('drop: the archive opens',
                 wait(driver, f"return viewer.rows.length === {members + 1} && document.body.dataset.state", 20))


def screenshot(driver, url, inputs, out):
    open_files(driver, url, [os.path.join(inputs, 'archive.pak')])
    wait_shown(driver)
    wait(driver, 'return viewer.thumbsPending === 0')
    driver.execute_script('viewer.select(1)')
    time.sleep(0.5)
    driver.save_screenshot(out)


def bench(driver, url, inputs, pictures):
    """The page's decode medians of `pictures` and the 300-member archive's
    listing and thumbnail times, in seconds."""
    files = ','.join('inputs/' + os.path.basename(p) for p in pictures)
    driver.get(f'{url}bench.html?files={files}&runs=9')
    results = wait(driver, 'return window.benchResults', 300)
    open_files(driver, url, [os.path.join(inputs, 'archive300.pak')])
    wait(driver, 'return viewer.rows.length === 301 && viewer.thumbsPending === 0', 120)
    times = driver.execute_script("""
      const members = viewer.rows.filter(r => r.kind === 'member');
      const shown = members.map(r => r.thumbSeconds).sort((a, b) => a - b);
      return {list: viewer.rows[0].listSeconds, firstScreen: Math.max(...members.slice(0, 20).map(r => r.thumbSeconds)),
              all: shown[shown.length - 1]};""")
    return {'decode': results, 'archive300': times}


def main():
    mode, site, inputs = sys.argv[1:4]
    server, url = serve(os.path.abspath(site), os.path.abspath(inputs))
    driver = browser()
    try:
        if mode == 'screenshot':
            screenshot(driver, url, inputs, sys.argv[4])
            return 0
        if mode == 'bench':
            print(json.dumps(bench(driver, url, inputs, sys.argv[4:])))
            return 0
        checks = Checks()
        for test in (test_pictures, test_archive, test_damaged, test_drop):
            try:
                test(driver, url, inputs, checks)
            except Exception as e:  # a test that cannot go on counts once
                checks.check(test.__name__, False, repr(e))
        print(f'web: {checks.passed} passed, {checks.failed} failed')
        return 1 if checks.failed else 0
    finally:
        driver.quit()
        server.shutdown()


if __name__ == '__main__':
    sys.exit(main())
