// The WebAssembly build in headless Chromium against the native tool, in the same run, on the
// same file system (a tmpfs holds Chromium's profile, its Origin Private File System and the
// native tool's output): the lookups of one sweep (the first, and the median of the next ones,
// after the engine has compiled the hot code with its optimising tier), the whole listing with
// the compressed entries' headers, the whole extraction into a streamed zip and into a folder,
// against archive-extract --jobs 2; and the renderer's peak memory (the summed RSS of Chromium's
// renderer processes, sampled every 50 ms) during the page's own runs. Beside the listing and
// the extractions (theirs after the page's runs), the browser's own floor, as cp is the native
// tool's: the file read (and what that alone adds to the tab's peak memory), the zip's bytes and
// the folder's tree written, through the same calls, with nothing decoded.
//   node bench/web.mjs ARCHIVE   (scripts/bench-web runs it; SITE, TOOLS, NPM as the tests)
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const site = path.resolve(process.env.SITE ?? 'build/web');
const tools = path.resolve(process.env.TOOLS ?? 'build/release');
const npm = path.resolve(process.env.NPM ?? 'build/web-npm');
const runs = Number(process.env.RUNS ?? 3);
const archive = path.resolve(process.argv[2]);
const puppeteer = createRequire(path.join(npm, 'package.json'))('puppeteer-core');

const shm = fs.mkdtempSync('/dev/shm/bench-web-');
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor((v.length - 1) / 2)];
const seconds = (ms) => (ms / 1000).toFixed(3);

function native(args) {
  const start = process.hrtime.bigint();
  const run = spawnSync(path.join(tools, 'archive-extract'), args, { stdio: 'ignore' });
  if (run.status !== 0) throw new Error(`archive-extract ${args.join(' ')}: status ${run.status}`);
  return Number(process.hrtime.bigint() - start) / 1e6;
}

// The summed RSS (KiB) of the renderer processes of the browser whose profile is `profile`: the
// tab's (its workers are its threads), not the one of the browser's own interface.
function rendererRss(profile) {
  let total = 0;
  for (const pid of fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (!cmdline.includes('--type=renderer') || !cmdline.includes(profile)) continue;
      if (cmdline.includes('--top-chrome-webui')) continue;  // the browser's own interface
      const m = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
      if (m) total += Number(m[1]);
    } catch {
      // gone meanwhile
    }
  }
  return total;
}

const server = spawn('python3', [path.resolve('scripts/serve-web'), site, '0'],
  { stdio: ['ignore', 'pipe', 'inherit'] });
