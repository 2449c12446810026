// The scriptable face of the WebAssembly build, for the page, another page or Node:
//
//   const archive = await open(file);          // a File or Blob; in Node, a path
//   const listing = await archive.entries({members: ['models - g/*']});
//   const bytes = await archive.read('models - g/0001.raw');
//   const verdicts = await archive.test();
//   const summary = await archive.extract({write: async (path, bytes) => ...});
//   archive.close();
//
// Every call is a promise; a refusal rejects with an ArchiveError whose message is the command
// line's (without the program's name) and whose kind says what it is: 'host' (the file),
// 'not-an-archive', 'refused' (a limit, a journal), 'entry' (one entry's problem), 'fault' (the
// emulated machine stopped on the index), 'memory' or 'worker' (the worker failed: the archive
// must be opened again). The archive is read where it lies, in a worker, never whole.
const inNode = typeof process === 'object' && process.versions != null && process.versions.node != null;

export class ArchiveError extends Error {
  constructor(message, kind) {
    super(message);
    this.name = 'ArchiveError';
    this.kind = kind;
  }
}

const workerUrl = new URL('./worker.js', import.meta.url);

// A worker, and its replies matched to the requests by number.
class Channel {
  constructor(worker) {
    this.worker = worker;
    this.waiting = new Map();
    this.next = 1;
    const receive = ({ id, result }) => {
      const w = this.waiting.get(id);
      this.waiting.delete(id);
      if (w) w.resolve(result);
    };
    const fail = (error) => {
      this.failed = new ArchiveError(`the worker stopped: ${error.message || error}`, 'worker');
      for (const w of this.waiting.values()) w.reject(this.failed);
      this.waiting.clear();
    };
    if (inNode) {
      worker.on('message', receive);
      worker.on('error', fail);
      worker.on('exit', (code) => code !== 0 && fail(new Error(`exit status ${code}`)));
      worker.unref();  // Node keeps running for a worker only while a request waits for it
    } else {
      worker.onmessage = (event) => receive(event.data);
      worker.onerror = (event) => {
        event.preventDefault();
        fail(new Error(event.message || 'out of memory or a fault'));
      };
    }
  }

  // The worker's result of `request`; an {error} result rejects with an ArchiveError.
  async call(request, transfer = []) {
    if (this.failed) throw this.failed;
    const id = this.next++;
    if (inNode) this.worker.ref();
    const result = await new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject });
      this.worker.postMessage({ id, ...request }, transfer);
    }).finally(() => {
      if (inNode && this.waiting.size === 0) this.worker.unref();
    });
    if (result.error !== undefined && result.kind !== undefined && !result.stop) {
      throw new ArchiveError(result.error, result.kind);
    }
    return result;
  }

  close() {
    this.worker.terminate();
  }
}

// Workers kept for the next archive: each loads the module once, so that opening an archive
// after the first fetches nothing (prepare() starts them, the one that looks entries up and the
// pool's, before any archive is opened).
const idle = [];

async function newChannel() {
  if (inNode) {
    const { Worker } = await import('node:worker_threads');
    return new Channel(new Worker(workerUrl));
  }
  return new Channel(new Worker(workerUrl));
}

// A worker kept, or a new one; for the lookups, the one that ran them at load (prepare()).
async function startWorker(lookups = false) {
  const i = idle.findIndex((c) => Boolean(c.warm) === lookups);
  if (i >= 0) return idle.splice(i, 1)[0];
  return idle.pop() ?? newChannel();
}

// How many workers an archive uses: one to look its entries up, and the pool.
let workerCount = null;
async function workersWanted() {
  workerCount ??= 1 + Math.min(kMostWorkers, await coreCount());
  return workerCount;
}

// Starts the workers and loads the module in them now, rather than when an archive is opened.
// The worker that will look entries up opens a made-up archive and looks it up, twice: the
// engine compiles code again, optimised, only after it has run a while, and the first sweep of
// the user's archive then runs at full speed. Resolves once it has (each call the same promise).
let prepared = null;
export function prepare() {
  prepared ??= prepareNow();
  return prepared;
}
async function prepareNow() {
  const wanted = await workersWanted();
  while (idle.length < wanted) idle.push(await newChannel());
  // (In Node an archive is a path: the made-up one, a Blob, is not opened there.)
  if (inNode) return;
  const lookups = idle[idle.length - 1];
  lookups.warm = true;
  try {
    const { bytes } = await lookups.call({ op: 'warmUpArchive' });
    for (let i = 0; i < 2; i++) {
      const archive = await open(new Blob([bytes]), { name: 'warm-up' });
      await archive.entries({}, { onLookedUp: () => {} });
      await archive.close();
    }
  } catch {
    // Only time was at stake.
  }
}

