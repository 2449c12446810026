// The worker that holds one archive: the library in WebAssembly (archive_core.js), the archive
// read where it lies (a browser's File through FileReaderSync, a file through fs.readSync in
// Node), never whole. It answers the requests of archive-extract.mjs one at a time:
//   {id, op: 'open', source, name, journal}  source: a File or Blob, or a path in Node
//   {id, op: 'select', selection}          the entries looked up, and their --list --json lines
//   {id, op: 'read', path, sizeLimit}      one entry's bytes, as extraction writes them
//   {id, op: 'testStart' | 'testSome' | 'testFinish', ...}
//   {id, op: 'extractStart' | 'extractSome' | 'extractFinish', ...}
// and replies {id, result} (an {error, kind} result is the library's refusal). A "Some" request
// works for about a tenth of a second, so that a cancel is never kept waiting long.
'use strict';

const inNode = typeof importScripts !== 'function';
let port;
let corePromise;
let readBytes;  // (source, offset, view) => bytes read

if (inNode) {
  const { parentPort } = require('worker_threads');
  const fs = require('fs');
  const path = require('path');
  port = parentPort;
  const createArchiveCore = require('./archive_core.js');
  // The WebAssembly bytes read here: the loader's own way in Node would fetch() a path.
  const wasmBinary = fs.readFileSync(path.join(__dirname, 'archive_core.wasm'));
  corePromise = createArchiveCore({ wasmBinary, readSource });
  readBytes = (fd, offset, view) => fs.readSync(fd, view, 0, view.length, offset);
} else {
  importScripts('archive_core.js');
  port = self;
  corePromise = createArchiveCore({ readSource });
  // A FileReaderSync read costs a millisecond or more however small, and reads at about
  // 100 MB/s; an asynchronous read of a few MiB is many times faster. So the bytes a call into
  // the library will need (the headers of the entries it lists, the entries it tests or
  // extracts) are read ahead, asynchronously, in blocks of 4 MiB (readAhead()); a read the
  // blocks do not cover falls back to FileReaderSync.
  const reader = new FileReaderSync();
  readBytes = (file, offset, view) => {
    let done = 0;
    while (done < view.length) {
      const at = offset + done;
      const start = at - (at % kBlock);
      let block = blocks.get(start);
      if (!block) {
        block = new Uint8Array(reader.readAsArrayBuffer(file.slice(start, start + kBlock)));
        blocks.set(start, block);
      }
      const from = at - start;
      if (from >= block.length) break;  // the file ends here
      const n = Math.min(block.length - from, view.length - done);
      view.set(block.subarray(from, from + n), done);
      done += n;
    }
    return done;
  };
}

// The blocks read ahead for the next call (a browser's), by their offset.
const kBlock = 4 << 20;
const blocks = new Map();

// Reads the blocks that spans `from` to `to` of `spans` (offset, length pairs; with `headers`,
// only their first bytes) lie in, and lets go of the others. Nothing to do in Node, whose reads
// are cheap.
async function readAhead(from, to, headers) {
  if (inNode || !spans) return;
  const wanted = new Set();
  for (let i = from; i < to; i++) {
    const offset = spans[2 * i];
    const length = headers ? Math.min(spans[2 * i + 1], 64) : spans[2 * i + 1];
    if (length === 0) continue;
    for (let b = offset - (offset % kBlock); b < offset + length; b += kBlock) wanted.add(b);
  }
  for (const start of blocks.keys()) if (!wanted.has(start)) blocks.delete(start);
  const file = sources[0];
  const missing = [...wanted].filter((b) => !blocks.has(b) && b < file.size);
  // A few at a time: each is read into memory whole.
  for (let i = 0; i < missing.length; i += 4) {
    await Promise.all(missing.slice(i, i + 4).map(async (start) => {
      blocks.set(start, new Uint8Array(await file.slice(start, start + kBlock).arrayBuffer()));
    }));
  }
}

// The entries after `from` whose stored bytes come to about `bytes` (at least one); in Node,
// which reads nothing ahead, one.
function chunkEnd(from, bytes) {
  if (inNode) return from + 1;
  let to = from;
  let sum = 0;
  const count = spans ? spans.length / 2 : 0;
  while (to < count && (to === from || sum + spans[2 * to + 1] <= bytes)) {
    sum += spans[2 * to + 1];
    to += 1;
  }
  return Math.max(to, from + 1);
}

// The sources the library reads through, by the number it was given.
const sources = [];
function readSource(reader, offset, view) {
  return readBytes(sources[reader], offset, view);
}

