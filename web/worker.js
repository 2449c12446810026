// The worker that holds one archive: the library in WebAssembly (archive_core.js), the archive
// read where it lies (a browser's File sliced and read, a file through fs.readSync in Node),
// never whole. It answers the requests of archive-extract.mjs one at a time:
//   {id, op: 'open', source, name, journal}  source: a File or Blob, or a path in Node
//   {id, op: 'select', selection, lookups}  the entries looked up
//   {id, op: 'records'}                    their --list --json lines
//   {id, op: 'read', path, sizeLimit}      one entry's bytes, as extraction writes them
//   {id, op: 'attach', source}             as a worker of the pool: the file its entries are in
//   {id, op: 'decode', descriptions, spans, bytes}  entries read and decoded
//   {id, op: 'warmUpArchive'}              a made-up archive, to look up once at load
//   {id, op: 'testStart' | 'testSome' | 'testFinish', ...}
//   {id, op: 'extractStart' | 'extractSome' | 'extractFinish', ...}
// and replies {id, result} (an {error, kind} result is the library's refusal). A "Some" request
// takes the few entries of one chunk, so that a cancel is never kept waiting long.
'use strict';

const inNode = typeof importScripts !== 'function';
let port;
let newCore;  // () => a promise of a new instance of the module
let core = null;  // the module, once loaded
let readBytes;  // (source, offset, view) => bytes read

if (inNode) {
  const { parentPort } = require('worker_threads');
  const fs = require('fs');
  const path = require('path');
  port = parentPort;
  const createArchiveCore = require('./archive_core.js');
  // The WebAssembly bytes read here: the loader's own way in Node would fetch() a path.
  const wasmBinary = fs.readFileSync(path.join(__dirname, 'archive_core.wasm'));
  newCore = () => createArchiveCore({ wasmBinary, readSource });
  readBytes = (fd, offset, view) => fs.readSync(fd, view, 0, view.length, offset);
} else {
  importScripts('archive_core.js');
  port = self;
  // The WebAssembly bytes fetched once: a module made anew (renew()) fetches nothing.
  const wasmBinary = fetch('archive_core.wasm').then((r) => r.arrayBuffer());
  newCore = async () => createArchiveCore({ wasmBinary: await wasmBinary, readSource });
  // A FileReaderSync read costs a millisecond or more however small, and reads at about
  // 100 MB/s; an asynchronous read of a few MiB is many times faster. So the bytes a call into
  // the library will need (the headers of the entries it lists, the entries it tests or
  // extracts) are read ahead, asynchronously (readAhead()); a read they do not cover falls back
  // to FileReaderSync.
  const reader = new FileReaderSync();
  readBytes = (file, offset, view) => {
    const slice = reader.readAsArrayBuffer(file.slice(offset, offset + view.length));
    view.set(new Uint8Array(slice));
    return slice.byteLength;
  };
}

// A module made, with what the library calls back into: the pool's entries by their key
// (loadedOf) and the buffers decoded entries are packed into (packBytes).
async function readyCore() {
  const made = await newCore();
  made.loaded = new Map();
  made.loadedOf = (kind, offset, length, stored) => made.loaded.get(keyOf(kind, offset, length, stored));
  made.packBytes = packBytes;
  return made;
}
let corePromise = readyCore();

// The bytes read ahead for the next call (a browser's): ranges of the file, {start, bytes}, in
// the order of their starts; and the first bytes of entries (their headers), by offset.
let ranges = [];
let releaseRanges = null;  // gives their buffer back
const heads = new Map();

// Serves a read from what was read ahead: the bytes read, or -1 when they were not.
function readAheadBytes(offset, view) {
  const head = heads.get(offset);
  if (head && view.length <= head.length) {
    view.set(head.subarray(0, view.length));
    return view.length;
  }
  let low = 0;
  let high = ranges.length;
  while (low < high) {
    const mid = (low + high) >> 1;
    if (ranges[mid].start <= offset) low = mid + 1;
    else high = mid;
  }
  const range = ranges[low - 1];
  if (!range || offset + view.length > range.start + range.bytes.length) return -1;
  view.set(range.bytes.subarray(offset - range.start, offset - range.start + view.length));
  return view.length;
}