// A worker an archive is done with: kept for the next, unless it failed or enough are kept.
async function putBack(channel) {
  if (!channel.failed && idle.length < (workerCount ?? 1)) {
    try {
      await channel.call({ op: 'close' });
      if (idle.length < (workerCount ?? 1)) {
        idle.push(channel);
        return;
      }
    } catch {
      // failed meanwhile
    }
  }
  channel.close();
}

// The workers that read and decode a run's entries, each with a module of its own reading the
// same file: as many as the machine has cores, at most 4. The worker that looked the entries up
// reports them in sweep order, with what the pool found; the pool's workers run ahead of it by
// at most kBudget bytes: each entry in flight weighs its stored bytes (the buffer they are read
// into) and its expanded bytes, taken as twice the stored (its header is not read yet).
const kMostWorkers = 4;
const kBudget = 32 << 20;
const kChunk = 4 << 20;  // the stored bytes of the entries one request decodes
// A worker whose memory grew past this (WebAssembly memory never shrinks) makes its module anew.
const kMostMemory = 128 << 20;

async function coreCount() {
  if (inNode) {
    const os = await import('node:os');
    return os.availableParallelism?.() ?? os.cpus().length;
  }
  return navigator.hardwareConcurrency || 2;
}

class Pool {
  constructor(source) {
    this.source = source;
    this.workers = [];  // channels; a failed one is null until replaced
  }

  // Starts the pool's workers on the archive's file; those that fail are left out (their
  // entries are then decoded by the worker that looked them up).
  async start() {
    if (this.workers.length > 0) return;
    const count = (await workersWanted()) - 1;
    this.workers = await Promise.all(Array.from({ length: count }, () => this.open()));
  }

  // A worker reading the archive's file, or null.
  async open() {
    const channel = await startWorker();
    try {
      await channel.call({ op: 'attach', source: this.source });
      return channel;
    } catch {
      channel.close();
      return null;
    }
  }

  // Lets worker `i` go, unless it was replaced meanwhile.
  drop(i, worker = this.workers[i]) {
    worker?.close();
    if (this.workers[i] === worker) this.workers[i] = null;
  }

  // What worker `i` found of the entries `descriptions` describes (the lookup worker's, with
  // where they lie: `spans`), or null: the caller works on them itself.
  async decode(i, descriptions, spans, bytes) {
    if (!this.workers[i]) {
      // A worker that failed is replaced, once, for the chunks sent to it.
      this.replacing ??= [];
      this.replacing[i] ??= this.open().then((w) => {
        this.workers[i] = w;
        this.replacing[i] = null;
      });
      await this.replacing[i];
    }
    const worker = this.workers[i];
    if (!worker) return null;
    try {
      const r = await worker.call({ op: 'decode', descriptions, spans, bytes,
        mostMemory: kMostMemory });
      return r.found;
    } catch {
      this.drop(i, worker);
      return null;
    }
  }

  // Buffers the pool's entries came in, free again: given to its next worker.
  recycle(buffers) {
    const live = this.workers.filter((w) => w);
    if (live.length === 0 || buffers.size === 0) return;
    this.next = ((this.next ?? 0) + 1) % live.length;
    live[this.next].call({ op: 'spare', buffers: [...buffers] }, [...buffers]).catch(() => {});
  }

  close() {
    const workers = this.workers.filter((w) => w);
    this.workers = [];
    return Promise.all(workers.map(putBack));
  }
}

// The chunks of a run: [from, to) of the selected entries, a few MiB of stored bytes each, and
// their weight against the budget.
function chunksOf(spans) {
  const chunks = [];
  const count = spans.length / 2;
  for (let from = 0; from < count;) {
    let to = from;
    let stored = 0;
    while (to < count && (to === from || stored + spans[2 * to + 1] <= kChunk)) {
      stored += spans[2 * to + 1];
      to += 1;
    }
    chunks.push({ from, to, weight: 3 * stored });
    from = to;
  }
  return chunks;
}

