// The viewer page: files opened by the picker or dropped (folders too) are
// handed to workers (worker.js), one for the picture shown and a few for
// thumbnails and saving, so that none waits for another and the page never
// waits for any. Nothing is sent anywhere: the files are read where they are.
'use strict';

const $ = (id) => document.getElementById(id);
const canvas = $('picture'), stage = $('stage'), tbody = document.querySelector('#members tbody');

// Every row of the table: an opened file ({kind: 'file'}), an archive's
// heading ({kind: 'archive'}) or one of its members ({kind: 'member'}).
const rows = [];
let selected = -1;
let shown = null;  // {row, width, height, guessedFrom} of the picture on the canvas
let zoom = 'fit';  // 'fit' or an integer

// ---- workers ----

function startWorker(onResult) {
  const worker = new Worker('worker.js');
  const waiting = new Map();
  let nextId = 1;
  worker.onmessage = (event) => {
    const reply = event.data;
    if (reply.op === 'progress') {
      onResult.progress?.(reply);
      return;
    }
    const done = waiting.get(reply.id);
    waiting.delete(reply.id);
    done?.(reply);
  };
  return (message) => new Promise((resolve) => {
    const id = nextId++;
    waiting.set(id, resolve);
    worker.postMessage({ ...message, id });
  });
}

let viewRequest = 0;
const viewWorker = startWorker({
  progress: (reply) => {
    if (reply.id !== viewRequest) return;
    $('progress').hidden = false;
    $('progress').value = reply.permille;
  },
});
// Thumbnails take about as long each as their picture's read and decode: a
// worker a processor, at most four (the shown picture's worker is mostly idle).
const pool = Array.from({ length: Math.max(1, Math.min(4, navigator.hardwareConcurrency || 2)) },
                        () => ({ send: startWorker({}), pending: 0 }));
function poolWorker(message) {
  const worker = pool.reduce((a, b) => (b.pending < a.pending ? b : a));
  ++worker.pending;
  return worker.send(message).finally(() => --worker.pending);
}

// ---- opening files ----

let openedAt = 0;  // when the last files were opened, for the benchmark
async function openFiles(files) {
  const started = openedAt = performance.now();
  let firstNew = -1;
  for (const file of files) {
    const row = { kind: 'file', file, name: file.webkitRelativePath || file.name, size: file.size };
    const at = rows.length;
    rows.push(row);
    if ((await viewWorker({ op: 'kind', file })).kind === 'PACK') {
      row.kind = 'archive';
      const listing = await viewWorker({ op: 'open', file });
      row.problem = listing.op === 'error' ? listing.message : listing.problem;
      for (const m of listing.members || []) {
        rows.push({ kind: 'member', file, archive: row, name: m.name, size: m.size, position: m.offset,
                    problem: m.problem });
      }
      row.members = (listing.members || []).length;
      row.listSeconds = (performance.now() - started) / 1000;
    }
    if (firstNew < 0 && row.kind !== 'archive') firstNew = at;
    if (firstNew < 0 && rows.length > at + 1) firstNew = at + 1;
    if (firstNew < 0) firstNew = at;
  }
  drawTable();
  if (firstNew >= 0) select(firstNew);
  requestThumbnails();
}

// The files of dropped folders, read entry by entry.
async function filesOfEntry(entry, into) {
  if (entry.isFile) {
    into.push(await new Promise((resolve, reject) => entry.file(resolve, reject)));
  } else if (entry.isDirectory) {
    const dirReader = entry.createReader();
    for (;;) {
      const batch = await new Promise((resolve, reject) => dirReader.readEntries(resolve, reject));
      if (batch.length === 0) break;
      for (const child of batch) await filesOfEntry(child, into);
    }
  }
}

async function dropped(dataTransfer) {
  const entries = [...(dataTransfer.items || [])].map((item) => item.webkitGetAsEntry?.()).filter(Boolean);
  if (entries.length === 0) return openFiles([...dataTransfer.files]);
  const files = [];
  for (const entry of entries) await filesOfEntry(entry, files);
  files.sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  return openFiles(files);
}