// Where entries `from` to `to` of `spans` (offset, stored length of each) lie: [start, end] of
// each with data, with `headers` only their first bytes.
function wantedOf(spans, from, to, headers) {
  const wanted = [];
  for (let i = from; i < to; i++) {
    const length = headers ? Math.min(spans[2 * i + 1], kHeadBytes) : spans[2 * i + 1];
    if (length > 0) wanted.push([spans[2 * i], spans[2 * i] + length]);
  }
  return wanted;
}
const kHeadBytes = 16;

// Reads ahead the bytes of `spans` `from` to `to` (with `headers`, only their first bytes) and
// lets go of what was read before. Nothing to do in Node, whose reads are cheap.
async function readAhead(from, to, headers) {
  forget();
  if (inNode || !spans) return;
  const wanted = wantedOf(spans, from, to, headers);
  if (!headers) {
    ({ ranges, release: releaseRanges } = await readRanges(sources[0], wanted));
    return;
  }
  // Only the first bytes of each are kept: the ranges are streamed through one small buffer,
  // each header's bytes copied out as the pieces holding them go by (a header may straddle two).
  // (The ranges come in the order of `wanted`, which merged() sorts.)
  let i = 0;
  let buffer = takeBuffer(kHeadPiece);
  for (const [start, end] of merged(wanted)) {
    // The headers in this range: where each lies ([start, end], at most kHeadBytes, as far as
    // the range goes), its bytes, and how many of them have come.
    const these = [];
    for (; i < wanted.length && wanted[i][0] < end; i++) {
      const at = wanted[i][0];
      const bytes = new Uint8Array(kHeadBytes);
      these.push({ at, end: Math.min(at + kHeadBytes, end), bytes, filled: 0 });
    }
    // The first not wholly behind the piece (their ends grow with their starts): each from it
    // that starts before the piece's end has some of its bytes in the piece.
    let low = 0;
    ({ buffer } = await readInto(sources[0], start, end, buffer, 0, (at, bytes) => {
      const pieceEnd = at + bytes.length;
      while (low < these.length && these[low].end <= at) low++;
      for (let k = low; k < these.length && these[k].at < pieceEnd; k++) {
        const h = these[k];
        const from = Math.max(h.at, at);
        const to = Math.min(h.end, pieceEnd);
        h.bytes.set(bytes.subarray(from - at, to - at), from - h.at);
        h.filled = to - h.at;
      }
    }));
    for (const h of these) {
      if (h.filled > 0) heads.set(h.at, h.bytes.subarray(0, h.filled));
    }
  }
  keepBuffer(buffer);
}
// The piece the headers are streamed through: a stream's reads come in pieces of a few hundred
// KiB at most, and a larger buffer would only be more memory.
const kHeadPiece = 1 << 20;

// The ranges `wanted` ([start, end], sorted here) covers, those close to each other merged: a
// read of the file costs a few milliseconds however small, about what a MiB more would.
const kGap = 1 << 20;
const kMostRange = 16 << 20;
function merged(wanted) {
  wanted.sort((a, b) => a[0] - b[0]);
  const ranges = [];
  for (const [start, end] of wanted) {
    const last = ranges[ranges.length - 1];
    if (last && start <= last[1] + kGap && Math.max(end, last[1]) - last[0] <= kMostRange) {
      last[1] = Math.max(last[1], end);
    } else {
      ranges.push([start, end]);
    }
  }
  return ranges;
}

// The ranges covering `wanted`, read one after another into one buffer: {ranges ([{start, bytes}]
// in the order of their starts), release (gives the buffer back once they are done with)}.
async function readRanges(file, wanted) {
  const spread = merged(wanted);
  let buffer = takeBuffer(spread.reduce((total, [start, end]) => total + end - start, 0));
  const read = [];
  let at = 0;
  for (const [start, end] of spread) {
    const r = await readInto(file, start, end, buffer, at);
    buffer = r.buffer;
    read.push({ start, at, length: r.length });
    at += r.length;
  }
  return {
    ranges: read.map((r) => ({ start: r.start, bytes: new Uint8Array(buffer, r.at, r.length) })),
    release: () => keepBuffer(buffer),
  };
}

