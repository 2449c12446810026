// The page: one archive open at a time through the scriptable face (archive-extract.mjs, the
// only way in), its entries in a table, and the test and the extractions run on them with a
// progress line, a Cancel and the command line's words for what went wrong.
import { open, prepare, ArchiveError } from './archive-extract.mjs';
import { EntryTable, fileNameOf } from './table.mjs';
import { downloadBlob, registerServiceWorker, zipStream } from './download.mjs';
import { baseName, formatBytes, formatTime, literal, patterns } from './format.mjs';

const $ = (id) => document.getElementById(id);
const ui = {
  input: $('archive-input'),
  reopen: $('reopen'),
  name: $('archive-name'),
  filter: $('filter'),
  allCategories: $('all-categories'),
  categories: $('categories'),
  counts: $('counts'),
  test: $('test'),
  zip: $('extract-zip'),
  folder: $('extract-folder'),
  overwrite: $('overwrite'),
  exportJson: $('export-json'),
  cancel: $('cancel'),
  progress: $('progress'),
  progressText: $('progress-text'),
  status: $('status'),
  problems: $('problems'),
};
const kProblemsShown = 500;  // more are counted, not listed

const state = {
  archive: null,
  file: null,  // the last archive given, for "Open again" after its worker failed
  journal: null,
  listing: null,  // the last entries() result
  exportLines: null,  // what #export-json writes: the listing's lines or the last test's
  categories: new Set(),  // the category numbers the user narrowed the listing to
  categoryCounts: [],  // [[category, {folder, count}]] of the listing before they narrowed it
  run: null,  // {controller} while a test or an extraction runs
  listingTicket: 0,  // counts listings, likewise
  looking: false,  // a listing is under way
  picking: false,  // the user is choosing where an extraction goes
  opening: 0,  // counts opens, so that a slow one overtaken by a newer one is dropped
  problemCount: 0,
};

const table = new EntryTable($('table'), {
  onDownload: (row) => downloadEntry(row),
  onSelection: (n) => {
    ui.zip.textContent = n ? `Extract ${n} as .zip` : 'Extract as .zip';
    ui.folder.textContent = n ? `Extract ${n} into a folder…` : 'Extract into a folder…';
  },
});

// ---- what the page says ----

// What the page is doing, for scripts and tests (body's data-state): idle, opening, listing,
// listed, testing, tested, extracting, extracted, cancelled or failed.
function setState(name) {
  document.body.dataset.state = name;
}

function setStatus(...lines) {
  ui.status.textContent = lines.filter((l) => l != null && l !== '').join('\n');
}

function clearProblems() {
  ui.problems.replaceChildren();
  state.problemCount = 0;
}

function addProblem(line) {
  state.problemCount += 1;
  if (state.problemCount <= kProblemsShown) {
    const li = document.createElement('li');
    li.textContent = line;
    ui.problems.append(li);
  } else {
    let more = ui.problems.querySelector('.more');
    if (!more) {
      more = document.createElement('li');
      more.className = 'more';
      ui.problems.append(more);
    }
    more.textContent = `and ${state.problemCount - kProblemsShown} more`;
  }
}

// The buttons can act only on an open archive with a listing, and not while a run goes on.
function updateControls() {
  const running = Boolean(state.run || state.picking);
  // A lookup under way (the filter changed) is waited for: the rows would change under a run.
  const ready = Boolean(state.archive && state.listing) && !running && !state.looking;
  const any = ready && state.listing.entries.length > 0;
  ui.test.disabled = !any;
  ui.zip.disabled = !any;
  ui.folder.disabled = !any || !canPickFolder();
  ui.exportJson.disabled = !ready || state.exportLines == null;
  ui.cancel.disabled = !running;
  ui.filter.disabled = !state.archive || running;
  ui.allCategories.disabled = !state.archive || running;
  ui.reopen.disabled = running || Boolean(state.archive) || !state.file;
  for (const b of ui.categories.querySelectorAll('button')) b.disabled = running;
  table.setDisabled(running);
}

