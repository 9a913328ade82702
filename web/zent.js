// The page: pictures dropped or chosen are converted by the worker
// (zent-worker.js, the WebAssembly converter) one after another; each gets
// its art drawn as the include encodes it, its facts and its buttons.
// Scripts and tests use zent.convert(bytes, fileName, options), which
// resolves to {name, include, preview, message, ok}.
'use strict';

const zent = (() => {
  const worker = new Worker('zent-worker.js');
  const pending = new Map();
  let nextId = 1;
  let chain = Promise.resolve();

  worker.onmessage = (event) => {
    const { id, result, error } = event.data;
    const waiting = pending.get(id);
    if (!waiting) return;
    pending.delete(id);
    if (error !== undefined) waiting.reject(new Error(error));
    else waiting.resolve(result);
  };
  worker.onerror = (event) => {
    for (const waiting of pending.values()) waiting.reject(new Error(event.message || 'the converter failed to load'));
    pending.clear();
  };

  function post(message, transfer) {
    return new Promise((resolve, reject) => {
      const id = nextId++;
      pending.set(id, { resolve, reject });
      worker.postMessage(Object.assign({ id }, message), transfer || []);
    });
  }

  // Loads the module now, so the page works offline from here on.
  const ready = post({});

  // bytes: ArrayBuffer, typed array or Blob; options as the console's:
  // {fit: "WxH" or [w, h], width, height, frame, rawPreview, name}, and
  // preview: false to skip the preview PNG. Conversions run in call order.
  function convert(bytes, fileName, options) {
    const run = async () => {
      let buffer;
      if (bytes instanceof Blob) buffer = await bytes.arrayBuffer();
      else if (ArrayBuffer.isView(bytes)) buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
      else buffer = bytes.slice(0);
      return post({ bytes: buffer, fileName: String(fileName), options: options || {} }, [buffer]);
    };
    const result = chain.then(run, run);
    chain = result.catch(() => {});
    return result;
  }

  return { convert, ready, results: [] };
})();
window.zent = zent;

// ---- the include read back -------------------------------------------------