// Bytes `start` to `end` of `file` read into `buffer` from `at`: {buffer (the same memory, which
// a stream's read hands back as a new ArrayBuffer), length (fewer when the file is shorter)}.
// With `onPiece`, they are streamed through `buffer` instead, a piece at a time from its start,
// each handed to onPiece(offset in the file, bytes) before the next is read.
//
// They are read through the file's byte stream into the caller's buffer. A buffer of its own for
// each read (Blob.arrayBuffer()) costs a browser more than reading into it, and the browser frees
// such buffers late: reading a GB in 16 MiB pieces that way lifted the tab by more than 200 MiB
// here, and this way by about 25 MiB, in half the time. A stream costs a few milliseconds to set
// up, so its ranges are large (see merged()). Where the file's stream takes no reader of ours
// (not a byte stream), each range is read into a buffer of its own and copied.
let byob = true;
async function readInto(file, start, end, buffer, at, onPiece = null) {
  let reader = null;
  if (byob) {
    try {
      reader = file.slice(start, end).stream().getReader({ mode: 'byob' });
    } catch {
      byob = false;
    }
  }
  if (!reader) {
    const bytes = new Uint8Array(await file.slice(start, end).arrayBuffer());
    if (onPiece) onPiece(start, bytes);
    else new Uint8Array(buffer, at, bytes.length).set(bytes);
    return { buffer, length: bytes.length };
  }
  reading.add(reader);
  try {
    const wanted = end - start;
    let length = 0;
    while (length < wanted) {
      const view = onPiece
        ? new Uint8Array(buffer, 0, Math.min(buffer.byteLength, wanted - length))
        : new Uint8Array(buffer, at + length, wanted - length);
      const { done, value } = await reader.read(view);
      if (value) buffer = value.buffer;
      if (done) break;
      onPiece?.(start + length, value);
      length += value.length;
    }
    reader.cancel().catch(() => {});
    return { buffer, length };
  } finally {
    reading.delete(reader);
  }
}

// The readers being read. The browser here collects a file's stream as garbage, with the read it
// has under way, when nothing but that read's own callbacks refers to it: the read then never
// ends (it happened in about one run in four of the page's tests; with garbage collection forced
// every few milliseconds, to every stream). Held here, they live until their reads are done.
const reading = new Set();

// Read buffers kept for the next reads: a few, none larger than the largest merged range.
const kMostKept = 2;
const kept = [];
function takeBuffer(size) {
  const i = kept.findIndex((b) => b.byteLength >= size);
  return i >= 0 ? kept.splice(i, 1)[0] : new ArrayBuffer(size);
}
function keepBuffer(buffer) {
  if (buffer.byteLength > 0 && buffer.byteLength <= kMostRange && kept.length < kMostKept) {
    kept.push(buffer);
  }
}

// The sources the library reads through, by the number it was given.
const sources = [];
function readSource(reader, offset, view) {
  const n = readAheadBytes(offset, view);
  return n >= 0 ? n : readBytes(sources[reader], offset, view);
}

let archive = null;
let spans = null;  // where the selected entries lie: offset, length, in sweep order
let position = 0;  // the next of them a test or extraction hands over

// The system's reason for a failed file operation in Node, as the C library words it.
const reasons = {
  ENOENT: 'No such file or directory',
  EACCES: 'Permission denied',
  EPERM: 'Operation not permitted',
  ENOTDIR: 'Not a directory',
  ELOOP: 'Too many levels of symbolic links',
  ENAMETOOLONG: 'File name too long',
  EMFILE: 'Too many open files',
  EIO: 'Input/output error',
};
const reasonOf = (e) => reasons[e.code] || e.code || String(e);