const canPickFolder = () =>
  typeof window.archiveExtractTest?.pickFolder === 'function' ||
  typeof window.showDirectoryPicker === 'function';

// ---- opening ----

// The files the user gave: an archive, and perhaps its journal (NAME.update-journal).
function openFiles(files) {
  files = [...files];
  if (files.length === 0) return;
  const journal = files.find((f) => f.name.endsWith('.update-journal'));
  const archives = files.filter((f) => f !== journal);
  if (archives.length !== 1 || files.length > 2) {
    setStatus(files.length > 2 || archives.length > 1
      ? 'give one archive at a time (with its .update-journal, if it has one)'
      : `${journal.name} is an update's journal: give it with its archive`);
    setState('failed');
    return;
  }
  openArchive(archives[0], journal ?? null);
}

async function openArchive(file, journal) {
  const ticket = ++state.opening;
  stopRun();
  setState('opening');
  // The worker of the archive before is the next one's once it is back.
  await closeArchive();
  if (ticket !== state.opening) return;
  state.file = file;
  state.journal = journal;
  clearProblems();
  showProgress(null);
  setStatus(`opening ${file.name}…`);
  ui.name.textContent = `of ${file.name}`;
  updateControls();
  let archive;
  try {
    archive = await open(file, journal ? { journal } : {});
  } catch (e) {
    if (ticket !== state.opening) return;
    ui.name.textContent = '';
    failed(e);
    return;
  }
  if (ticket !== state.opening) {
    archive.close();
    return;
  }
  state.archive = archive;
  await list(`${file.name}: ${formatBytes(archive.size)}`);
}

function closeArchive() {
  const closed = state.archive?.close();
  state.archive = null;
  state.listing = null;
  state.looking = false;
  state.exportLines = null;
  state.categories.clear();
  state.categoryCounts = [];
  table.show([]);
  ui.categories.replaceChildren();
  ui.counts.textContent = '';
  return closed;
}

// A worker that failed cannot be trusted again: its archive is closed, and can be opened again.
function failed(e) {
  if (e instanceof ArchiveError && (e.kind === 'worker' || e.kind === 'memory')) {
    closeArchive();
    setStatus(e.message, 'Open the archive again to go on.');
  } else {
    setStatus(e instanceof ArchiveError ? e.message : String(e.message || e));
  }
  addProblem(ui.status.textContent.split('\n')[0]);
  updateControls();
  setState('failed');
}

// ---- the listing ----

function selection() {
  return {
    members: patterns(ui.filter.value),
    allCategories: ui.allCategories.checked,
    categories: state.categories.size ? [...state.categories].join(',') : null,
  };
}

async function list(opened) {
  const archive = state.archive;
  if (!archive) return;
  const ticket = ++state.listingTicket;
  setStatus(`looking up the entries of ${archive.name}…`);
  setState('listing');
  state.looking = true;
  updateControls();
  let listing;
  try {
    // The rows as the lookups know them come first; a compressed entry's method and size wait
    // for its header, which means reading the archive through.
    listing = await archive.entries(selection(), {
      onLookedUp: (looked) => {
        if (archive !== state.archive || ticket !== state.listingTicket || looked.fault) return;
        table.show(looked.entries.map((e) => ({ ...e, method: e.method ?? '…' })));
        showCategories(looked.entries);
        const count = looked.entries.length.toLocaleString('en-US');
        setStatus(`${count} entries looked up; reading their headers…`);
      },
    });
  } catch (e) {
    if (archive === state.archive && ticket === state.listingTicket) {
      state.looking = false;
      failed(e);
    }
    return;
  }
  if (archive !== state.archive || ticket !== state.listingTicket) return;
  state.looking = false;
  state.listing = listing;
  state.exportLines = listing.lines;
  clearProblems();
  table.show(listing.entries);
  showCategories(listing.entries);
  for (const line of listing.unmatched) addProblem(line);
  const listed = `${listing.entries.length.toLocaleString('en-US')} entries listed`;
  if (listing.fault) {
    addProblem(listing.fault);
    setStatus(listing.fault, listing.note);
  } else {
    setStatus(opened ? `${opened}; ${listed}` : listed, ...listing.unmatched);
  }
  updateControls();
  setState(listing.fault ? 'failed' : 'listed');
}

