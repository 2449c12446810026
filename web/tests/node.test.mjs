// The scriptable face in Node against archive-extract, on the archives of web-fixtures: the
// listing, the verdicts and the extracted tree must be the command line's, byte for byte, and its
// refusals the command line's words.
//   SITE=build/web TOOLS=build/release FIXTURES=DIR node --test web/tests/
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

const site = path.resolve(process.env.SITE ?? 'build/web');
const tools = path.resolve(process.env.TOOLS ?? 'build/release');
const fixtures = path.resolve(process.env.FIXTURES ?? 'build/web-fixtures');
const { open, ArchiveError } = await import(path.join(site, 'archive-extract.mjs'));

// archive-extract with `selection` as its options and members.
function cli(args, archive, selection = {}) {
  const options = [...args];
  if (selection.categories) options.push('--category', selection.categories);
  if (selection.entries) options.push('--entries', selection.entries);
  if (selection.allCategories) options.push('--all-categories');
  const run = spawnSync(path.join(tools, 'archive-extract'),
    [...options, '--', archive, ...(selection.members ?? [])],
    { encoding: 'buffer', maxBuffer: 1 << 30 });
  const lines = (b) => b.toString('utf8').split('\n').filter((l) => l !== '');
  return { status: run.status, out: lines(run.stdout), err: lines(run.stderr) };
}

// Every file under `root`, by its path relative to it.
function tree(root) {
  const files = new Map();
  const walk = (dir) => {
    for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
      const p = path.join(dir, e.name);
      if (e.isDirectory()) walk(p);
      else files.set(path.relative(root, p), fs.readFileSync(p));
    }
  };
  if (fs.existsSync(root)) walk(root);
  return files;
}

const prefix = (line) => `archive-extract: ${line}`;

// What the command line says after a run, from the face's result: the fault's line and note, the
// members that took nothing.
function endLines(r) {
  const lines = [];
  if (r.fault) lines.push(r.fault, prefix(r.note));
  for (const line of r.unmatched) lines.push(prefix(line));
  return lines;
}

const selections = [
  {},
  { allCategories: true },
  { categories: 'g,40', entries: '0-5' },
  { members: ['models - g/*', 'models - c/0000.raw', 'models - g/0004.raw', 'nosuch'] },
];

// Stops the pool's workers of `archive`, as a crash would. (A timer keeps Node running until
// each has exited: a worker being stopped does not, and the wait would never end.)
async function stopPool(archive) {
  const keep = setInterval(() => {}, 1000);
  try {
    for (const w of archive.pool.workers.filter((c) => c)) await w.worker.terminate();
  } finally {
    clearInterval(keep);
  }
}

// The 200 MB one (big.bin) is the browser tests'.
const archives = ['sample.bin', 'mixed.bin', 'cut.bin', 'faulting.bin', 'shared.bin', 'far.bin'];

