// The page in headless Chromium, driven through its hooks (#archive-input, #test, #extract-zip,
// #extract-folder, #export-json, #cancel, #status, body's data-state), against archive-extract
// on the archives of web-fixtures: the exports, the verdicts and the trees must be the command
// line's, byte for byte. Also: cancel, a reload mid-run, a second archive, no request after load,
// and an accessibility check (axe-core, levels A and AA).
//   SITE=build/web TOOLS=build/release FIXTURES=DIR NPM=build/web-npm node --test web/tests/
// (VERBOSE=1 prints the page's console too.)
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

const site = path.resolve(process.env.SITE ?? 'build/web');
const tools = path.resolve(process.env.TOOLS ?? 'build/release');
const fixtures = path.resolve(process.env.FIXTURES ?? 'build/web-fixtures');
const npm = path.resolve(process.env.NPM ?? 'build/web-npm');
const require = createRequire(path.join(npm, 'package.json'));
const puppeteer = require('puppeteer-core');
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'web-browser-'));
const downloads = path.join(scratch, 'downloads');
let server, origin, browser, page;
let loaded = false;
const lateRequests = [];

// archive-extract run in the archive's folder on its name alone, as the page knows a File.
function cli(args, archive) {
  const run = spawnSync(path.join(tools, 'archive-extract'),
    [...args, '--', path.basename(archive)], { maxBuffer: 1 << 30, cwd: path.dirname(archive) });
  const lines = (b) => b.toString('utf8').split('\n').filter((l) => l !== '');
  return { status: run.status, out: run.stdout.toString('utf8'), err: lines(run.stderr) };
}

const sha = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

// path -> SHA-256 of every file under `root`.
function digests(root) {
  const files = {};
  const walk = (dir) => {
    for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
      const p = path.join(dir, e.name);
      if (e.isDirectory()) walk(p);
      else files[path.relative(root, p)] = sha(fs.readFileSync(p));
    }
  };
  if (fs.existsSync(root)) walk(root);
  return files;
}

// The command line's tree of `archive`.
function cliTree(archive) {
  const out = path.join(scratch, `cli-${path.basename(archive)}`);  // absolute: -C takes it
  if (!fs.existsSync(out)) cli(['-q', '-C', out], archive);
  return digests(out);
}

async function state() {
  return page.evaluate(() => document.body.dataset.state);
}

// Waits until the page is in one of `states` (body's data-state).
async function until(...states) {
  await page.waitForFunction((s) => s.includes(document.body.dataset.state), { timeout: 120000 },
    states);
  return state();
}

async function status() {
  return page.$eval('#status', (e) => e.textContent.trim());
}

async function openInPage(...files) {
  const input = await page.$('#archive-input');
  await input.uploadFile(...files);
  return until('listed', 'failed');
}

// Clicks `button` and waits for the download named `name`.
async function download(button, name) {
  const file = path.join(downloads, name);
  fs.rmSync(file, { force: true });
  await page.click(button);
  for (let i = 0; i < 1200; i++) {
    if (fs.existsSync(file) && !fs.existsSync(`${file}.crdownload`)) {
      // Chromium names the file when the last byte is in.
      return fs.readFileSync(file);
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`no download ${name}`);
}

before(async () => {
  server = spawn('python3', [path.resolve('scripts/serve-web'), site, '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  origin = await new Promise((resolve) => {
    server.stdout.on('data', (d) => {
      const m = /http:\/\/127\.0\.0\.1:(\d+)\//.exec(d.toString());
      if (m) resolve(`http://127.0.0.1:${m[1]}`);
    });
  });
  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    // gc(), for the workers' reads under garbage collection
    args: ['--no-sandbox', '--disable-dev-shm-usage', '--js-flags=--expose-gc'],
  });
  page = await browser.newPage();
  if (process.env.VERBOSE) page.on('console', (m) => console.log('page:', m.text()));
  const cdp = await page.createCDPSession();
  fs.mkdirSync(downloads);
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  // The folder picker, answered with a folder of the Origin Private File System.
  await page.evaluateOnNewDocument(() => {
    window.archiveExtractTest = {
      pickFolder: async () => {
        const root = await navigator.storage.getDirectory();
        return root.getDirectoryHandle('out', { create: true });
      },
    };
  });
  page.on('requestfinished', (request) => {
    const response = request.response();
    const url = request.url();
    if (!loaded || url.startsWith('blob:') || url.startsWith('data:')) return;
    if (response && (response.fromCache() || response.fromServiceWorker())) return;
    lateRequests.push(url);
  });
  await page.goto(`${origin}/index.html`, { waitUntil: 'networkidle0' });
  await page.waitForFunction(() => document.body.dataset.ready === 'true');
  loaded = true;
});