// ---- the table ----

function cell(tr, text, className) {
  const td = tr.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function drawTable() {
  tbody.textContent = '';
  rows.forEach((row, index) => {
    const tr = tbody.insertRow();
    row.tr = tr;
    tr.className = row.kind === 'archive' ? 'archive' : 'row';
    if (row.problem) tr.classList.add('bad');
    row.thumbCell = cell(tr, '', 'thumb');
    if (row.kind === 'archive') {
      const td = cell(tr, `${row.name}: ${row.members} members${row.problem ? `, ${row.problem}` : ''}`);
      td.colSpan = 3;
      td.title = row.problem || '';
      return;
    }
    const name = cell(tr, row.name);
    if (row.problem) name.append(Object.assign(document.createElement('div'), { className: 'why', textContent: row.problem }));
    cell(tr, row.size.toLocaleString('en'));
    cell(tr, row.kind === 'member' ? row.position.toLocaleString('en') : '');
    tr.onclick = () => select(index);
    if (row.thumb) row.thumbCell.append(row.thumb);
  });
}

// Thumbnails for every row without one, in table order: the first screen
// comes first and each is shown as it arrives.
let thumbsPending = 0;
function requestThumbnails() {
  for (const row of rows) {
    if (row.kind === 'archive' || row.thumbAsked) continue;
    row.thumbAsked = true;
    if (row.problem) continue;
    ++thumbsPending;
    const message = row.kind === 'member'
      ? { op: 'member', file: row.file, offset: row.position, size: row.size, thumb: 48 }
      : { op: 'member', file: row.file, offset: 0, size: row.size, thumb: 48 };
    poolWorker(message).then((reply) => {
      --thumbsPending;
      if (reply.op === 'thumb' && !reply.notPicture) {
        row.isPicture = true;
        row.pictureSize = `${reply.fullWidth} x ${reply.fullHeight}`;
        row.thumb = pictureCanvas(reply);
        row.thumbCell.append(row.thumb);
      } else {
        row.isPicture = false;
        row.thumbCell.textContent = reply.op === 'error' ? '!' : '';
        if (reply.op === 'error') row.thumbCell.title = reply.message;
      }
      row.thumbSeconds = (performance.now() - openedAt) / 1000;
    });
  }
}

function pictureCanvas({ width, height, rgba }) {
  const c = document.createElement('canvas');
  c.width = width;
  c.height = height;
  if (width > 0 && height > 0) {
    c.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(rgba.buffer), width, height), 0, 0);
  }
  return c;
}

// ---- the picture ----

function showMessage(text) {
  $('problem').textContent = text;
  $('problem').hidden = !text;
}

async function select(index) {
  const row = rows[index];
  if (!row || row.kind === 'archive') return;
  if (selected >= 0) rows[selected].tr?.classList.remove('selected');
  selected = index;
  row.tr?.classList.add('selected');
  row.tr?.scrollIntoView({ block: 'nearest' });
  $('save-member').disabled = row.kind !== 'member';
  $('save-all').disabled = row.kind !== 'member';
  $('save-pngs').disabled = row.kind !== 'member';
  $('save-png').disabled = true;
  $('hint').hidden = true;
  showMessage('');
  setStatus(`${row.name}: reading`);
  const request = ++viewRequest;
  const offset = row.kind === 'member' ? row.position : 0;
  // A member that runs past the end of the file is not read at all.
  const reply = row.problem ? null
    : await viewWorker({ op: row.kind === 'file' ? 'open' : 'member', file: row.file, offset, size: row.size });
  if (request !== viewRequest) return;  // another row was chosen meanwhile
  $('progress').hidden = true;
  if (!reply || reply.op === 'error') {
    canvas.hidden = true;
    shown = null;
    const text = row.problem || reply?.message || 'cannot read it';
    showMessage(`${row.name}: ${text}`);
    setStatus(`${row.name}: ${row.size.toLocaleString('en')} bytes`);
    document.body.dataset.state = 'error';
    return;
  }
  canvas.width = reply.width;
  canvas.height = reply.height;
  const context = canvas.getContext('2d');
  context.imageSmoothingEnabled = false;
  if (reply.width > 0 && reply.height > 0) {
    context.putImageData(new ImageData(new Uint8ClampedArray(reply.rgba.buffer), reply.width, reply.height), 0, 0);
  }
  canvas.hidden = false;
  shown = { row, width: reply.width, height: reply.height, guessedFrom: reply.guessedFrom, seconds: reply.seconds };
  $('save-png').disabled = reply.width === 0 || reply.height === 0;
  if (reply.guessedFrom >= 0) {
    showMessage(`${row.name} ends early: rows ${reply.guessedFrom + 1} to ${reply.height} of ${reply.height} ` +
                'are guessed');
  } else if (reply.width === 0 || reply.height === 0) {
    showMessage(`${row.name}: the picture is empty (${reply.width} x ${reply.height})`);
  }
  applyZoom();
  document.body.dataset.state = 'picture';
}

