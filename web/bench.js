// The decode benchmark: each file decoded `runs` times by the viewer's own
// worker (worker.js), the median reported. bench/web-vs-native.sh reads
// window.benchResults to set them against the native decoder.
'use strict';

const worker = new Worker('worker.js');
const out = document.getElementById('bench-out');
window.benchResults = null;

function timeFile(file, runs) {
  return new Promise((resolve) => {
    worker.onmessage = (event) => {
      if (event.data.op === 'bench') resolve(event.data);
    };
    worker.postMessage({ op: 'bench', id: 1, file, runs });
  });
}

async function run(files, runs) {
  const results = [];
  for (const file of files) {
    const head = new DataView(await file.slice(0, 24).arrayBuffer());
    const megapixels = head.getUint16(12, true) * head.getUint16(14, true) / 1e6;
    const timed = await timeFile(file, runs);
    const times = timed.times.sort((a, b) => a - b);
    const median = times[Math.floor(times.length / 2)];
    results.push({ name: file.name, megapixels, median, fastest: times[0], mps: megapixels / median });
    out.textContent += `${file.name}: ${megapixels.toFixed(1)} MP, median ${(median * 1e3).toFixed(1)} ms, ` +
                       `${(megapixels / median).toFixed(1)} MP/s\n`;
  }
  window.benchResults = results;
}

document.getElementById('bench-files').onchange = (e) => run([...e.target.files], 9);
const params = new URLSearchParams(location.search);
if (params.get('files')) {
  Promise.all(params.get('files').split(',').map((url) => fetch(url).then((r) => r.blob())
    .then((blob) => new File([blob], url.replace(/^.*\//, '')))))
    .then((files) => run(files, Number(params.get('runs') || 9)));
}