// A file in Node, refused as the command line refuses it; its journal's name when a stopped
// update left one beside it (the page cannot see one, unless the user gives it: `journal`).
function openFile(core, name) {
  const fs = require('fs');
  let fd;
  try {
    fd = fs.openSync(name, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  } catch (e) {
    return { error: `cannot open ${name}: ${reasonOf(e)}`, kind: 'host' };
  }
  const info = fs.fstatSync(fd);
  let refusal;
  if (info.isDirectory()) refusal = `${name}: is a directory`;
  else if (!info.isFile()) {
    refusal = `${name}: is not a regular file (the archive is read at random offsets)`;
  }
  if (refusal) {
    fs.closeSync(fd);
    return { error: refusal, kind: 'host' };
  }
  const journal = core.journalPath(fs.realpathSync(name));
  return { handle: fd, size: info.size, journal: fs.existsSync(journal) ? journal : '' };
}

// Lets the archive (or the pool's decoder) and its file go: the worker is kept for the next one.
function closeArchive() {
  if (archive) archive.delete();
  archive = null;
  if (decoder) decoder.delete();
  decoder = null;
  if (inNode) sources.forEach((fd) => require('fs').closeSync(fd));
  sources.length = 0;
  forget();
  spans = null;
}

// The file `source` (a File, or a path in Node) as the library's reader 0: {size, journal} or
// {error, kind}.
async function openSource(source, journal) {
  core = await corePromise;
  closeArchive();
  let file = { handle: source, size: source.size, journal: journal || '' };
  if (inNode) {
    file = openFile(core, source);
    if (file.error) return file;
  }
  sources.push(file.handle);
  return file;
}

async function openArchive(source, name, journal) {
  const file = await openSource(source, journal);
  if (file.error) return file;
  const opened = core.WebArchive.open(0, file.size, name, file.journal);
  if (opened.error) return opened;
  archive = opened.archive;
  return { size: file.size };
}

// A worker of the pool reads the file, and decodes the entries it is given, without looking
// them up: it has no machine.
let decoder = null;
let decoding = 0;  // the size of the file it decodes from

async function attach(source) {
  const file = await openSource(source, '');
  if (file.error) return file;
  decoding = file.size;
  decoder = new core.WebDecoder(0, file.size);
  return {};
}

// A module of the pool's whose memory grew past what the pool allows (WebAssembly memory never
// shrinks) is replaced by a new one, over the same file.
async function renew() {
  decoder.delete();
  decoder = null;
  forget();
  corePromise = readyCore();
  core = await corePromise;
  decoder = new core.WebDecoder(0, decoding);
}

// The pool's decoded entries go to the page packed into buffers of kPack bytes or more, which
// come back (op 'spare') once their files are written: a new buffer costs a browser more than
// the copy into it, its pages being new.
const kPack = 8 << 20;
const kMostSpare = 4;
const spare = [];
let packs = [];  // the buffers of the entries decoded since the last reply
let pack = null;
let packAt = 0;

function packBytes(view) {
  if (!pack || packAt + view.length > pack.byteLength) {
    const size = Math.max(kPack, view.length);
    const i = spare.findIndex((b) => b.byteLength >= size);
    pack = i >= 0 ? spare.splice(i, 1)[0] : new ArrayBuffer(size);
    packs.push(pack);
    packAt = 0;
  }
  const bytes = new Uint8Array(pack, packAt, view.length);
  bytes.set(view);
  packAt += view.length;
  return bytes;
}

// Forgets what was read ahead and what the pool handed over.
function forget() {
  releaseRanges?.();
  releaseRanges = null;
  ranges = [];
  heads.clear();
  if (core) core.loaded.clear();
}

// What the pool found of an entry is known by the entry's description.
const keyOf = (kind, offset, length, stored) => `${kind}:${offset}:${length}:${stored}`;

// Takes what the pool found of the next entries (decode's results), or, when it has nothing for
// them (no pool, or its worker failed), reads their bytes ahead to work on them here.
async function take(count, loaded) {
  forget();
  if (!loaded) {
    await readAhead(position, position + count, false);
    return;
  }
  for (const e of loaded) {
    core.loaded.set(keyOf(e.kind, e.offset, e.length, e.stored), e);
    heads.set(e.offset, e.head);
  }
}

let files = [];  // the extraction's entries since the last reply

const handlers = {
  open: ({ source, name, journal }) => openArchive(source, name, journal),
  close: () => {
    closeArchive();
    return {};
  },
  // The entries `selection` takes, looked up, with where they lie; with `lookups`, what the
  // lookups say of each.
  select: ({ selection, lookups }) => {
    forget();
    const looked = archive.select(selection);
    if (looked.error) return looked;
    spans = archive.spans();
    const descriptions = archive.descriptions();
    if (!lookups) return { ...looked, spans, descriptions };
    return {
      ...looked, spans, descriptions, lookups: archive.lookedUp(), unmatched: archive.unmatched(),
    };
  },
  // The selected entries' --list --json lines, which read their headers.
  records: async () => {
    const count = spans.length / 2;
    await readAhead(0, count, true);
    const lines = archive.records(0, count);
    forget();
    return lines.error ? lines : { lines };
  },
  unmatched: () => ({ lines: archive.unmatched() }),
  spare: ({ buffers }) => {
    spare.push(...buffers.slice(0, kMostSpare - spare.length));
    return {};
  },
  summary: ({ written, notWritten }) => ({ summary: core.writtenSummary(written, notWritten) }),
  read: ({ path, sizeLimit }) => {
    forget();
    return archive.read(path, sizeLimit);
  },
  // A worker of the pool: the entries `descriptions` describes (as the worker that looked them
  // up gives them), read and decoded (with `bytes`) or tested; past `mostMemory`, the module is
  // made anew after them.
  attach: ({ source }) => attach(source),
  decode: async ({ descriptions, bytes, mostMemory, ready }) => {
    ({ ranges, release: releaseRanges } = await ready);
    const found = decoder.decodeSome(descriptions, bytes);
    forget();
    packs = [];  // gone with the reply
    pack = null;
    if (found.error) return found;
    if (core.HEAPU8.length > mostMemory) await renew();
    return { found };
  },
  warmUpArchive: async () => {
    core = await corePromise;
    return { bytes: core.warmUpArchive() };
  },
  testStart: ({ sizeLimit }) => {
    position = 0;
    return archive.testStart(sizeLimit);
  },
  // The next `count` entries tested, with what the pool found of them (`loaded`).
  testSome: async ({ count, loaded }) => {
    await take(count, loaded);
    const r = archive.testSome(count);
    position += count;
    forget();
    return r;
  },
  testFinish: ({ cancelled }) => {
    forget();
    return archive.testFinish(cancelled);
  },
  extractStart: ({ sizeLimit }) => {
    position = 0;
    return archive.extractStart((path, bytes, crc) => {
      files.push({ path, bytes, crc });
      return true;
    }, sizeLimit);
  },
  // The next `count` entries extracted, with what the pool found of them (`loaded`).
  extractSome: async ({ count, loaded }) => {
    await take(count, loaded);
    const r = archive.extractSome(count);
    position += count;
    forget();
    return withFiles(r);
  },
  extractFinish: ({ cancelled }) => {
    forget();
    return withFiles(archive.extractFinish(cancelled));
  },
};

function withFiles(result) {
  result.files = files;
  files = [];
  return result;
}

const needsNothing = new Set(['open', 'attach', 'close', 'spare', 'warmUpArchive']);
async function handle(message) {
  const { id, op } = message;
  let result;
  try {
    if (!needsNothing.has(op) && !(op === 'decode' ? decoder : archive)) {
      throw new Error('no archive is open');
    }
    result = await handlers[op](message);
  } catch (e) {
    // What the library did not expect to throw (out of memory in JavaScript, a bug): the worker
    // may be in any state, so the page replaces it.
    result = { error: String(e && e.message ? e.message : e), kind: 'worker' };
  }
  const buffers = new Set();
  result.files?.forEach((f) => buffers.add(f.bytes.buffer));
  result.found?.forEach((e) => e.bytes && buffers.add(e.bytes.buffer));
  port.postMessage({ id, result }, [...buffers]);
}

// One request at a time, in order.
let queue = Promise.resolve();
const receive = (message) => {
  // A decode request's bytes are read as soon as it comes, while the requests before it are
  // decoded (the pool is sent no more than its budget ahead).
  if (message.op === 'decode') {
    const file = sources[0];
    const wanted = wantedOf(message.spans, 0, message.spans.length / 2, false);
    const none = { ranges: [], release: null };
    message.ready = inNode || !file ? none : readRanges(file, wanted).catch(() => none);
  }
  queue = queue.then(() => handle(message));
};
if (inNode) port.on('message', receive);
else port.onmessage = (event) => receive(event.data);
