// The page's decoding worker (the page starts several). It reads the File
// objects the page hands it in slices (FileReaderSync: only the bytes asked
// for are read), lists PACK directories with the module's PACK reader and
// decodes I24B pictures through the WebAssembly module (kaldorin_web.cpp),
// and posts results back; the page never waits on it.
'use strict';
importScripts('kaldorin_web.js');

const reader = new FileReaderSync();
let requestId = 0;  // the request being worked on, for its progress reports
let archive = null;  // {file, at}: what the module's PACK reader reads next
const moduleReady = KaldorinModule({
  onProgress: (permille) => postMessage({ op: 'progress', id: requestId, permille }),
  readArchive(dst, space) {
    try {
      const bytes = readBytes(archive.file, archive.at, Math.min(archive.file.size, archive.at + space));
      this.HEAPU8.set(bytes, dst);
      archive.at += bytes.length;
      return bytes.length;
    } catch (e) {
      return -1;
    }
  },
});

// Results of web_decode and web_picture_check (kaldorin_web.cpp).
const OUT_WIDTH = 0, OUT_HEIGHT = 1, OUT_GUESSED = 2, OUT_RESULT = 3, OUT_FEWEST = 4, OUT_COUNT = 5;
const RESULT_TOO_SHORT = 100;
const NO_GUESSED_ROW = 0xFFFFFFFF;
// Chromium's largest canvas, and what the module's 2 GB must hold at most:
// the picture as RGBA (4 bytes a pixel) and the file, beside the decoder's
// window of a few rows (at most some megabytes).
const LARGEST_PIXELS = 268435456;
const LARGEST_BYTES = 1.75 * 1024 * 1024 * 1024;

// web_pack_list's records and results (kaldorin_web.cpp).
const RECORD_SIZE = 28, RECORD_NAME = 12;

class Problem extends Error {}

function readBytes(file, start, end) {
  return new Uint8Array(reader.readAsArrayBuffer(file.slice(start, end)));
}

// What the file starting with `bytes` is (web_kind): 'I24B', 'PACK' or ''.
function kindOf(M, bytes) {
  const at = toModule(M, bytes);
  try {
    return ['', 'I24B', 'PACK'][M._web_kind(at, bytes.length)];
  } finally {
    M._web_free(at);
  }
}

// Copies `bytes` into the module's memory; the caller frees the pointer.
function toModule(M, bytes) {
  const at = M._web_alloc(bytes.length);
  if (!at) throw new Problem('not enough memory to read it');
  M.HEAPU8.set(bytes, at);
  return at;
}

function withOut(M, use) {
  const out = M._web_alloc(OUT_COUNT * 4);
  try {
    return use(out, () => M.HEAPU32.subarray(out / 4, out / 4 + OUT_COUNT));
  } finally {
    M._web_free(out);
  }
}

function sizeProblem(w, h, fileSize, fewest) {
  return `ends early: a ${w} x ${h} picture needs at least ${fewest} bytes of coded data, the file has ` +
         `${Math.max(fileSize - 24, 0)}`;
}

// The first bytes of the `size` bytes at `offset` of `file`, in one read:
// all of a small member (each read costs the browser a round trip), the
// start of a large one.
const FIRST_READ = 65536;
function readStart(file, offset, size) {
  return readBytes(file, offset, offset + Math.min(size, FIRST_READ));
}

// The picture of the `size` bytes at `offset` of `file`, whose first bytes
// `start` holds: its header is checked against the size before anything
// else is read or allocated.
function decodePicture(M, file, offset, size, start) {
  if (size < 24) throw new Problem(`not an I24B picture: ${size} bytes are too few for its header`);
  const head = start.subarray(0, 24);
  const headAt = toModule(M, head);
  let w, h;
  try {
    withOut(M, (out, view) => {
      const result = M._web_picture_check(headAt, 24, size, out);
      const o = view();
      if (result === 2) throw new Problem('not an I24B picture: its header is not one');
      w = o[OUT_WIDTH]; h = o[OUT_HEIGHT];
      if (result === RESULT_TOO_SHORT) throw new Problem(sizeProblem(w, h, size, o[OUT_FEWEST]));
    });
  } finally {
    M._web_free(headAt);
  }
  if (w * h > LARGEST_PIXELS || w * h * 4 + size > LARGEST_BYTES) {
    throw new Problem(`a ${w} x ${h} picture is too large for the browser to show`);
  }
  const dataAt = toModule(M, start.length === size ? start : readBytes(file, offset, offset + size));
  try {
    return withOut(M, (out, view) => {
      const rgbaAt = M._web_decode(dataAt, size, out);
      const o = view();
      if (!rgbaAt) {
        if (o[OUT_RESULT] === 4) throw new Problem('not enough memory to decode it');
        throw new Problem(`cannot decode it (result ${o[OUT_RESULT]})`);
      }
      const rgba = M.HEAPU8.slice(rgbaAt, rgbaAt + w * h * 4);
      M._web_free(rgbaAt);
      const guessed = view()[OUT_GUESSED];
      return { width: w, height: h, rgba, guessedFrom: guessed === NO_GUESSED_ROW ? -1 : guessed };
    });
  } finally {
    M._web_free(dataAt);
  }
}