// What a selection may hold, as the command line's options: categories ('g,hc,25', as
// --category), entries ('0-99', as --entries), members (paths or patterns) and allCategories.
function selectionOf(selection = {}) {
  return {
    categories: selection.categories ?? null,
    entries: selection.entries ?? null,
    members: [...(selection.members ?? [])],
    allCategories: Boolean(selection.allCategories),
  };
}

// The records of the entries as the worker's lookedUp() gives them.
function lookedUp({ paths, numbers }) {
  const names = paths.split('\n');
  const entries = new Array(names.length - 1);
  for (let i = 0; i < entries.length; i++) {
    const [category, entry, sector, kind, stored] = numbers.subarray(5 * i, 5 * i + 5);
    entries[i] = {
      path: names[i],
      category,
      entry,
      sector,
      method: kind === 1 ? 'plain' : kind === 0 ? 'nodata' : null,
      stored: kind === 0 ? null : stored,
      size: kind === 1 ? stored : null,
    };
  }
  return entries;
}

class Archive {
  constructor(channel, name, size, source) {
    this.channel = channel;
    this.name = name;
    this.size = size;
    this.selected = null;  // the last selection's JSON text
    this.spans = null;  // where its entries lie: offset, stored length of each
    this.descriptions = null;  // the entries as the pool's workers need them
    this.pool = new Pool(source);
  }

  // The entries `selection` takes, looked up: {entries (records), lines (--list --json's lines),
  // unmatched (what the members that took nothing say), fault and note (the machine's line and
  // the command line's note when it stopped on the index; the entries before it are listed)}.
  // onLookedUp({entries, unmatched, fault, note}) hears them first as the lookups alone know them
  // (a compressed entry's method and size null): its header, which says them, is read after.
  async entries(selection, { onLookedUp } = {}) {
    const sel = selectionOf(selection);
    const r = await this.channel.call({ op: 'select', selection: sel, lookups: true });
    this.selected = JSON.stringify(sel);
    this.spans = r.spans;
    this.descriptions = r.descriptions;
    const fault = r.fault ?? null;
    const note = r.note ?? null;
    onLookedUp?.({ entries: lookedUp(r.lookups), unmatched: r.unmatched, fault, note });
    const { lines } = await this.channel.call({ op: 'records' });
    return {
      entries: lines.map((line) => JSON.parse(line)),
      lines,
      unmatched: r.unmatched,
      fault,
      note,
    };
  }

  // Looks `selection` up for a run (no listing), and starts the pool.
  async select(selection) {
    const sel = selectionOf(selection);
    if (JSON.stringify(sel) !== this.selected) {
      const r = await this.channel.call({ op: 'select', selection: sel });
      this.selected = JSON.stringify(sel);
      this.spans = r.spans;
      this.descriptions = r.descriptions;
    }
    await this.pool.start();
  }

  // Runs the entries through `step(count, loaded)` (the worker's testSome or extractSome), a
  // chunk at a time in sweep order, the pool decoding ahead (`bytes`: an extraction's bytes too);
  // `step` says true to stop.
  async chunked(bytes, step) {
    const chunks = chunksOf(this.spans);
    const workers = this.pool.workers.length;
    const pending = [];
    let inFlight = 0;
    let next = 0;
    for (;;) {
      while (next < chunks.length && workers > 0 &&
        (pending.length === 0 || inFlight + chunks[next].weight <= kBudget)) {
        const chunk = chunks[next];
        inFlight += chunk.weight;
        const { from, to } = chunk;
        const found = this.pool.decode(next % workers, this.descriptions.slice(4 * from, 4 * to),
          this.spans.slice(2 * from, 2 * to), bytes);
        pending.push({ chunk, found });
        next += 1;
      }
      let chunk;
      let found = null;
      if (pending.length > 0) {
        const p = pending.shift();
        chunk = p.chunk;
        inFlight -= chunk.weight;
        found = await p.found;
      } else if (next < chunks.length) {
        chunk = chunks[next++];  // no pool: the worker reads and decodes them itself
      } else {
        return;
      }
      if (await step(chunk.to - chunk.from, found)) {
        // The chunks decoded ahead are let go.
        await Promise.all(pending.map((p) => p.found));
        return;
      }
    }
  }

