// Browser tests of the web page (dist/zent-web, built by scripts/build-web.sh)
// in Debian's headless Chromium: the page's includes must be byte for byte
// the console program's (build/zent), a broken file must give the console's
// message, several pictures dropped at once must all convert, the page must
// make no request beyond its own server and stay within the window at 200 %
// zoom. Run by scripts/test-web.sh; the screenshot goes to
// build-web/artifacts/page.png.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const dist = path.join(root, 'dist/zent-web');
const zentBinary = process.env.ZENT_BINARY || path.join(root, 'build/zent');
const corpus = process.env.ZENT_CORPUS_DIR || path.resolve(root, '../shared/corpus');
const artifacts = path.join(root, 'build-web/artifacts');
const haveCorpus = fs.existsSync(corpus);
const corpusSkip = haveCorpus ? false : 'no corpus at ' + corpus + ' (set ZENT_CORPUS_DIR)';

// One picture of every format the page converts, renamed to pic_<format> so
// both programs name the array alike (a name such as 255-codes would draw a
// random fallback name).
const pictures = [
  ['bmp', 'bmp/bmpsuite/g/rgb24.bmp'],
  ['bmp8', 'bmp/bmpsuite/g/pal8rle.bmp'],
  ['gif', 'gif/gif-test-suite/animation.gif'],
  ['png', 'png/pngsuite/basn6a08.png'],
  ['ico', 'ico/gdk-pixbuf/squares.ico'],
  ['cur', 'ico/pillow/deerstalker.cur'],
  ['jpeg', 'jpeg/exif-samples-exif-org/canon-ixus.jpg'],
  ['tga', 'tga/gdk-pixbuf/gtk-logo-16bpp-bottom-left.tga'],
  ['pcx', 'pcx/image-extras/24bit.pcx'],
  ['wbmp', 'wbmp/image-extras/shane_face.wbmp'],
  ['mng', 'mng/qt/animation.mng'],
  ['jng', 'mng/imagemagick-jng/input_gray_idat.jng'],
  ['tiff', 'tiff/exif-py/Arbitro.tiff'],
  ['tiffjpeg', 'tiff/image-tiff/tiled-jpeg-ycbcr.tif'],
  ['jp2', 'jp2/jasper/goldenears.jp2'],
  ['j2k', 'jp2/libvips/Bretagne2_4.j2k'],
  ['pgx', 'pgx/jasper/signed_12.pgx'],
  ['pnm', 'pnm/imagemagick/input_p6.ppm'],
  ['ras', 'ras/jasper/goldenears.ras'],
  ['dng', 'raw/real/colorchart.dng'],
  ['cr2', 'raw/real/IMG_5952.CR2'],
];
// Files the page must refuse with the console's message, where the console
// program (which has the metafile player) converts the metafiles.
const refused = [
  ['wmf', 'wmf/imagemagick/clock.wmf', /WMF\/EMF drawing is not available in this build/],
  ['emf', 'emf/libemf2svg/test-001.emf', /WMF\/EMF drawing is not available in this build/],
];
const broken = ['png/gdk-pixbuf-fail/invalid.1.png', 'gif/gdk-pixbuf-fail/invalid.1.gif'];

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zent-web-test-'));
const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

// The picture copied under the name both programs see.
function stage(source, name) {
  const target = path.join(work, name);
  fs.copyFileSync(path.join(corpus, source), target);
  return target;
}
const webName = (key, source) => 'pic_' + key + path.extname(source).toLowerCase();

// The console program on a picture in the work folder: its include's hash and
// its messages on standard error.
function native(name, args) {
  const include = path.join(work, 'native-' + name + '.inc');
  fs.rmSync(include, { force: true });
  const run = spawnSync(zentBinary, [...args, '-o', include, name], { cwd: work, encoding: 'utf8', input: '' });
  return {
    status: run.status,
    stderr: run.stderr.trim(),
    sha: run.status === 0 ? sha256(fs.readFileSync(include)) : null,
    size: run.status === 0 ? fs.statSync(include).size : 0,
  };
}

let server, browser, page, origin;
const requests = [];

before(async () => {
  assert.ok(fs.existsSync(path.join(dist, 'index.html')), 'dist/zent-web is missing: run scripts/build-web.sh');
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm', '.txt': 'text/plain' };
  server = http.createServer((req, res) => {
    const file = path.join(dist, decodeURIComponent(new URL(req.url, 'http://x').pathname));
    const target = file.endsWith('/') ? path.join(file, 'index.html') : file;
    if (!target.startsWith(dist) || !fs.existsSync(target) || fs.statSync(target).isDirectory()) {
      res.writeHead(404);
      res.end();
      return;
    }
    res.writeHead(200, { 'Content-Type': types[path.extname(target)] || 'application/octet-stream' });
    fs.createReadStream(target).pipe(res);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  origin = 'http://127.0.0.1:' + server.address().port;
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu'],
  });
  page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  page.on('request', (r) => requests.push(r.url()));
  page.on('pageerror', (e) => console.error('page error:', e.message));
  await page.goto(origin + '/');
  await page.evaluate(() => window.zent.ready);
});