// The categories listed, each with its count: a button narrows the listing to it (as
// --category; several pressed take them all), a second press widens it again. The counts are
// those of the listing before any category narrowed it, so that every category stays in reach.
function showCategories(entries) {
  if (state.categories.size === 0) {
    const counts = new Map();
    for (const e of entries) {
      const c = counts.get(e.category) ?? { folder: e.path.slice(0, e.path.indexOf('/')), count: 0 };
      c.count += 1;
      counts.set(e.category, c);
    }
    state.categoryCounts = [...counts].sort((a, b) => a[0] - b[0]);
  }
  const buttons = state.categoryCounts.map(([category, { folder, count }]) => {
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'category';
    button.setAttribute('aria-pressed', String(state.categories.has(category)));
    button.textContent = `${folder || category}: ${count.toLocaleString('en-US')}`;
    button.title = `Only category ${category} (as --category ${category})`;
    button.addEventListener('click', () => {
      if (state.categories.has(category)) state.categories.delete(category);
      else state.categories.add(category);
      list();
    });
    return button;
  });
  ui.categories.replaceChildren(...buttons);
  const total = entries.reduce((sum, e) => sum + (e.size ?? 0), 0);
  ui.counts.textContent = `${entries.length.toLocaleString('en-US')} entries, ` +
    `${formatBytes(total)} when extracted`;
}

// ---- runs: the test and the extractions ----

function showProgress(p) {
  if (!p) {
    ui.progress.value = 0;
    ui.progressText.textContent = '';
    return;
  }
  const fraction = p.totalBytes ? p.bytes / p.totalBytes : p.total ? p.done / p.total : 0;
  ui.progress.value = Math.min(1, fraction);
  const elapsed = (performance.now() - p.start) / 1000;
  let left = '';
  if (fraction > 0 && fraction < 1 && elapsed > 1) {
    left = `, about ${formatTime((elapsed * (1 - fraction)) / fraction)} left`;
  }
  ui.progressText.textContent =
    `${p.done.toLocaleString('en-US')} of ${p.total.toLocaleString('en-US')} entries, ` +
    `${formatBytes(p.bytes)} of ${formatBytes(p.totalBytes)}${left}`;
}

// A run over `rows`: sets the page up for it and takes it down after, whatever happened. The
// page is in state `running` during it, and after it in state `done`, or cancelled or failed.
async function run(rows, what, [running, done], body) {
  const controller = new AbortController();
  const archive = state.archive;
  state.run = { controller };
  clearProblems();
  updateControls();
  const progress = {
    start: performance.now(),
    done: 0,
    total: rows.length,
    bytes: 0,
    totalBytes: rows.reduce((sum, r) => sum + (r.size ?? 0), 0),
  };
  let shown = 0;
  const update = (changes) => {
    Object.assign(progress, changes);
    const now = performance.now();
    if (now - shown > 100) {
      shown = now;
      showProgress(progress);
    }
  };
  showProgress(progress);
  setStatus(`${what}…`);
  setState(running);
  let ended = 'failed';
  try {
    const result = await body({ signal: controller.signal, update, progress });
    showProgress(progress);
    if (result?.stop === 'cancelled') ended = 'cancelled';
    else if (result && !result.fault && result.stop !== 'failure') ended = done;
  } catch (e) {
    if (archive === state.archive) failed(e);
  } finally {
    if (state.run?.controller === controller) state.run = null;
    updateControls();
    // The state changes last: whoever waits for it finds the words and the buttons ready.
    if (archive === state.archive) setState(ended);
  }
}