function fitScale() {
  if (!shown || shown.width === 0 || shown.height === 0) return 1;
  const s = Math.min(stage.clientWidth / shown.width, stage.clientHeight / shown.height);
  return s >= 1 ? Math.floor(s) : s;  // smaller pictures grow by whole steps
}

function currentScale() {
  return zoom === 'fit' ? fitScale() : zoom;
}

function applyZoom() {
  if (!shown) return;
  const s = currentScale();
  canvas.style.width = `${shown.width * s}px`;
  canvas.style.height = `${shown.height * s}px`;
  const label = zoom === 'fit' ? `fit (${Math.round(s * 100)}%)` : `${zoom}:1`;
  setStatus(`${shown.row.name}: ${shown.width} x ${shown.height}, ${shown.row.size.toLocaleString('en')} bytes, ` +
            `zoom ${label}`);
}

function setZoom(z) {
  zoom = z;
  applyZoom();
}

function zoomBy(step) {
  const s = currentScale();
  if (step > 0) setZoom(Math.max(1, Math.floor(s) + 1));
  else if (s <= 1 || Math.ceil(s) - 1 < fitScale()) setZoom('fit');
  else setZoom(Math.ceil(s) - 1);
}

function setStatus(text) {
  $('status').textContent = text;
}

// ---- saving ----

// The page's one way out: a download the browser saves where its user
// says. Tests replace it to look at what would be saved.
let saveBlob = (blob, name) => {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 60000);
};