after(async () => {
  if (browser) await browser.close();
  if (server) await new Promise((resolve) => server.close(resolve));
  fs.rmSync(work, { recursive: true, force: true });
});

// zent.convert in the page; the include comes back as its hash and size.
function webConvert(name, bytes, options) {
  return page.evaluate(async ({ name, data, options }) => {
    const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
    const r = await window.zent.convert(bytes, name, options);
    let sha = null;
    if (r.include) {
      const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', r.include));
      sha = Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
    }
    return { ok: r.ok, name: r.name, message: r.message, sha, size: r.include ? r.include.length : 0,
             preview: r.preview ? r.preview.length : 0 };
  }, { name, data: Buffer.from(bytes).toString('base64'), options });
}

const fitHashes = new Map();

test('each format converts to the console program\'s include, at full size and with --fit', { skip: corpusSkip }, async () => {
  for (const [key, source] of pictures) {
    const name = webName(key, source);
    const file = stage(source, name);
    for (const [args, options] of [[[], {}], [['--fit', '120x90'], { fit: '120x90' }]]) {
      const want = native(name, args);
      assert.equal(want.status, 0, name + ' ' + args.join(' ') + ': the console program failed: ' + want.stderr);
      const got = await webConvert(name, fs.readFileSync(file), options);
      const what = name + (args.length ? ' ' + args.join(' ') : '');
      assert.equal(got.ok, true, what + ': ' + got.message);
      assert.equal(got.name, 'pic_' + key + '.inc', what);
      assert.equal(got.size, want.size, what + ': include size');
      assert.equal(got.sha, want.sha, what + ': include bytes');
      assert.ok(got.preview > 0, what + ': a preview PNG');
      if (args.length) fitHashes.set(name, want.sha);
    }
  }
});

test('options: frame, width and name as the console program takes them', { skip: corpusSkip }, async () => {
  const cases = [
    ['gif', ['--frame', '1'], { frame: 1 }],
    ['gif', ['--width', '40'], { width: 40 }],
    ['png', ['--height', '20', '--name', 'logo'], { height: 20, name: 'logo' }],
    ['cr2', ['--raw-preview', '--fit', '64x64'], { rawPreview: true, fit: [64, 64] }],
  ];
  for (const [key, args, options] of cases) {
    const source = pictures.find((p) => p[0] === key)[1];
    const name = webName(key, source);
    const file = stage(source, name);
    const want = native(name, args);
    assert.equal(want.status, 0, want.stderr);
    const got = await webConvert(name, fs.readFileSync(file), options);
    assert.equal(got.ok, true, got.message);
    assert.equal(got.sha, want.sha, name + ' ' + args.join(' '));
  }
  // A frame past the last one: the decoder's message, as on the console.
  const gif = webName('gif', pictures[2][1]);
  const want = native(gif, ['--frame', '999']);
  const got = await webConvert(gif, fs.readFileSync(path.join(work, gif)), { frame: 999 });
  assert.equal(want.status, 1);
  assert.equal(got.ok, false);
  assert.equal(got.message, want.stderr);
  // A refused option value: the console's refusal line, nothing converted.
  const bad = await webConvert(gif, fs.readFileSync(path.join(work, gif)), { fit: '0x0' });
  assert.equal(bad.ok, false);
  assert.match(bad.message, /^--fit: /);
});

test('broken and unsupported files give their messages', { skip: corpusSkip }, async () => {
  for (const source of broken) {
    const name = 'broken' + path.extname(source);
    const file = stage(source, name);
    const want = native(name, []);
    assert.equal(want.status, 1, source + ' should fail on the console');
    const got = await webConvert(name, fs.readFileSync(file), {});
    assert.equal(got.ok, false, source);
    assert.equal(got.sha, null);
    assert.equal(got.message, want.stderr, source);
    assert.match(got.message, /error loading broken\./);
  }
  for (const [key, source, message] of refused) {
    const name = webName(key, source);
    const got = await webConvert(name, fs.readFileSync(stage(source, name)), {});
    assert.equal(got.ok, false, name);
    assert.match(got.message, message);
  }
  // Not a picture at all, under a name no decoder claims.
  const text = await webConvert('notes.txt', Buffer.from('just text\n'), {});
  assert.equal(text.ok, false);
  assert.equal(text.message, 'unknown extension for notes.txt');
});