function stopRun() {
  state.run?.controller.abort();
  state.run = null;
}

// The lines a run ends with, as the command line says them.
function endLines(result, summary) {
  if (result.fault) return [result.fault, result.note];
  if (result.stop === 'cancelled') return [`cancelled: ${summary}`];
  return [result.error, ...(result.failures ?? []), summary];
}

async function runTest() {
  const rows = state.listing.entries.length ? table.rows : [];
  const byPath = new Map(table.rows.map((r) => [r.path, r]));
  for (const r of rows) r.verdict = null;
  table.verdicts();
  const archive = state.archive;
  const sel = selection();
  const what = `testing ${rows.length.toLocaleString('en-US')} entries`;
  await run(rows, what, ['testing', 'tested'], async ({ signal, update, progress }) => {
    let damaged = 0;
    let redraw = 0;
    const result = await archive.test({
      selection: sel,
      signal,
      onVerdicts: (records) => {
        let bytes = progress.bytes;
        for (const record of records) {
          const row = byPath.get(record.path);
          if (row) row.verdict = record;
          bytes += record.size ?? 0;
          if (!record.ok) {
            damaged += 1;
            addProblem(`${record.path}: ${record.problem}`);
          }
        }
        update({ done: progress.done + records.length, bytes });
        const now = performance.now();
        if (now - redraw > 200) {
          redraw = now;
          table.verdicts();
          ui.counts.textContent = `tested ${progress.done.toLocaleString('en-US')}: ${damaged} damaged`;
        }
      },
    });
    table.verdicts();
    if (archive !== state.archive) return;
    state.exportLines = result.lines;
    ui.counts.textContent = `${rows.length.toLocaleString('en-US')} entries; ` +
      `${result.damaged.toLocaleString('en-US')} damaged`;
    for (const line of result.unmatched) addProblem(line);
    if (result.fault) addProblem(result.fault);
    if (result.error) addProblem(result.error);
    setStatus(...endLines(result, result.summary));
    return result;
  });
}

// The rows an extraction writes: the checked ones, or every one listed; as a selection.
function extraction() {
  const checked = table.selected();
  if (checked.length === 0) return { rows: table.rows, sel: selection() };
  return {
    rows: checked,
    sel: { ...selection(), members: checked.map((r) => literal(r.path)) },
  };
}

async function extractTo(target, where) {
  const { rows, sel } = extraction();
  const archive = state.archive;
  let outcome = null;  // the extraction's result; none when it threw
  await run(rows, `extracting ${rows.length.toLocaleString('en-US')} entries into ${where}`,
    ['extracting', 'extracted'], async ({ signal, update }) => {
      const result = await archive.extract({
        selection: sel,
        signal,
        ...target,
        onProblem: addProblem,
        onProgress: ({ done, bytes }) => update({ done, bytes }),
      });
      outcome = result;
      if (archive !== state.archive) return;
      for (const line of result.failures) addProblem(line);
      if (result.fault) addProblem(result.fault);
      const lines = endLines(result, result.summary);
      if (!result.fault) lines[lines.length - 1] += ` (${where})`;
      if (result.kept) {
        const files = result.kept === 1 ? 'existing file' : 'existing files';
        lines.push(`${result.kept} ${files} kept; "Replace existing files" replaces ` +
          (result.kept === 1 ? 'it' : 'them'));
      }
      setStatus(...lines);
      return result;
    });
  return outcome;
}

// Where an extraction goes, as `pick` asks the user: the page is 'extracting' from the click on
// (its buttons off), and goes back to what it was when the user declines or the pick fails.
async function destination(pick) {
  const before = document.body.dataset.state;
  state.picking = true;
  updateControls();
  setState('extracting');
  let picked = null;
  try {
    picked = await pick();
  } catch (e) {
    if (e.name !== 'AbortError') setStatus(String(e.message || e));
  }
  state.picking = false;
  if (!picked) {
    updateControls();
    setState(before);
  }
  return picked;
}