after(async () => {
  await browser?.close();
  server?.kill();
  fs.rmSync(scratch, { recursive: true, force: true });
});

// Each archive: the listing's export, the test's verdicts and summary, the zip's tree and the
// folder's tree, as the command line's.
for (const name of ['sample.bin', 'mixed.bin', 'cut.bin', 'far.bin', 'big.bin']) {
  test(`${name} in the page as on the command line`, async () => {
    const file = path.join(fixtures, name);
    const stem = name.replace(/\.[^.]*$/, '');
    assert.equal(await openInPage(file), 'listed', await status());
    const listed = await download('#export-json', `${stem}.jsonl`);
    assert.equal(listed.toString(), cli(['--list', '--json'], file).out);

    await page.click('#test');
    assert.equal(await until('tested', 'failed'), 'tested');
    const tested = cli(['--test', '--json'], file);
    assert.equal(await status(), tested.err.at(-1).replace('archive-extract: ', ''));
    assert.equal((await download('#export-json', `${stem}.jsonl`)).toString(), tested.out);

    const zip = path.join(scratch, `${stem}.zip`);
    fs.writeFileSync(zip, await download('#extract-zip', `${stem}.zip`));
    await until('extracted', 'failed');
    const unzipped = path.join(scratch, `zip-${stem}`);
    assert.equal(spawnSync('unzip', ['-q', zip, '-d', unzipped]).status, 0);
    assert.deepEqual(digests(unzipped), cliTree(file));

    // Through a save dialog (answered with a file of the Origin Private File System), whose
    // stream the zip's chunks are used again with: the same bytes as the download.
    await page.evaluate(() => {
      window.savedTest = window.archiveExtractTest;
      window.savedPicker = window.showSaveFilePicker;
      window.archiveExtractTest = undefined;
      window.showSaveFilePicker = async () => (await navigator.storage.getDirectory())
        .getFileHandle('saved.zip', { create: true });
    });
    await page.click('#extract-zip');
    await until('extracted', 'failed');
    const saved = await page.evaluate(async () => {
      window.archiveExtractTest = window.savedTest;
      window.showSaveFilePicker = window.savedPicker;
      const root = await navigator.storage.getDirectory();
      const file = await (await root.getFileHandle('saved.zip')).getFile();
      const digest = await crypto.subtle.digest('SHA-256', await file.arrayBuffer());
      await root.removeEntry('saved.zip');
      return [...new Uint8Array(digest)].map((x) => x.toString(16).padStart(2, '0')).join('');
    });
    assert.equal(saved, sha(fs.readFileSync(zip)));

    await page.evaluate(async () => {
      const root = await navigator.storage.getDirectory();
      await root.removeEntry('out', { recursive: true }).catch(() => {});
    });
    await page.click('#extract-folder');
    await until('extracted', 'failed');
    const folder = await page.evaluate(async () => {
      const files = {};
      const hex = (b) => [...new Uint8Array(b)].map((x) => x.toString(16).padStart(2, '0')).join('');
      const walk = async (dir, prefix) => {
        for await (const [entryName, handle] of dir.entries()) {
          if (handle.kind === 'directory') await walk(handle, `${prefix}${entryName}/`);
          else {
            const bytes = await (await handle.getFile()).arrayBuffer();
            files[prefix + entryName] = hex(await crypto.subtle.digest('SHA-256', bytes));
          }
        }
      };
      await walk(await (await navigator.storage.getDirectory()).getDirectoryHandle('out'), '');
      return files;
    });
    assert.deepEqual(folder, cliTree(file));
    if (name !== 'sample.bin') return;

    // Again into the same folder: existing files kept (one of them changed meanwhile), a folder
    // in the way of another; then replaced.
    const g = () => page.evaluate(async () => {
      const out = await (await navigator.storage.getDirectory()).getDirectoryHandle('out');
      const folder = await out.getDirectoryHandle('models - g');
      return (await (await folder.getFileHandle('0000.raw')).getFile()).text();
    });
    await page.evaluate(async () => {
      const out = await (await navigator.storage.getDirectory()).getDirectoryHandle('out');
      const folder = await out.getDirectoryHandle('models - g');
      const changed = await (await folder.getFileHandle('0000.raw')).createWritable();
      await changed.write('x');
      await changed.close();
      await folder.removeEntry('0001.raw');
      await folder.getDirectoryHandle('0001.raw', { create: true });
    });
    const files = Object.keys(cliTree(file)).length;
    const inTheWay = 'models - g/0001.raw: a folder is in the way; not written';
    await page.click('#extract-folder');
    await until('extracted', 'failed');
    assert.equal(await g(), 'x');
    // As the command line says it: kept files are not written, nor is one a folder is in the way of.
    assert.match(await status(), new RegExp(`^0 entries written, 3 not written.*\\n${files - 1} existing files kept`));
    assert.ok((await page.$eval('body', (b) => b.innerText)).includes(inTheWay));
    await page.click('#overwrite');
    await page.click('#extract-folder');
    await until('extracted', 'failed');
    await page.click('#overwrite');
    assert.notEqual(await g(), 'x');
    assert.match(await status(), new RegExp(`^${files - 1} entries written, 3 not written`, 'm'));
  });
}