for (const name of archives) {
  const file = path.join(fixtures, name);
  test(`${name}: listing, verdicts and tree as archive-extract's`, async () => {
    const archive = await open(file);
    try {
      for (const selection of selections) {
        const what = `${name} ${JSON.stringify(selection)}`;
        let looked;
        const listed = await archive.entries(selection, { onLookedUp: (l) => { looked = l; } });
        const list = cli(['--list', '--json'], file, selection);
        assert.deepEqual(listed.lines, list.out, what);
        // The lookups alone know all but a compressed entry's method and size.
        const known = (e) => ({ ...e, method: e.method === 'plain' || e.method === 'nodata' ? e.method : null,
          size: e.method === 'plain' ? e.size : null });
        assert.deepEqual(looked.entries, listed.entries.map(known), what);
        assert.deepEqual(endLines(listed), list.err, what);

        const tested = await archive.test({ selection });
        const verdicts = cli(['--test', '--json'], file, selection);
        assert.deepEqual(tested.lines, verdicts.out, what);
        const said = tested.fault ? [] : [...(tested.error ? [prefix(tested.error)] : []),
          prefix(tested.summary)];
        assert.deepEqual([...said, ...endLines(tested)], verdicts.err, what);

        const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'web-test-'));
        try {
          const theirs = path.join(scratch, 'cli');
          const run = cli(['-q', '-C', theirs], file, selection);
          const ours = path.join(scratch, 'web');
          const extracted = await archive.extract({ selection, to: ours });
          assert.deepEqual(tree(ours), tree(theirs), what);
          const stopped = extracted.failures.map(prefix);
          const summary = extracted.clean || extracted.fault ? [] : [prefix(extracted.summary)];
          assert.deepEqual([...extracted.problems.map(prefix), ...stopped, ...summary,
            ...endLines(extracted)].sort(), run.err.sort(), what);
        } finally {
          fs.rmSync(scratch, { recursive: true, force: true });
        }
      }
      // The pool's workers stopped, as a crashed worker stops: the worker that looked the entries
      // up decodes what was sent to them, the pool is replaced, and the verdicts and files are the
      // same.
      await stopPool(archive);
      const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'web-test-'));
      try {
        assert.deepEqual((await archive.test()).lines, cli(['--test', '--json'], file).out, name);
        await stopPool(archive);
        cli(['-q', '-C', path.join(scratch, 'cli')], file);
        await archive.extract({ to: path.join(scratch, 'web') });
        assert.deepEqual(tree(path.join(scratch, 'web')), tree(path.join(scratch, 'cli')), name);
      } finally {
        fs.rmSync(scratch, { recursive: true, force: true });
      }
    } finally {
      archive.close();
    }
  });
}

test('reads single entries, and refuses as the command line does', async () => {
  const archive = await open(path.join(fixtures, 'sample.bin'));
  try {
    assert.equal(Buffer.from(await archive.read('models - g/0001.raw')).toString(),
      'lz lz lz lz lz lz data');
    const refusals = [
      ['models - g/0004.raw', 'entry', 'models - g/0004.raw: nodata'],
      ['models - g/0006.raw', 'entry', 'models - g/0006.raw: corrupt'],
      ['models - g/0005.raw', 'entry', 'models - g/0005.raw: unsupported'],
      ['models - g/0099.raw', 'missing', 'models - g/0099.raw: not found in archive'],
      ['nosuch', 'missing', 'nosuch: not found in archive'],
    ];
    for (const [entry, kind, message] of refusals) {
      await assert.rejects(archive.read(entry), (e) => {
        assert.ok(e instanceof ArchiveError);
        assert.equal(e.kind, kind, entry);
        assert.equal(e.message, message);
        return true;
      });
    }
  } finally {
    archive.close();
  }
  const far = await open(path.join(fixtures, 'far.bin'));
  try {
    const listed = await far.entries();
    for (const { path: entry } of listed.entries) {
      const cliBytes = spawnSync(path.join(tools, 'archive-extract'),
        ['-O', path.join(fixtures, 'far.bin'), entry], { maxBuffer: 1 << 30 }).stdout;
      assert.ok(Buffer.from(await far.read(entry)).equals(cliBytes), entry);
    }
  } finally {
    far.close();
  }
});

test('refuses what is not an archive, and an archive with a journal', async () => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'web-test-'));
  try {
    const short = path.join(scratch, 'short.bin');
    fs.writeFileSync(short, Buffer.alloc(1000));
    const copy = path.join(scratch, 'DATA.BIN');
    fs.copyFileSync(path.join(fixtures, 'sample.bin'), copy);
    fs.writeFileSync(`${copy}.update-journal`, '');
    for (const [file, kind] of [[short, 'not-an-archive'], [path.join(scratch, 'nosuch'), 'host'],
      [scratch, 'host'], [copy, 'refused']]) {
      const cliSays = cli(['--list'], file).err;
      await assert.rejects(open(file), (e) => {
        assert.equal(e.kind, kind, file);
        assert.deepEqual([prefix(e.message)], cliSays);
        return true;
      });
    }
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});