async function extractZip() {
  const name = `${baseName(state.archive.name)}.zip`;
  const out = await destination(() =>
    zipStream(name, { underTest: Boolean(window.archiveExtractTest) }));
  if (!out) return;
  // The archive's own time dates the zip's files, as it dates the tools' output.
  const date = new Date(state.file.lastModified);
  const result = await extractTo({ zip: { stream: out.stream, date, reuse: out.reuse } },
    out.where);
  // A failed write or a failed worker leaves the stream open: the half-written zip is dropped.
  if (!result || result.stop === 'failure') await out.abort(new Error('the extraction failed'));
}

async function extractFolder() {
  const hook = window.archiveExtractTest?.pickFolder;
  const folder = await destination(() =>
    (hook ? hook() : window.showDirectoryPicker({ mode: 'readwrite' })));
  if (!folder) return;
  await extractTo({ to: folder, overwrite: ui.overwrite.checked }, `folder ${folder.name || '/'}`);
}

async function downloadEntry(row) {
  const archive = state.archive;
  if (!archive || state.run) return;
  const name = fileNameOf(row.path);
  setStatus(`reading ${row.path}…`);
  try {
    const bytes = await archive.read(row.path);
    if (archive !== state.archive) return;
    downloadBlob(bytes, name);
    setStatus(`${row.path}: downloaded as ${name}`);
  } catch (e) {
    if (archive !== state.archive) return;
    if (e instanceof ArchiveError && (e.kind === 'entry' || e.kind === 'refused' || e.kind === 'missing')) {
      setStatus(e.message);
      addProblem(e.message);
    } else failed(e);
  }
}

function exportJson() {
  const lines = state.exportLines ?? [];
  const text = lines.length ? `${lines.join('\n')}\n` : '';
  downloadBlob(text, `${baseName(state.archive.name)}.jsonl`, 'application/jsonl');
}

// ---- wiring ----

ui.input.addEventListener('change', () => {
  openFiles(ui.input.files);
  // The same file chosen again opens again.
  ui.input.value = '';
});
ui.reopen.addEventListener('click', () => state.file && openArchive(state.file, state.journal));

// A file dropped anywhere on the page opens; the browser's own way (showing it) never happens.
document.addEventListener('dragover', (event) => {
  if (![...event.dataTransfer.types].includes('Files')) return;
  event.preventDefault();
  event.dataTransfer.dropEffect = 'copy';
  document.body.classList.add('dropping');
});
document.addEventListener('dragleave', (event) => {
  if (event.relatedTarget == null) document.body.classList.remove('dropping');
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dropping');
  if (event.dataTransfer.files.length) openFiles(event.dataTransfer.files);
});

let filterTimer;
ui.filter.addEventListener('input', () => {
  clearTimeout(filterTimer);
  filterTimer = setTimeout(() => list(), 300);
});
ui.filter.addEventListener('keydown', (event) => {
  if (event.key !== 'Enter') return;
  clearTimeout(filterTimer);
  list();
});
ui.allCategories.addEventListener('change', () => list());
ui.test.addEventListener('click', runTest);
ui.zip.addEventListener('click', extractZip);
ui.folder.addEventListener('click', extractFolder);
ui.exportJson.addEventListener('click', exportJson);
ui.cancel.addEventListener('click', () => {
  if (!state.run) return;
  state.run.controller.abort();
  ui.cancel.disabled = true;
  setStatus('cancelling…');
});
window.addEventListener('pagehide', () => {
  stopRun();
  state.archive?.close();
});

setState('idle');
registerServiceWorker();
updateControls();
// The module loaded into the workers now, and the lookups run once: opening an archive then
// fetches nothing, and its first sweep runs at full speed. Said on body's data-ready.
prepare().catch(() => {}).finally(() => {
  document.body.dataset.ready = 'true';
});