const origin = await new Promise((resolve) => server.stdout.on('data', (d) => {
  const m = /http:\/\/127\.0\.0\.1:(\d+)\//.exec(d.toString());
  if (m) resolve(`http://127.0.0.1:${m[1]}`);
}));
const profile = path.join(shm, 'profile');
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  userDataDir: profile,
  protocolTimeout: 0,
  // No spare renderer kept ready for another tab: only the page's own processes are summed.
  args: ['--no-sandbox', '--disable-dev-shm-usage',
    '--disable-features=SpareRendererForSitePerProcess'],
});
let peak = 0;
let since = 0;  // the peak since the page last asked (benchMark)
const sampler = setInterval(() => {
  const rss = rendererRss(profile);
  peak = Math.max(peak, rss);
  since = Math.max(since, rss);
}, 50);
try {
  const [page] = await browser.pages();  // the first tab: no other stays open beside it
  page.on('console', (m) => process.env.VERBOSE && console.error(m.text()));
  // The page asks for the renderer's RSS now and its peak since it last asked (KiB).
  await page.exposeFunction('benchMark', () => {
    const now = rendererRss(profile);
    const seen = Math.max(since, now);
    since = now;
    return { now, peak: seen };
  });
  await page.goto(`${origin}/`, { waitUntil: 'load' });
  await page.evaluate(() => {
    const input = document.createElement('input');
    input.type = 'file';
    input.id = 'bench-input';
    document.body.append(input);
  });
  await (await page.$('#bench-input')).uploadFile(archive);

  const web = await page.evaluate(async (runsInPage) => {
    const face = await import('/archive-extract.mjs');
    // As a user would find it: the page ready, its lookups run once at load.
    await face.prepare();
    const file = document.getElementById('bench-input').files[0];
    await window.benchMark();  // the page's own peak is taken from here
    const a = await face.open(file);
    const time = async (f) => {
      const start = performance.now();
      await f();
      return performance.now() - start;
    };
    // The lookups: until the listing's rows are known as the lookups know them.
    const lookups = async () => {
      const start = performance.now();
      let looked;
      await a.entries({}, { onLookedUp: () => { looked = performance.now() - start; } });
      return looked;
    };
    const first = await lookups();
    const later = [];
    for (let i = 0; i < 5; i++) later.push(await lookups());
    const listing = await time(() => a.entries());
    // The page's own peak, in two spans: its lookups and listing, and its extractions; the
    // floors (run in the same tab) add buffers of their own, and are left out of it.
    let pagePeak = (await window.benchMark()).peak;
    // The browser alone: the whole file read as the listing reads it, in ranges of 16 MiB, each
    // through the file's byte stream into one buffer; and what that alone adds to the tab's
    // memory at its peak.
    const before = await window.benchMark();
    const readFloor = await time(async () => {
      let buffer = new ArrayBuffer(16 << 20);
      for (let at = 0; at < file.size; at += 16 << 20) {
        const reader = file.slice(at, at + (16 << 20)).stream().getReader({ mode: 'byob' });
        window.benchReader = reader;  // held, as the page holds its readers (see worker.js)
        for (;;) {
          const { done, value } = await reader.read(new Uint8Array(buffer));
          if (value) buffer = value.buffer;
          if (done) break;
        }
      }
    });
    const readMemory = (await window.benchMark()).peak - before.now;
    const root = await navigator.storage.getDirectory();
    const zip = [];
    const folder = [];
    const zipSizes = [];
    const trees = [];
    for (let i = 0; i < runsInPage; i++) {
      await root.removeEntry('bench.zip').catch(() => {});
      const handle = await root.getFileHandle('bench.zip', { create: true });
      zip.push(await time(async () => {
        const r = await a.extract({ zip: { stream: await handle.createWritable() } });
        if (!r.clean) throw new Error(r.summary);
      }));
      zipSizes.push((await handle.getFile()).size);
      await root.removeEntry('bench.zip').catch(() => {});
      // A new folder each time: removing 15,000 files can leave some behind, which the next
      // run would keep.
      folder.push(await time(async () => {
        const out = await root.getDirectoryHandle(`out-${i}`, { create: true });
        const r = await a.extract({ to: out });
        if (!r.clean) throw new Error(`${r.summary}; ${r.kept} kept; ${r.problems[0] ?? ''}`);
      }));
      // What the folder's floor writes: the same folders, as many files, of the same sizes.
      const tree = [];
      for await (const [folderName, folderHandle] of (await root.getDirectoryHandle(`out-${i}`)).entries()) {
        for await (const [fileName, fileHandle] of folderHandle.entries()) {
          tree.push([folderName, fileName, (await fileHandle.getFile()).size]);
        }
      }
      trees.push(tree);
      await root.removeEntry(`out-${i}`, { recursive: true }).catch(() => {});
    }
    pagePeak = Math.max(pagePeak, (await window.benchMark()).peak);

    const zipFloor = [];
    const folderFloor = [];
    for (let i = 0; i < runsInPage; i++) {
      // As many bytes as the page's zip, written through the same kind of stream, from one
      // buffer, with nothing read or decoded.
      zipFloor.push(await time(async () => {
        const floor = await root.getFileHandle('floor.zip', { create: true });
        const writable = await floor.createWritable();
        const chunk = new Uint8Array(16 << 20);
        for (let left = zipSizes[i]; left > 0; left -= chunk.length) {
          await writable.write(left >= chunk.length ? chunk : chunk.subarray(0, left));
        }
        await writable.close();
      }));
      await root.removeEntry('floor.zip').catch(() => {});
      // The folder's tree written through the same calls, four files under way at once as the
      // page has them, from one buffer of zeros.
      const zeros = new Uint8Array(Math.max(...trees[i].map(([, , size]) => size)));
      folderFloor.push(await time(async () => {
        const out = await root.getDirectoryHandle(`floor-${i}`, { create: true });
        const folders = new Map();
        const one = async ([folderName, fileName, size]) => {
          if (!folders.has(folderName)) {
            folders.set(folderName, out.getDirectoryHandle(folderName, { create: true }));
          }
          const fileHandle = await (await folders.get(folderName)).getFileHandle(fileName, { create: true });
          const writable = await fileHandle.createWritable();
          await writable.write(zeros.subarray(0, size));
          await writable.close();
        };
        const under = [];
        for (const f of trees[i]) {
          under.push(one(f));
          if (under.length >= 4) await under.shift();
        }
        await Promise.all(under);
      }));
      await root.removeEntry(`floor-${i}`, { recursive: true }).catch(() => {});
    }
    a.close();
    return { first, later, listing, readFloor, readMemory, zip, folder, zipFloor, folderFloor,
      pagePeak };
  }, runs);

  const list = [];
  const jobs2 = [];
  for (let i = 0; i < Math.max(runs, 5); i++) list.push(native(['--list', archive]));
  for (let i = 0; i < runs; i++) {
    const out = path.join(shm, 'native');
    jobs2.push(native(['-q', '--jobs', '2', '-C', out, archive]));
    fs.rmSync(out, { recursive: true, force: true });
  }
  const size = fs.statSync(archive).size;
  console.log(`bench-web: ${archive} (${size} bytes); medians of ${runs}; headless Chromium`);
  const ratio = (a, b) => (a / b).toFixed(2);
  console.log(`  lookups, native --list              ${seconds(median(list))} s`);
  console.log(`  lookups in the page, first          ${seconds(web.first)} s  (${ratio(web.first, median(list))} of native)`);
  console.log(`  lookups in the page, after tier-up  ${seconds(median(web.later))} s  (${ratio(median(web.later), median(list))} of native)`);
  console.log(`  the listing in the page (headers)    ${seconds(web.listing)} s  (${ratio(web.listing, median(list))} of native)`);
  console.log(`  the browser alone, reading the file  ${seconds(web.readFloor)} s  (the listing: ${ratio(web.listing, web.readFloor)} of it)`);
  console.log(`  archive-extract --jobs 2            ${seconds(median(jobs2))} s`);
  console.log(`  the page, into a streamed zip       ${seconds(median(web.zip))} s  (${ratio(median(web.zip), median(jobs2))} of --jobs 2)`);
  console.log(`  the page, into a folder (OPFS)      ${seconds(median(web.folder))} s  (${ratio(median(web.folder), median(jobs2))} of --jobs 2)`);
  console.log(`  the browser alone, the zip's bytes   ${seconds(median(web.zipFloor))} s  (the page's zip: ${ratio(median(web.zip), median(web.zipFloor))} of it)`);
  console.log(`  the browser alone, the folder's tree ${seconds(median(web.folderFloor))} s  (the page's folder: ${ratio(median(web.folder), median(web.folderFloor))} of it)`);
  console.log(`  renderer peak memory, the page's runs ${web.pagePeak} KiB (summed RSS of its processes)`);
  console.log(`  renderer peak memory, with the floors ${peak} KiB`);
  console.log(`  the browser alone, reading the file  ${web.readMemory} KiB more at its peak`);
} finally {
  clearInterval(sampler);
  await browser.close();
  server.kill();
  fs.rmSync(shm, { recursive: true, force: true });
}
