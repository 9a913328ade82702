// The web page against the console program on the 24-megapixel photo of
// bench_jpeg (6000 x 4000, quality 90, 4:2:0): fitted into 120 x 90 and at
// full size, in headless Chromium (zent.convert in the page, the worker's
// WebAssembly converter, include back in the page) and natively (build/zent
// in a child process, include written to disk), in one run. Prints the best
// and median of N runs and the ratios web / native (goal: at most 2.5 x), and
// the size of the module and scripts, raw and gzipped (goal: at most 6 MB).
// Usage: node bench/web/bench_web.mjs PHOTO.jpg [--repeats N]   (see bench_web.sh)
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const require = createRequire(path.join(root, 'tests/web/package.json'));
const { chromium } = require('playwright-core');
const dist = path.join(root, 'dist/zent-web');
const zent = process.env.ZENT_BINARY || path.join(root, 'build/zent');

const args = process.argv.slice(2);
const photo = args[0];
const repeatsAt = args.indexOf('--repeats');
const repeats = repeatsAt >= 0 ? Number(args[repeatsAt + 1]) : 3;
if (!photo || !fs.existsSync(photo)) {
  console.error('usage: node bench/web/bench_web.mjs PHOTO.jpg [--repeats N]');
  process.exit(2);
}

const stats = (times) => {
  const s = [...times].sort((a, b) => a - b);
  return { best: s[0], median: s[Math.floor(s.length / 2)] };
};
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zent-bench-web-'));
const input = path.join(work, 'photo.jpg');
fs.copyFileSync(photo, input);

function nativeRun(extra) {
  const times = [];
  let size = 0;
  for (let i = 0; i < repeats; ++i) {
    const out = path.join(work, 'photo.inc');
    const t0 = process.hrtime.bigint();
    const run = spawnSync(zent, [...extra, '-o', out, input], { input: '' });
    const t1 = process.hrtime.bigint();
    if (run.status !== 0) throw new Error('zent failed: ' + run.stderr);
    size = fs.statSync(out).size;
    fs.rmSync(out);
    times.push(Number(t1 - t0) / 1e6);
  }
  return { ...stats(times), size };
}

const types = { '.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm' };
const server = http.createServer((req, res) => {
  const name = new URL(req.url, 'http://x').pathname.replace(/^\/$/, '/index.html');
  const file = path.join(dist, path.normalize(name));
  if (!file.startsWith(dist) || !fs.existsSync(file)) {
    res.writeHead(404);
    res.end();
    return;
  }
  res.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
  fs.createReadStream(file).pipe(res);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
                                        args: ['--no-sandbox', '--disable-gpu'] });
try {
  const page = await browser.newPage();
  await page.goto('http://127.0.0.1:' + server.address().port + '/');
  await page.evaluate(() => window.zent.ready);
  await page.evaluate((data) => {
    window.benchPhoto = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
  }, fs.readFileSync(input).toString('base64'));

  async function webRun(options) {
    const times = [];
    let size = 0;
    for (let i = 0; i < repeats; ++i) {
      const r = await page.evaluate(async (options) => {
        const t0 = performance.now();
        const result = await window.zent.convert(window.benchPhoto, 'photo.jpg', Object.assign({ preview: false }, options));
        const t1 = performance.now();
        return { ms: t1 - t0, ok: result.ok, message: result.message, size: result.include ? result.include.length : 0,
                 timing: result.timing };
      }, options);
      if (!r.ok) throw new Error('web conversion failed: ' + r.message);
      times.push(r.ms);
      if (process.env.ZENT_BENCH_VERBOSE) console.log('  web run: ' + JSON.stringify(r.timing) + ' total ' + r.ms.toFixed(0));
      size = r.size;
    }
    return { ...stats(times), size };
  }

  console.log('24-megapixel JPEG, ' + repeats + ' runs each (best / median, ms)');
  for (const [label, extra, options] of [['--fit 120x90', ['--fit', '120x90'], { fit: '120x90' }], ['full size', [], {}]]) {
    const n = nativeRun(extra);
    const w = await webRun(options);
    if (n.size !== w.size) throw new Error(label + ': include sizes differ: ' + n.size + ' native, ' + w.size + ' web');
    console.log(label.padEnd(14) + ' native ' + n.best.toFixed(0) + ' / ' + n.median.toFixed(0) +
                '   web ' + w.best.toFixed(0) + ' / ' + w.median.toFixed(0) +
                '   ratio ' + (w.best / n.best).toFixed(2) + ' x (median ' + (w.median / n.median).toFixed(2) + ' x)' +
                '   include ' + n.size + ' bytes');
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(work, { recursive: true, force: true });
}

let raw = 0, gz = 0;
for (const f of ['zent-core.wasm', 'zent-worker.js', 'zent.js', 'index.html']) {
  const bytes = fs.readFileSync(path.join(dist, f));
  raw += bytes.length;
  gz += zlib.gzipSync(bytes, { level: 9 }).length;
}
console.log('page size: ' + (raw / 1e6).toFixed(2) + ' MB (' + raw + ' bytes), gzipped ' + (gz / 1e6).toFixed(2) +
            ' MB (' + gz + ' bytes); goal at most 6 MB');
