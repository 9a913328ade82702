// The page's worker: holds the WebAssembly converter (zent-core, placed
// before this script in zent-worker.js by scripts/build-web.sh) and converts
// one picture per message, so the page never waits on a conversion.
// Message in:  {id, bytes (ArrayBuffer), fileName, options}
// Message out: {id, result: {name, include, preview, message, ok}} or {id, error}
'use strict';

let corePromise = null;
let printed = [];  // {err, text} lines of the conversion under way

// The in-memory file system grows a file by an eighth at a time once it
// passes 1 MiB, copying all of it each time: the preview of a full-size photo
// (tens of megabytes, written in small pieces) would spend seconds in those
// copies. Doubling keeps the copying within twice the file's size.
function growByDoubling(core) {
  core.MEMFS.expandFileStorage = (node, wanted) => {
    const capacity = node.contents ? node.contents.length : 0;
    if (capacity >= wanted) return;
    const old = node.contents;
    node.contents = new Uint8Array(Math.max(wanted, capacity * 2, 256));
    if (node.usedBytes > 0) node.contents.set(old.subarray(0, node.usedBytes), 0);
  };
}

function loadCore() {
  if (!corePromise) {
    corePromise = createZentCore({
      print: (text) => printed.push({ err: false, text }),
      printErr: (text) => printed.push({ err: true, text }),
    }).then((core) => {
      growByDoubling(core);
      return core;
    });
  }
  return corePromise;
}

// The console options as arguments, one per line. fit: "WxH" or [w, h].
function optionLines(options) {
  const args = [];
  const o = options || {};
  const whole = (v, what) => {
    const n = Number(v);
    if (!Number.isInteger(n)) throw new Error(what + ': not a whole number: ' + v);
    return String(n);
  };
  if (o.fit !== undefined && o.fit !== null && o.fit !== '') {
    const fit = Array.isArray(o.fit) ? o.fit[0] + 'x' + o.fit[1] : String(o.fit);
    args.push('--fit', fit);
  }
  if (o.width !== undefined && o.width !== null && o.width !== '') args.push('--width', whole(o.width, 'width'));
  if (o.height !== undefined && o.height !== null && o.height !== '') args.push('--height', whole(o.height, 'height'));
  if (o.frame !== undefined && o.frame !== null && o.frame !== '') args.push('--frame', whole(o.frame, 'frame'));
  if (o.rawPreview) args.push('--raw-preview');
  if (o.name) args.push('--name', String(o.name));
  for (const a of args) {
    if (a.indexOf('\n') >= 0) throw new Error('an option holds a line feed');
  }
  return args.join('\n');
}

// The include's file name, as the console program names it: the picture's
// name without its folder and without everything from its first dot on.
function includeName(fileName) {
  const base = fileName.replace(/^.*[\\/]/, '');
  return base.split('.')[0] + '.inc';
}

function convert(core, bytes, fileName, options) {
  const FS = core.FS;
  // The picture keeps its own name (the array is named after it); folders
  // in it are dropped, so it always lands in /in.
  const given = String(fileName || '').replace(/^.*[\\/]/, '');
  const base = given === '' || given === '.' || given === '..' ? 'picture' : given;
  for (const dir of ['/in', '/out']) {
    try { FS.mkdir(dir); } catch (e) { /* exists */ }
  }
  // Opened from /in by its bare name, so messages name it as the console
  // program names a picture given by its name in the current folder.
  FS.chdir('/in');
  const picture = base;
  const preview = options && options.preview === false ? '' : '/out/art.png';
  const remove = (path) => { try { FS.unlink(path); } catch (e) { /* absent */ } };
  printed = [];
  let status;
  let convertMs = 0;
  try {
    FS.writeFile('/in/' + picture, new Uint8Array(bytes));
    const t0 = performance.now();
    status = core.ccall('zent_web_convert', 'number', ['string', 'string', 'string'],
                        [picture, preview, optionLines(options)]);
    convertMs = performance.now() - t0;
  } catch (e) {
    remove('/in/' + picture);
    throw e;
  }
  // timing: where the time went, for the benchmark (bench/web).
  const result = { name: includeName(base), include: null, preview: null, message: '', ok: status === 0,
                   timing: { convertMs, copyMs: 0 } };
  if (status === 0) {
    const t1 = performance.now();
    const data = core._zent_web_include_data() >>> 0;
    result.include = core.HEAPU8.slice(data, data + (core._zent_web_include_size() >>> 0));
    result.timing.copyMs = performance.now() - t1;
    if (preview) result.preview = FS.readFile(preview);
  }
  core._zent_web_release();
  // Errors and notices; the console's "Done!" says nothing here.
  result.message = printed.filter((l) => l.err || (l.text !== '' && !/^Done!/.test(l.text)))
    .map((l) => l.text).join('\n').trim();
  if (!result.ok && result.message === '') result.message = 'the conversion failed';
  remove('/in/' + picture);
  if (preview) remove(preview);
  return result;
}

self.onmessage = async (event) => {
  const { id, bytes, fileName, options } = event.data;
  try {
    const core = await loadCore();
    if (bytes === undefined) {  // warm-up: load the module only
      self.postMessage({ id, result: null });
      return;
    }
    const result = convert(core, bytes, fileName, options);
    const transfer = [];
    if (result.include) transfer.push(result.include.buffer);
    if (result.preview) transfer.push(result.preview.buffer);
    self.postMessage({ id, result }, transfer);
  } catch (e) {
    // A trap (out of memory, say) leaves the module unusable: the next
    // picture gets a fresh one.
    corePromise = null;
    self.postMessage({ id, error: String(e && e.message ? e.message : e) });
  }
};