test('refusals and faults in the command line\'s words', async () => {
  const short = path.join(scratch, 'short.bin');
  fs.writeFileSync(short, Buffer.alloc(1000));
  assert.equal(await openInPage(short), 'failed');
  assert.equal(await status(), cli(['--list'], short).err[0].replace('archive-extract: ', ''));

  const faulting = path.join(fixtures, 'faulting.bin');
  await openInPage(faulting);
  const said = cli(['--list', '--json'], faulting).err;
  const shown = await status();
  for (const line of said) assert.ok(shown.includes(line.replace('archive-extract: ', '')), shown);

  const copy = path.join(scratch, 'DATA.BIN');
  fs.copyFileSync(path.join(fixtures, 'sample.bin'), copy);
  fs.writeFileSync(`${copy}.update-journal`, '');
  assert.equal(await openInPage(copy, `${copy}.update-journal`), 'failed');
  // The tools name the journal by its real path; the page knows the name it was given.
  assert.equal(await status(), cli(['--list'], copy).err[0].replace('archive-extract: ', '')
    .replace(`${fs.realpathSync(scratch)}/`, ''));
});

test('cancel stops a run within a second, and a reload mid-run leaves the page usable', async () => {
  await openInPage(path.join(fixtures, 'big.bin'));
  await page.click('#test');
  await until('testing');
  await new Promise((r) => setTimeout(r, 300));
  const start = Date.now();
  await page.click('#cancel');
  assert.equal(await until('cancelled', 'tested'), 'cancelled');
  assert.ok(Date.now() - start < 1000, `${Date.now() - start} ms`);

  await page.click('#extract-zip');
  await until('extracting');
  loaded = false;  // the reload fetches the page again
  await page.reload({ waitUntil: 'networkidle0' });
  await page.waitForFunction(() => document.body.dataset.ready === 'true');
  loaded = true;
  const sample = path.join(fixtures, 'sample.bin');
  await openInPage(sample);
  await page.click('#test');
  await until('tested');
  assert.equal(await status(), cli(['--test'], sample).err.at(-1).replace('archive-extract: ', ''));
});

// A read of the file under way outlives any garbage collection: collections forced in the page's
// workers, every few milliseconds, the whole time the listing and the test read big.bin. (The
// browser collected a file's stream, with the read it had under way, when nothing else held it:
// the read never ended.)
test('the file is read whole while the browser collects garbage', async () => {
  const file = path.join(fixtures, 'big.bin');
  let collecting = true;
  const collector = (async () => {
    while (collecting) {
      await Promise.all(page.workers().map((w) => w.evaluate('gc()').catch(() => {})));
      await new Promise((r) => setTimeout(r, 2));
    }
  })();
  try {
    assert.equal(await openInPage(file), 'listed', await status());
    await page.click('#test');
    assert.equal(await until('tested', 'failed'), 'tested');
    assert.equal(await status(), cli(['--test'], file).err.at(-1).replace('archive-extract: ', ''));
  } finally {
    collecting = false;
    await collector;
  }
});

test('no level A or AA accessibility violation', async () => {
  await openInPage(path.join(fixtures, 'sample.bin'));
  await page.evaluate(axeSource);
  const violations = await page.evaluate(async () => {
    const result = await window.axe.run(document, {
      runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'] },
    });
    return result.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`);
  });
  assert.deepEqual(violations, []);
});

test('no request leaves the page after it loaded', () => {
  assert.deepEqual(lateRequests, []);
});