  // Entry `path` ("models - g/0001.raw") as extraction writes it: a Uint8Array. Rejects with an
  // ArchiveError: 'entry' for a damaged entry (the test's words), 'missing' for no such entry,
  // 'refused' past the output bound (sizeLimit: false lifts it).
  async read(path, { sizeLimit = true } = {}) {
    const r = await this.channel.call({ op: 'read', path, sizeLimit });
    if (r.missing) throw new ArchiveError(r.missing, 'missing');
    return r.bytes;
  }

  // The integrity test of the selected entries, as --test runs it: {lines (--test --json's),
  // verdicts, tested, damaged, summary ('tested 20 entries: 4 damaged'), stop ('none',
  // 'output-bound', 'cancelled', ...), error (the bound's refusal), fault, note, unmatched}.
  // onVerdicts(records) follows the test; `signal` (an AbortSignal) cancels it.
  async test({ selection, sizeLimit = true, signal, onVerdicts, onProgress } = {}) {
    await this.select(selection);
    const lines = [];
    await this.channel.call({ op: 'testStart', sizeLimit });
    let cancelled = false;
    await this.chunked(false, async (count, loaded) => {
      if (signal?.aborted) {
        cancelled = true;
        return true;
      }
      const some = await this.channel.call({ op: 'testSome', count, loaded });
      this.took(lines, some.lines, onVerdicts, onProgress);
      return some.done;
    });
    const end = await this.channel.call({ op: 'testFinish', cancelled });
    this.took(lines, end.lines, onVerdicts, onProgress);
    const { lines: unmatched } = await this.channel.call({ op: 'unmatched' });
    return {
      lines,
      verdicts: lines.map((line) => JSON.parse(line)),
      tested: end.tested,
      damaged: end.damaged,
      summary: end.summary,
      stop: end.stop,
      error: end.error ?? null,
      fault: end.fault ?? null,
      note: end.note ?? null,
      unmatched,
    };
  }

  took(lines, some, onVerdicts, onProgress) {
    if (some.length === 0) return;
    lines.push(...some);
    onVerdicts?.(some.map((line) => JSON.parse(line)));
    onProgress?.({ done: lines.length });
  }

  // The extraction of the selected entries into one of:
  // - write(path, bytes), awaited for each entry written, in sweep order;
  // - to: a folder (a FileSystemDirectoryHandle in a browser, a path in Node), the tree as
  //   archive-extract writes it, existing files kept unless `overwrite`;
  // - zip: {stream, date, reuse}, one .zip written into the WritableStream `stream`, the tree at
  //   its root, each file dated `date` (the archive's time; default now); `reuse`: the stream is
  //   done with a chunk once its write resolves (a browser's file stream is), so the chunks are
  //   used again.
  // onProblem(line) hears each entry not written, in the command line's words. Resolves to
  // {written, kept, clean, summary ('2 entries written, 1 not written'), stop, problems, failures
  // (what stopped the run: the bound, a failed write), fault, note, unmatched}.
  async extract({ selection, sizeLimit = true, signal, write, to, zip, overwrite = false,
    onProblem, onProgress } = {}) {
    const output = await outputOf({ write, to, zip, overwrite });
    await this.select(selection);
    await this.channel.call({ op: 'extractStart', sizeLimit });
    const problems = [];
    const failures = [];
    let done = 0;
    let bytes = 0;
    let failed = false;
    const problem = (line) => {
      problems.push(line);
      onProblem?.(line);
    };
    // Up to output.window files are written at once, each named in sweep order; after a failure
    // the files begun after it are dropped.
    const settle = async ({ file, begun }) => {
      let b;
      try {
        b = await begun;
        if (failed) {
          await b.abort();
          return;
        }
        await b.finish();
      } catch (e) {
        if (!failed) failures.push(`cannot write ${file.path}: ${e.message ?? e}`);
        failed = true;
        return;
      }
      if (b.said === 'in the way') problem(`${file.path}: a folder is in the way; not written`);
      done += 1;
      bytes += file.bytes.length;
    };
    const take = async (r) => {
      const queue = [];
      for (const file of r.files) {
        if (failed) break;
        const begun = output.begin(file.path, file.bytes, file.crc);
        begun.catch(() => {});  // seen when settled
        queue.push({ file, begun });
        if (queue.length >= output.window) await settle(queue.shift());
      }
      while (queue.length > 0) await settle(queue.shift());
      r.problems.forEach(problem);
      failures.push(...r.failures);
      onProgress?.({ done, bytes });
    };
    let cancelled = false;
    await this.chunked(true, async (count, loaded) => {
      if (signal?.aborted || failed) {
        cancelled = true;
        return true;
      }
      const transfer = new Set(loaded?.filter((e) => e.bytes).map((e) => e.bytes.buffer));
      const some = await this.channel.call({ op: 'extractSome', count, loaded }, [...transfer]);
      await take(some);
      // What the files were written from goes back to the pool, unless the caller's write()
      // may have kept it.
      if (!write) this.pool.recycle(new Set(some.files.map((f) => f.bytes.buffer)));
      return some.done;
    });
    const end = await this.channel.call({ op: 'extractFinish', cancelled });
    await take(end);
    if (!failed) await output.close();
    const { lines: unmatched } = await this.channel.call({ op: 'unmatched' });
    // The library counted the files it handed over; kept ones and those a folder was in the way
    // of were not written.
    const written = end.written - output.kept - output.inTheWay;
    const { summary } = output.kept + output.inTheWay === 0 ? end : await this.channel.call(
      { op: 'summary', written, notWritten: end.notWritten + output.inTheWay });
    return {
      written,
      kept: output.kept,
      clean: end.clean && output.inTheWay === 0 && !failed,
      summary,
      stop: failed ? 'failure' : end.stop,
      problems,
      failures,
      fault: end.fault ?? null,
      note: end.note ?? null,
      unmatched,
    };
  }

