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
  const reader = new FileReaderSync();
  readBytes = (file, offset, view) => {
    const bytes = new Uint8Array(reader.readAsArrayBuffer(file.slice(offset, offset + view.length)));
    view.set(bytes);
    return bytes.length;
  };
}

// The sources the library reads through, by the number it was given.
const sources = [];
function readSource(reader, offset, view) {
  return readBytes(sources[reader], offset, view);
}

let archive = null;
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

// Calls `step` until the slice is spent or it says it is done; its results are merged.
function slice(step, merge) {
  const start = Date.now();
  let result;
  do {
    const r = step();
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
  select: ({ selection }) => {
    const looked = archive.select(selection);
    if (looked.error) return looked;
    return { ...looked, lines: archive.records(), unmatched: archive.unmatched() };
  },
  unmatched: () => ({ lines: archive.unmatched() }),
  read: ({ path, sizeLimit }) => archive.read(path, sizeLimit),
  testStart: ({ sizeLimit }) => archive.testStart(sizeLimit),
  testSome: () =>
    slice(() => archive.testSome(1), (a, b) => ({ lines: a.lines.concat(b.lines), done: b.done })),
  testFinish: ({ cancelled }) => archive.testFinish(cancelled),
  extractStart: ({ sizeLimit }) =>
    archive.extractStart((path, bytes) => {
      files.push({ path, bytes });
      fileBytes += bytes.length;
      return true;
    }, sizeLimit),
  extractSome: () => {
    const r = slice(
      () => {
        const some = archive.extractSome(1);
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
  extractFinish: ({ cancelled }) => withFiles(archive.extractFinish(cancelled)),
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