test('several pictures dropped at once all convert, as the console program with --fit 120x90', { skip: corpusSkip }, async () => {
  const chosen = pictures.filter(([key]) => ['png', 'jpeg', 'tiff', 'jp2', 'gif'].includes(key));
  const files = chosen.map(([key, source]) => {
    const name = webName(key, source);
    return { name, data: fs.readFileSync(stage(source, name)).toString('base64') };
  });
  const before = await page.evaluate(() => window.zent.results.length);
  await page.evaluate((files) => {
    const transfer = new DataTransfer();
    for (const f of files) transfer.items.add(new File([Uint8Array.from(atob(f.data), (c) => c.charCodeAt(0))], f.name));
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, files);
  await page.waitForFunction((n) => window.zent.results.length >= n &&
    document.querySelectorAll('.card[aria-busy=true]').length === 0, before + files.length, { timeout: 120000 });
  const results = await page.evaluate(async (from) => Promise.all(window.zent.results.slice(from).map(async (r) => ({
    fileName: r.fileName, ok: r.ok, message: r.message,
    sha: r.include ? Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', r.include)),
      (b) => b.toString(16).padStart(2, '0')).join('') : null,
  }))), before);
  assert.equal(results.length, files.length);
  for (const r of results) {
    assert.equal(r.ok, true, r.fileName + ': ' + r.message);
    assert.equal(r.sha, fitHashes.get(r.fileName) || native(r.fileName, ['--fit', '120x90']).sha, r.fileName);
  }
  assert.equal(await page.locator('#progress').textContent(), files.length + ' of ' + files.length + ' converted.');
  // Every card shows its art, facts and buttons.
  assert.equal(await page.locator('.card canvas').count(), files.length);
  assert.equal(await page.locator('.card a[download$=".inc"]').count(), files.length);
  fs.mkdirSync(artifacts, { recursive: true });
  await page.screenshot({ path: path.join(artifacts, 'page.png'), fullPage: true });

  // At one pixel per glyph without the grid, every canvas pixel is the colour
  // the include's tile texts give its glyph.
  await page.selectOption('#zoom', '1');
  await page.uncheck('#grid');
  const drawn = await page.evaluate(() => Array.from(document.querySelectorAll('.card')).map((card) => {
    const fileName = card.querySelector('h3').textContent;
    const result = window.zent.results.find((r) => r.fileName === fileName);
    const text = new TextDecoder().decode(result.include);
    const lines = text.split('\n');
    const start = text.indexOf('{', text.indexOf('\n'));  // the index row, after the array's first line
    const index = text.slice(start, text.indexOf('}', start)).match(/\d+/g).map(Number);
    const [across, down] = index;
    const chunks = lines.filter((l) => l.startsWith(', "')).map((l) => l.slice(3, -1));
    const canvas = card.querySelector('canvas');
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let checked = 0, wrong = 0;
    for (let t = 0; t < across * down; ++t) {
      const [count, first] = [index[2 + 2 * t], index[3 + 2 * t] - 1];
      const tileText = chunks.slice(first, first + count).join('');
      let colour = 0, x = (t % across) * 15, y = Math.floor(t / across) * 15;
      const left = x;
      for (let i = 0; i < tileText.length; ++i) {
        if (tileText[i] === '{') {
          colour = parseInt(tileText.slice(i + 1, i + 7), 16);
          i += 7;
        } else if (tileText[i] === '\\' && tileText[i + 1] === 'n') {
          x = left;
          y += 1;
          i += 1;
        } else {
          const at = (y * canvas.width + x) * 4;
          const rgb = (pixels[at] << 16) | (pixels[at + 1] << 8) | pixels[at + 2];
          wrong += rgb !== colour || pixels[at + 3] !== 255;
          checked += 1;
          x += 1;
        }
      }
    }
    return { fileName, checked, wrong, size: canvas.width * canvas.height };
  }));
  assert.equal(drawn.length, files.length);
  for (const d of drawn) {
    assert.equal(d.checked, d.size, d.fileName + ': every glyph drawn once');
    assert.equal(d.wrong, 0, d.fileName + ': glyphs drawn in another colour');
  }
  await page.selectOption('#zoom', '4');
  await page.check('#grid');
});

test('the page stays within the window at 200 % zoom and asks nothing of other hosts', async () => {
  // 200 % zoom of a 1280-pixel window: a 640-pixel wide layout.
  await page.setViewportSize({ width: 640, height: 900 });
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
  assert.ok(overflow <= 0, 'horizontal scrolling of ' + overflow + ' pixels');
  fs.mkdirSync(artifacts, { recursive: true });
  await page.screenshot({ path: path.join(artifacts, 'page-narrow.png') });
  await page.setViewportSize({ width: 1280, height: 900 });
  // Every control can be reached by the keyboard and has a label.
  const unlabelled = await page.evaluate(() => Array.from(document.querySelectorAll('input, select'))
    .filter((e) => e.labels.length === 0).map((e) => e.id));
  assert.deepEqual(unlabelled, []);
  const foreign = requests.filter((u) => !u.startsWith(origin + '/') && !u.startsWith('blob:') && !u.startsWith('data:'));
  assert.deepEqual(foreign, []);
});