  // Lets the archive go; its workers are kept for the next one, unless they failed. Resolves
  // when they are back (an open() after it then starts no worker of its own).
  close() {
    if (!this.channel) return Promise.resolve();
    const channel = this.channel;
    this.channel = null;
    return Promise.all([this.pool.close(), putBack(channel)]).then(() => {});
  }
}

// Where an extraction's files go: {write(path, bytes) → undefined or 'in the way', close(),
// kept, inTheWay}.
async function outputOf({ write, to, zip, overwrite }) {
  const output = await writerOf({ write, to, zip, overwrite });
  // A file begun is written, but named only by finish() (or dropped by abort()).
  output.begin ??= async (path, bytes, crc) => ({
    said: await output.write(path, bytes, crc),
    finish: async () => {},
    abort: async () => {},
  });
  output.window ??= 1;
  return output;
}

async function writerOf({ write, to, zip, overwrite }) {
  const output = { kept: 0, inTheWay: 0, write, close: async () => {} };
  if (write) return output;
  if (zip) {
    const { ZipWriter } = await import('./zip.mjs');
    // The zip's many small pieces (a header per file) gathered into writes of 16 MiB or more:
    // each write to a file's stream is a round trip to the browser, and a browser's file takes
    // large writes twice as fast as writes of 1 MiB.
    // A browser's file has its bytes once a write is done, as has a stream that says so
    // (`reuse`): its chunks are used again (a new buffer costs more than the copy into it, its
    // pages being new). Another stream may still hold a chunk it took, and gets new ones.
    const reusable = zip.reuse === true || (typeof FileSystemWritableFileStream === 'function' &&
      zip.stream instanceof FileSystemWritableFileStream);
    const writer = zip.stream.getWriter();
    const kZipChunk = 16 << 20;
    const free = [];
    let chunk = new Uint8Array(kZipChunk);
    let at = 0;
    const writing = [];
    // The next chunk is gathered while the browser writes this one, and sent once that write is
    // done: one write at a time, two chunks in all (the browser takes a write no faster with
    // another behind it). A failed write stops the run when it is waited for.
    const wait = async () => {
      const { done, whole } = writing.shift();
      await done;
      if (reusable && whole) free.push(whole);
    };
    const send = async (bytes, whole) => {
      while (writing.length > 0) await wait();
      const done = writer.write(bytes);
      done.catch(() => {});
      writing.push({ done, whole });
    };
    const flush = async () => {
      if (at === 0) return;
      await send(at === chunk.length ? chunk : chunk.subarray(0, at), chunk);
      chunk = free.pop() ?? new Uint8Array(kZipChunk);
      at = 0;
    };
    // Each piece is copied at once: the file's bytes are free when addFile() is done.
    const put = async (piece) => {
      if (at + piece.length > chunk.length) await flush();
      if (piece.length > chunk.length) {
        await send(piece.slice());
        return;
      }
      chunk.set(piece, at);
      at += piece.length;
    };
    const zipWriter = new ZipWriter(put, { date: zip.date });
    output.write = (path, bytes, crc) => zipWriter.addFile(path, bytes, crc);
    output.close = async () => {
      await zipWriter.finish();
      await flush();
      while (writing.length > 0) await wait();
      await writer.close();
    };
    return output;
  }
  if (to === undefined) throw new TypeError('extract() needs write, to or zip');
  const count = (said) => {
    if (said === 'kept') output.kept += 1;
    if (said === 'in the way') output.inTheWay += 1;
    return said;
  };
  if (typeof to === 'string') {
    const files = await nodeFolder(to);
    output.write = async (path, bytes) => count(await files(path, bytes, overwrite));
    return output;
  }
  // A browser's folder takes a file in several round trips to the browser: a few are under way
  // at once.
  const begin = browserFolder(to);
  output.window = 4;
  output.begin = async (path, bytes) => {
    const begun = await begin(path, bytes, overwrite);
    return { ...begun, finish: async () => { await begun.finish(); count(begun.said); } };
  };
  return output;
}