// Tiles across and down and the number of chunks, from the include's head:
// "new name[N][] = {" (N = 1 + chunks) and the index row "{ across, down, ...".
function includeFacts(bytes) {
  const head = new TextDecoder().decode(bytes.subarray(0, 512));
  const rows = /\[(\d+)\]\[\]/.exec(head);
  const index = /\{\s*(\d+),\s*(\d+)/.exec(head.slice(head.indexOf('\n')));
  return {
    chunks: rows ? Number(rows[1]) - 1 : 0,
    across: index ? Number(index[1]) : 0,
    down: index ? Number(index[2]) : 0,
  };
}

function formatBytes(n) {
  if (n < 1024) return n + ' bytes';
  if (n < 1024 * 1024) return (n / 1024).toFixed(1) + ' KB (' + n.toLocaleString('en') + ' bytes)';
  return (n / 1024 / 1024).toFixed(1) + ' MB (' + n.toLocaleString('en') + ' bytes)';
}

// ---- the page ---------------------------------------------------------------

const $ = (id) => document.getElementById(id);
const TILE = 15;
const MAX_CANVAS = 4096;  // pixels a side; larger art is drawn with smaller glyphs

function currentOptions() {
  const options = {};
  if ($('keep-size').checked) {
    // no sizing: the picture's own size
  } else {
    options.fit = [$('fit-width').value || 0, $('fit-height').value || 0].join('x');
  }
  if ($('frame').value !== '') options.frame = $('frame').value;
  if ($('raw-preview').checked) options.rawPreview = true;
  return options;
}

function syncSizeControls() {
  const keep = $('keep-size').checked;
  $('fit-width').disabled = keep;
  $('fit-height').disabled = keep;
}

// Draws the art: each glyph a zoom x zoom square in its colour, and the tile
// grid when asked. The preview PNG holds one pixel per glyph.
function drawArt(card) {
  const bitmap = card.bitmap;
  if (!bitmap) return;
  const canvas = card.canvas;
  const zoom = Number($('zoom').value) || 1;
  const largest = Math.max(bitmap.width, bitmap.height);
  let glyph = zoom;
  if (largest * glyph > MAX_CANVAS) {
    // Whole pixels per glyph while they fit, so every glyph stays a square.
    const fits = MAX_CANVAS / largest;
    glyph = fits >= 1 ? Math.floor(fits) : fits;
  }
  canvas.width = Math.max(1, Math.round(bitmap.width * glyph));
  canvas.height = Math.max(1, Math.round(bitmap.height * glyph));
  const ctx = canvas.getContext('2d');
  ctx.imageSmoothingEnabled = glyph < 1;
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  ctx.drawImage(bitmap, 0, 0, canvas.width, canvas.height);
  if ($('grid').checked && glyph >= 1) {
    ctx.fillStyle = 'rgba(128, 128, 128, 0.9)';
    for (let x = TILE; x < bitmap.width; x += TILE) ctx.fillRect(Math.round(x * glyph), 0, 1, canvas.height);
    for (let y = TILE; y < bitmap.height; y += TILE) ctx.fillRect(0, Math.round(y * glyph), canvas.width, 1);
  }
  card.scaleNote.textContent = glyph < zoom
    ? 'Shown with ' + (glyph >= 1 ? glyph.toFixed(0) + ' x ' + glyph.toFixed(0) + ' pixels' : 'less than a pixel') +
      ' per glyph to fit the page.'
    : '';
}

function redrawAll() {
  for (const card of cards) drawArt(card);
}

const cards = [];

function makeCard(fileName) {
  const section = document.createElement('section');
  section.className = 'card';
  section.setAttribute('aria-busy', 'true');
  const heading = document.createElement('h3');
  heading.textContent = fileName;
  const status = document.createElement('p');
  status.className = 'status';
  status.setAttribute('role', 'status');
  status.textContent = 'Converting…';
  section.append(heading, status);
  $('results').prepend(section);
  return { section, heading, status };
}

function copyText(text) {
  if (navigator.clipboard && window.isSecureContext) return navigator.clipboard.writeText(text);
  const area = document.createElement('textarea');
  area.value = text;
  area.setAttribute('readonly', '');
  area.style.position = 'fixed';
  area.style.opacity = '0';
  document.body.append(area);
  area.select();
  const ok = document.execCommand('copy');
  area.remove();
  return ok ? Promise.resolve() : Promise.reject(new Error('copy refused'));
}

async function showResult(card, fileName, result) {
  const { section, status } = card;
  section.setAttribute('aria-busy', 'false');
  zent.results.push({ fileName, name: result.name, ok: result.ok, message: result.message, include: result.include });
  if (!result.ok) {
    section.classList.add('failed');
    status.setAttribute('role', 'alert');
    status.textContent = 'Not converted: ' + result.message;
    return;
  }
  status.textContent = result.message ? 'Converted, with a notice: ' + result.message : 'Converted.';
  const facts = includeFacts(result.include);
  const blob = new Blob([result.include], { type: 'text/plain' });
  const url = URL.createObjectURL(blob);

  const figure = document.createElement('figure');
  const frame = document.createElement('div');
  frame.className = 'art';
  const canvas = document.createElement('canvas');
  canvas.setAttribute('role', 'img');
  const caption = document.createElement('figcaption');
  const scaleNote = document.createElement('p');
  scaleNote.className = 'note';
  frame.append(canvas);
  figure.append(frame, caption);

  const list = document.createElement('ul');
  list.className = 'facts';
  const entry = { canvas, scaleNote, bitmap: null };
  if (result.preview) {
    entry.bitmap = await createImageBitmap(new Blob([result.preview], { type: 'image/png' }));
    const w = entry.bitmap.width, h = entry.bitmap.height;
    canvas.setAttribute('aria-label', 'The art of ' + fileName + ', ' + w + ' by ' + h + ' glyphs');
    caption.textContent = w + ' × ' + h + ' glyphs';
  }
  for (const text of [
    facts.across + ' × ' + facts.down + ' tiles (' + (facts.across * facts.down) + ')',
    facts.chunks.toLocaleString('en') + ' chunks',
    formatBytes(result.include.length),
  ]) {
    const li = document.createElement('li');
    li.textContent = text;
    list.append(li);
  }

  const actions = document.createElement('div');
  actions.className = 'actions';
  const download = document.createElement('a');
  download.href = url;
  download.download = result.name;
  download.className = 'button';
  download.textContent = 'Download ' + result.name;
  const copy = document.createElement('button');
  copy.type = 'button';
  copy.textContent = 'Copy the include';
  const copied = document.createElement('span');
  copied.setAttribute('role', 'status');
  copy.addEventListener('click', () => {
    copyText(new TextDecoder().decode(result.include)).then(
      () => { copied.textContent = 'Copied.'; },
      () => { copied.textContent = 'Copying was refused; use the download.'; });
  });
  actions.append(download, copy, copied);
  section.append(list, actions, figure, scaleNote);
  cards.push(entry);
  drawArt(entry);
}

async function convertFiles(files) {
  const list = Array.from(files);
  if (list.length === 0) return;
  const options = currentOptions();
  $('progress').textContent = 'Converting ' + list.length + (list.length === 1 ? ' picture…' : ' pictures…');
  const jobs = list.map((file) => {
    const card = makeCard(file.name);
    return zent.convert(file, file.name, options)
      .then((result) => showResult(card, file.name, result))
      .catch((e) => showResult(card, file.name, { ok: false, message: String(e.message || e), name: '' }));
  });
  await Promise.all(jobs);
  const failed = zent.results.slice(-list.length).filter((r) => !r.ok).length;
  $('progress').textContent = (list.length - failed) + ' of ' + list.length + ' converted.';
}

function setUp() {
  $('file').addEventListener('change', (event) => {
    convertFiles(event.target.files);
    event.target.value = '';
  });
  const drop = $('drop');
  const over = (event) => {
    event.preventDefault();
    drop.classList.add('over');
  };
  drop.addEventListener('dragenter', over);
  drop.addEventListener('dragover', over);
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    if (event.dataTransfer) convertFiles(event.dataTransfer.files);
  });
  // A picture dropped beside the area is not opened by the browser instead.
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => event.preventDefault());
  $('keep-size').addEventListener('change', syncSizeControls);
  $('zoom').addEventListener('change', redrawAll);
  $('grid').addEventListener('change', redrawAll);
  syncSizeControls();
  zent.ready.then(
    () => { $('ready').textContent = 'Ready: the converter is loaded and works offline from now on.'; },
    (e) => { $('ready').textContent = 'The converter could not be loaded: ' + e.message; });
}

setUp();