function pngName(name) {
  return name.replace(/^.*\//, '').replace(/\.[^.]*$/, '') + '.png';
}

function memberBlob(row) {
  return row.file.slice(row.position, row.position + row.size);
}

// A zip of `entries` ({name, bytes: async () => Uint8Array}) stored as
// they are, saved as `zipName`; names met twice (without regard to case)
// get a number in front.
function saveZip(entries, zipName) {
  const parts = [];
  const zip = new fflate.Zip((error, chunk, final) => {
    if (error) {
      showMessage(`cannot write the zip: ${error.message}`);
      return;
    }
    parts.push(chunk);
    if (final) saveBlob(new Blob(parts, { type: 'application/zip' }), zipName);
  });
  (async () => {
    const used = new Set();
    for (const e of entries) {
      let name = e.name;
      for (let n = 2; used.has(name.toUpperCase()); ++n) name = `${n}_${e.name}`;
      used.add(name.toUpperCase());
      const entry = new fflate.ZipPassThrough(name);
      zip.add(entry);
      entry.push(await e.bytes, true);
    }
    zip.end();
  })();
}

function membersOfSelected(keep) {
  const archive = rows[selected]?.archive;
  return archive ? [archive, rows.filter((r) => r.archive === archive && !r.problem && keep(r))] : [null, []];
}

function saveAll() {
  const [archive, members] = membersOfSelected(() => true);
  if (!archive) return;
  saveZip(members.map((m) => ({ name: m.name, bytes: memberBlob(m).arrayBuffer().then((b) => new Uint8Array(b)) })),
          pngName(archive.name).replace(/png$/, 'zip'));
}

// Every picture member as PNG, encoded by the pool's workers at once.
async function savePictures() {
  const [archive, members] = membersOfSelected((r) => r.isPicture !== false);
  if (!archive) return;
  setStatus(`${archive.name}: writing ${members.length} pictures as PNG`);
  const pngs = members.map((m) => poolWorker({ op: 'png', file: m.file, offset: m.position, size: m.size }));
  const entries = [];
  for (let i = 0; i < members.length; ++i) {
    const reply = await pngs[i];
    if (reply.op === 'png') entries.push({ name: pngName(members[i].name), bytes: Promise.resolve(reply.png) });
  }
  saveZip(entries, pngName(archive.name).replace(/\.png$/, '-png.zip'));
}

// ---- wiring ----

$('open-files').onchange = (e) => openFiles([...e.target.files]);
$('open-folder').onchange = (e) => openFiles([...e.target.files]);
$('zoom-fit').onclick = () => setZoom('fit');
$('zoom-1').onclick = () => setZoom(1);
$('zoom-in').onclick = () => zoomBy(1);
$('zoom-out').onclick = () => zoomBy(-1);
$('save-png').onclick = () => canvas.toBlob((blob) => saveBlob(blob, pngName(shown.row.name)), 'image/png');
$('save-member').onclick = () => {
  const row = rows[selected];
  if (row?.kind === 'member') saveBlob(memberBlob(row), row.name);
};
$('save-all').onclick = saveAll;
$('save-pngs').onclick = savePictures;
window.addEventListener('resize', () => zoom === 'fit' && applyZoom());

document.addEventListener('dragover', (e) => {
  e.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
document.addEventListener('drop', (e) => {
  e.preventDefault();
  document.body.classList.remove('dragging');
  dropped(e.dataTransfer);
});

// Arrow keys and Home/End move between files and members; + - 0 1 zoom.
function step(from, direction) {
  for (let i = from + direction; i >= 0 && i < rows.length; i += direction) {
    if (rows[i].kind !== 'archive') return i;
  }
  return -1;
}
document.addEventListener('keydown', (e) => {
  if (e.ctrlKey || e.metaKey || e.altKey) return;
  const keys = {
    ArrowDown: () => step(selected, 1), ArrowRight: () => step(selected, 1),
    ArrowUp: () => step(selected, -1), ArrowLeft: () => step(selected, -1),
    Home: () => step(-1, 1), End: () => step(rows.length, -1),
  };
  if (keys[e.key]) {
    e.preventDefault();
    const to = keys[e.key]();
    if (to >= 0) select(to);
  } else if (e.key === '+' || e.key === '=') zoomBy(1);
  else if (e.key === '-') zoomBy(-1);
  else if (e.key === '0') setZoom('fit');
  else if (e.key === '1') setZoom(1);
});

// Panning: drag the picture.
stage.addEventListener('pointerdown', (e) => {
  if (e.button !== 0 || e.target !== canvas) return;
  const start = { x: e.clientX, y: e.clientY, left: stage.scrollLeft, top: stage.scrollTop };
  stage.classList.add('panning');
  stage.setPointerCapture(e.pointerId);
  const move = (m) => {
    stage.scrollLeft = start.left - (m.clientX - start.x);
    stage.scrollTop = start.top - (m.clientY - start.y);
  };
  const up = () => {
    stage.classList.remove('panning');
    stage.removeEventListener('pointermove', move);
    stage.removeEventListener('pointerup', up);
  };
  stage.addEventListener('pointermove', move);
  stage.addEventListener('pointerup', up);
});

// What tests and the benchmark look at.
window.viewer = {
  rows, openFiles, select, setZoom,
  get shown() { return shown; },
  get selected() { return selected; },
  get thumbsPending() { return thumbsPending; },
  set saveBlob(f) { saveBlob = f; },
  saveAll,
  workers: pool.length,
};