let archive = null;
let spans = null;  // where the selected entries lie: offset, length, in sweep order
let position = 0;  // the next of them a test or extraction hands over
const kSlice = 100;  // ms of work per "Some" request
const kChunkBytes = 32 << 20;  // the most one extraction reply carries

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

// Lets the archive and its file go: the worker is kept for the next one.
function closeArchive() {
  if (archive) archive.delete();
  archive = null;
  if (inNode) sources.forEach((fd) => require('fs').closeSync(fd));
  sources.length = 0;
  blocks.clear();
  spans = null;
}

async function openArchive(source, name, journal) {
  const core = await corePromise;
  closeArchive();
  let file = { handle: source, size: source.size, journal: journal || '' };
  if (inNode) {
    file = openFile(core, source);
    if (file.error) return file;
  }
  sources.push(file.handle);
  const opened = core.WebArchive.open(sources.length - 1, file.size, name, file.journal);
  if (opened.error) return opened;
  archive = opened.archive;
  return { size: file.size };
}

// Hands the next entries over, `step(count)` at a time, their bytes read ahead, until the
// slice is spent, the step says it is done or the reply is full; the results are merged.
async function slice(step, merge) {
  const start = Date.now();
  let result;
  do {
    const to = chunkEnd(position, kChunkBytes / 4);
    await readAhead(position, to, false);
    const r = step(to - position);
    position = to;
    if (r.error) return r;
    result = result ? merge(result, r) : r;
  } while (!result.done && Date.now() - start < kSlice && !result.full);
  return result;
}

let files = [];  // the extraction's entries since the last reply
let fileBytes = 0;

const handlers = {
  open: ({ source, name, journal }) => openArchive(source, name, journal),
  close: () => {
    closeArchive();
    return {};
  },
  select: async ({ selection }) => {
    const looked = archive.select(selection);
    if (looked.error) return looked;
    spans = archive.spans();
    let lines = [];
    for (let from = 0; from < looked.count;) {
      const to = chunkEnd(from, 32 << 20);
      await readAhead(from, to, true);
      const some = archive.records(from, to);
      if (some.error) return some;
      lines = lines.concat(some);
      from = to;
    }
    blocks.clear();
    return { ...looked, lines, unmatched: archive.unmatched() };
  },
  unmatched: () => ({ lines: archive.unmatched() }),
  read: ({ path, sizeLimit }) => {
    blocks.clear();
    return archive.read(path, sizeLimit);
  },
  testStart: ({ sizeLimit }) => {
    position = 0;
    return archive.testStart(sizeLimit);
  },
  testSome: () =>
    slice((count) => archive.testSome(count), (a, b) => ({ lines: a.lines.concat(b.lines), done: b.done })),
  testFinish: ({ cancelled }) => {
    blocks.clear();
    return archive.testFinish(cancelled);
  },
  extractStart: ({ sizeLimit }) => {
    position = 0;
    return archive.extractStart((path, bytes) => {
      files.push({ path, bytes });
      fileBytes += bytes.length;
      return true;
    }, sizeLimit);
  },
  extractSome: async () => {
    const r = await slice(
      (count) => {
        const some = archive.extractSome(count);
        some.full = fileBytes >= kChunkBytes;
        return some;
      },
      (a, b) => ({
        problems: a.problems.concat(b.problems),
        failures: a.failures.concat(b.failures),
        done: b.done,
        full: b.full,
      }),
    );
    return withFiles(r);
  },
  extractFinish: ({ cancelled }) => {
    blocks.clear();
    return withFiles(archive.extractFinish(cancelled));
  },
};

function withFiles(result) {
  result.files = files;
  files = [];
  fileBytes = 0;
  return result;
}

async function handle(message) {
  const { id, op } = message;
  let result;
  try {
    if (op !== 'open' && op !== 'close' && !archive) throw new Error('no archive is open');
    result = await handlers[op](message);
  } catch (e) {
    // What the library did not expect to throw (out of memory in JavaScript, a bug): the worker
    // may be in any state, so the page replaces it.
    result = { error: String(e && e.message ? e.message : e), kind: 'worker' };
  }
  const transfer = result.files ? result.files.map((f) => f.bytes.buffer) : [];
  port.postMessage({ id, result }, transfer);
}

// One request at a time, in order.
let queue = Promise.resolve();
const receive = (message) => {
  queue = queue.then(() => handle(message));
};
if (inNode) port.on('message', receive);
else port.onmessage = (event) => receive(event.data);