// A copy at most `box` pixels wide and high, nearest pixel.
function thumbnail(picture, box) {
  const { width: w, height: h, rgba } = picture;
  const scale = Math.min(1, box / Math.max(w, h, 1));
  const tw = Math.max(1, Math.round(w * scale)), th = Math.max(1, Math.round(h * scale));
  const small = new Uint8Array(tw * th * 4);
  for (let y = 0; y < th; ++y) {
    const from = Math.min(h - 1, Math.floor((y + 0.5) * h / th)) * w;
    for (let x = 0; x < tw; ++x) {
      const f = (from + Math.min(w - 1, Math.floor((x + 0.5) * w / tw))) * 4;
      const t = (y * tw + x) * 4;
      small[t] = rgba[f]; small[t + 1] = rgba[f + 1]; small[t + 2] = rgba[f + 2]; small[t + 3] = 255;
    }
  }
  return { width: tw, height: th, rgba: small };
}

// The picture as a PNG file, as the browser writes one.
function pngBlob({ width, height, rgba }) {
  const canvas = new OffscreenCanvas(Math.max(width, 1), Math.max(height, 1));
  if (width > 0 && height > 0) {
    canvas.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(rgba.buffer), width, height), 0, 0);
  }
  return canvas.convertToBlob({ type: 'image/png' });
}

// The members of a PACK archive, read from its directory alone by the
// module's PACK reader, and its problem in the reader's words. Each member
// whose data runs past the end of the file carries a problem.
function listArchive(M, file) {
  const out = M._web_alloc(4 * 4), why = M._web_alloc(160);
  archive = { file, at: 0 };
  try {
    const records = M._web_pack_list(file.size, out, why, 160);
    const [count, fault, , whole] = M.HEAPU32.subarray(out / 4, out / 4 + 4);
    const members = [];
    for (let i = 0; i < count; ++i) {
      const r = records + i * RECORD_SIZE;
      const [offset, size, pastEnd] = M.HEAPU32.subarray(r / 4, r / 4 + 3);
      const nameBytes = M.HEAPU8.subarray(r + RECORD_NAME, r + RECORD_SIZE);
      const name = String.fromCharCode(...nameBytes.subarray(0, nameBytes.indexOf(0)));
      members.push({ name, offset, size, problem: pastEnd ? `its data runs past the end of the file (to byte ` +
                                                            `${offset + size} of ${file.size})` : '' });
    }
    M._web_free(records);
    let problem = fault === 0 ? '' : new TextDecoder().decode(M.HEAPU8.subarray(why, M.HEAPU8.indexOf(0, why)));
    if (!whole) problem = 'not enough memory to list all of it';
    return { members, problem };
  } finally {
    archive = null;
    M._web_free(out);
    M._web_free(why);
  }
}

async function handle(message) {
  const M = await moduleReady;
  const { op, id, file } = message;
  requestId = id;
  try {
    if (op === 'kind') {
      postMessage({ op: 'kind', id, kind: kindOf(M, readBytes(file, 0, 8)) });
      return;
    }
    if (op === 'open') {
      const kind = kindOf(M, readBytes(file, 0, 8));
      if (kind === 'PACK') {
        postMessage({ op: 'listing', id, ...listArchive(M, file) });
        return;
      }
      if (kind !== 'I24B') throw new Problem('neither an I24B picture nor a PACK archive');
      message = { ...message, offset: 0, size: file.size };
    }
    const start = readStart(file, message.offset, message.size);
    if (message.thumb || op === 'png') {
      const kind = kindOf(M, start.subarray(0, 8));
      if (kind !== 'I24B') {
        postMessage({ op: message.thumb ? 'thumb' : 'error', id, notPicture: true, message: 'not a picture' });
        return;
      }
    }
    const started = performance.now();
    const picture = decodePicture(M, file, message.offset, message.size, start);
    if (op === 'png') {
      const png = new Uint8Array(await (await pngBlob(picture)).arrayBuffer());
      postMessage({ op: 'png', id, png }, [png.buffer]);
      return;
    }
    const seconds = (performance.now() - started) / 1000;
    const result = message.thumb ? { ...thumbnail(picture, message.thumb), guessedFrom: picture.guessedFrom,
                                     fullWidth: picture.width, fullHeight: picture.height } : picture;
    postMessage({ op: message.thumb ? 'thumb' : 'picture', id, seconds, ...result }, [result.rgba.buffer]);
  } catch (e) {
    postMessage({ op: 'error', id, message: e instanceof Problem ? e.message : `cannot read it: ${e.message || e}` });
  }
}

// Requests are handled one after the other, in the order they came.
let queue = Promise.resolve();
onmessage = (event) => {
  if (event.data.op === 'bench') {
    queue = queue.then(() => bench(event.data));
    return;
  }
  queue = queue.then(() => handle(event.data));
};

// The benchmark: `runs` timed runs of one file's decode, after a second of
// decodes that are not timed: the browser first runs the module from a quick
// baseline compilation and replaces the hot code with optimised code as it
// runs. The worker's clock counts in steps of a tenth of a millisecond, so a
// run repeats the decode for at least 50 ms and gives the mean: the whole
// web_decode as the viewer calls it.
async function bench({ id, file, runs }) {
  const M = await moduleReady;
  const bytes = readBytes(file, 0, file.size);
  const at = toModule(M, bytes);
  const decode = () => withOut(M, (out) => M._web_free(M._web_decode(at, bytes.length, out)));
  let count = 0;
  const warmStart = performance.now();
  for (; performance.now() - warmStart < 1000; ++count) decode();
  const repeats = Math.max(1, Math.ceil(50 * count / (performance.now() - warmStart)));
  const times = [];
  for (let i = 0; i < runs; ++i) {
    const started = performance.now();
    for (let k = 0; k < repeats; ++k) decode();
    times.push((performance.now() - started) / 1000 / repeats);
  }
  M._web_free(at);
  postMessage({ op: 'bench', id, times });
}