// The 200 MB archive of 3000 entries takes many replies of the worker.
test('a cancelled test stops and says so', async () => {
  const archive = await open(path.join(fixtures, 'big.bin'));
  try {
    const controller = new AbortController();
    const tested = await archive.test({ signal: controller.signal, onVerdicts: () => controller.abort() });
    assert.equal(tested.stop, 'cancelled');
    assert.ok(tested.tested > 0 && tested.tested < 3000, String(tested.tested));
    const again = await archive.test({ selection: { categories: 'g' } });
    assert.equal(again.stop, 'none');
  } finally {
    archive.close();
  }
});

// The zip holds the tree archive-extract writes; a zip of more entries than the classic records
// count is read by Python's zipfile and unzip alike.
test('extracts into a zip as archive-extract extracts into folders', async () => {
  const { Writable } = await import('node:stream');
  const { ZipWriter } = await import(path.join(site, 'zip.mjs'));
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'web-test-'));
  try {
    for (const name of ['sample.bin', 'mixed.bin']) {
      const file = path.join(fixtures, name);
      const archive = await open(file);
      const zipFile = path.join(scratch, `${name}.zip`);
      const stream = Writable.toWeb(fs.createWriteStream(zipFile));
      const extracted = await archive.extract({ zip: { stream } });
      archive.close();
      fs.mkdirSync(path.join(scratch, 'zip'), { recursive: true });
      fs.mkdirSync(path.join(scratch, 'cli'), { recursive: true });
      cli(['-q', '-C', path.join(scratch, 'cli', name)], file);
      const unzipped = spawnSync('unzip', ['-q', zipFile, '-d', path.join(scratch, 'zip', name)]);
      assert.equal(unzipped.status, 0, unzipped.stderr.toString());
      assert.deepEqual(tree(path.join(scratch, 'zip', name)), tree(path.join(scratch, 'cli', name)));
      assert.equal(extracted.kept, 0);
    }
    const many = path.join(scratch, 'many.zip');
    const stream = fs.createWriteStream(many);
    const zip = new ZipWriter((chunk) => new Promise((done) => stream.write(chunk, done)));
    for (let i = 0; i < 70000; i++) await zip.addFile(`f/${i}`, new Uint8Array([i & 255]));
    await zip.finish();
    await new Promise((done) => stream.end(done));
    const check = spawnSync('python3', ['-c',
      'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); assert z.testzip() is None; ' +
      'n = z.namelist(); print(len(n), n[1], z.read(n[-1])[0])', many], { encoding: 'utf8' });
    assert.equal(check.stdout, '70001 f/0 111\n', check.stderr);
    assert.equal(spawnSync('unzip', ['-tq', many]).status, 0);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});

// A second extraction into the same folder keeps every file; with overwrite it replaces them; a
// folder where a file should go is that entry's problem.
test('keeps existing files unless asked to replace them', async () => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'web-test-'));
  const archive = await open(path.join(fixtures, 'sample.bin'));
  try {
    const first = await archive.extract({ to: scratch });
    fs.writeFileSync(path.join(scratch, 'models - g/0000.raw'), 'changed');
    fs.rmSync(path.join(scratch, 'models - g/0001.raw'));
    fs.mkdirSync(path.join(scratch, 'models - g/0001.raw'));
    const second = await archive.extract({ to: scratch });
    assert.deepEqual([second.written, second.kept, second.clean], [0, first.written - 1, false]);
    assert.deepEqual(second.problems.filter((l) => l.includes('in the way')),
      ['models - g/0001.raw: a folder is in the way; not written']);
    assert.equal(fs.readFileSync(path.join(scratch, 'models - g/0000.raw'), 'utf8'), 'changed');
    const third = await archive.extract({ to: scratch, overwrite: true });
    assert.equal(fs.readFileSync(path.join(scratch, 'models - g/0000.raw'), 'utf8'), 'plain data');
    assert.equal(third.kept, 0);
  } finally {
    archive.close();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});