// A browser's folder: each file written to a swap file and put in place when whole (what
// createWritable does, at close()), so that an interrupted run leaves no partial file. Begins a
// file: {said ('kept', 'in the way' or undefined), finish() (puts it in place), abort() (drops it,
// and the empty file made for it)}.
function browserFolder(root) {
  const folders = new Map();
  const nothing = async () => {};
  return async (path, bytes, overwrite) => {
    const slash = path.lastIndexOf('/');
    const folderName = path.slice(0, slash);
    let folder = folders.get(folderName);
    if (!folder) {
      folder = root.getDirectoryHandle(folderName, { create: true });
      folders.set(folderName, folder);
    }
    folder = await folder;
    const name = path.slice(slash + 1);
    let file;
    let made = false;
    try {
      file = await folder.getFileHandle(name);
      if (!overwrite) return { said: 'kept', finish: nothing, abort: nothing };
    } catch (e) {
      if (e.name === 'TypeMismatchError') return { said: 'in the way', finish: nothing, abort: nothing };
      if (e.name !== 'NotFoundError') throw e;
      file = await folder.getFileHandle(name, { create: true });
      made = true;
    }
    const writable = await file.createWritable();
    try {
      await writable.write(bytes);
    } catch (e) {
      await writable.abort().catch(() => {});
      if (made) await folder.removeEntry(name).catch(() => {});
      throw e;
    }
    return {
      said: undefined,
      finish: () => writable.close(),
      abort: async () => {
        await writable.abort().catch(() => {});
        if (made) await folder.removeEntry(name).catch(() => {});
      },
    };
  };
}

// In Node: the tree under `folder`; a new file is written under a temporary name and linked
// into place, so that an existing file is kept and none is ever seen half-written.
async function nodeFolder(folder) {
  const fs = await import('node:fs/promises');
  const path = await import('node:path');
  const made = new Set();
  return async (entry, bytes, overwrite) => {
    const target = path.join(folder, entry);
    const dir = path.dirname(target);
    if (!made.has(dir)) {
      await fs.mkdir(dir, { recursive: true });
      made.add(dir);
    }
    const temporary = path.join(dir, `.${path.basename(target)}.${process.pid}.part`);
    await fs.writeFile(temporary, bytes);
    try {
      if (overwrite) {
        await fs.rename(temporary, target);
        return undefined;
      }
      await fs.link(temporary, target);
    } catch (e) {
      if (e.code === 'EISDIR') return 'in the way';
      if (e.code !== 'EEXIST') throw e;
      const info = await fs.stat(target);
      return info.isDirectory() ? 'in the way' : 'kept';
    } finally {
      await fs.rm(temporary, { force: true });
    }
    return undefined;
  };
}

// Opens `source`: a File or Blob (named by its name) or, in Node, a path. `journal`, a File the
// user gave with the archive, named NAME.update-journal, refuses it as the tools refuse an
// archive whose update was stopped.
export async function open(source, { name, journal } = {}) {
  const channel = await startWorker(true);
  const shownName = name ?? (typeof source === 'string' ? source : source.name ?? 'archive');
  try {
    const r = await channel.call({
      op: 'open',
      source,
      name: shownName,
      journal: journal ? journal.name ?? String(journal) : '',
    });
    return new Archive(channel, shownName, r.size, source);
  } catch (e) {
    if (channel.failed) channel.close();
    else idle.push(channel);
    throw e;
  }
}
