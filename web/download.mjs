// Where the page's downloads go: small ones (one entry, the JSON lines) as a Blob; the zip as a
// stream, never whole in memory: into a file the user picks where the browser lets the page
// write one (showSaveFilePicker), else through the page's service worker, which answers a hidden
// frame's navigation with the stream as an attachment.
const swUrl = new URL('./sw.js', import.meta.url);
let registration = null;

// Registered at load, so that a zip needs no request of its own later.
export function registerServiceWorker() {
  if (!('serviceWorker' in navigator) || !window.isSecureContext) return;
  registration = navigator.serviceWorker
    .register(swUrl, { scope: './' })
    .then(() => navigator.serviceWorker.ready)
    .catch(() => null);
}

// `bytes` (a Uint8Array, a string or a Blob) downloaded as `name`.
export function downloadBlob(bytes, name, type = 'application/octet-stream') {
  const blob = bytes instanceof Blob ? bytes : new Blob([bytes], { type });
  const url = URL.createObjectURL(blob);
  const a = document.createElement('a');
  a.href = url;
  a.download = name;
  a.hidden = true;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60_000);
}

// A WritableStream whose bytes become the download `name`: {stream, where, abort, reuse} (where:
// how the page says it; reuse: the stream is done with a chunk once its write resolves), or null
// when the user declined the picker. Throws when the browser offers no way.
export async function zipStream(name, { underTest }) {
  if (typeof window.showSaveFilePicker === 'function' && !underTest) {
    let handle;
    try {
      handle = await window.showSaveFilePicker({
        suggestedName: name,
        types: [{ description: 'Zip archive', accept: { 'application/zip': ['.zip'] } }],
      });
    } catch (e) {
      if (e.name === 'AbortError') return null;
      throw e;
    }
    // A file's stream copies what it is given: its chunks may be used again.
    return { ...wrapped(await handle.createWritable(), handle.name, () => {}), reuse: true };
  }
  const ready = registration && (await registration);
  const worker = ready?.active;
  if (!worker) {
    throw new Error('this browser cannot stream a download here (no service worker: open the page '
      + 'from http://127.0.0.1 or https); extract into a folder instead');
  }
  const id = crypto.randomUUID();
  const writable = await handOver(worker, id, name);
  const frame = document.getElementById('download-frame');
  frame.src = new URL(`./download/${id}/${encodeURIComponent(name)}`, swUrl).href;
  // A message now and then keeps the service worker alive for as long as the zip is written.
  const ping = setInterval(() => worker.postMessage({ ping: true }), 10_000);
  // The stream handed over holds the chunks themselves until the download takes them: a chunk
  // written is not used again.
  return { ...wrapped(writable, name, () => clearInterval(ping)), reuse: false };
}

// The stream's readable end handed to the service worker as download `id`: transferred whole
// where the browser can transfer streams, else fed through a port a chunk for each pull of the
// worker's stream (so that the download's pace holds the extraction back, as a stream's would).
async function handOver(worker, id, name) {
  const { port1, port2 } = new MessageChannel();
  const answered = new Promise((resolve, reject) => {
    port1.onmessage = (event) => (event.data.ok ? resolve() : reject(new Error(event.data.error)));
  });
  const { readable, writable } = new TransformStream();
  try {
    worker.postMessage({ id, name, readable }, [readable, port2]);
    await answered;
    return writable;
  } catch (e) {
    if (e.name !== 'DataCloneError') throw e;
  }
  const feed = new MessageChannel();
  let pulls = 0;
  let cancelled = false;
  let wake = null;
  const fed = new Promise((resolve, reject) => {
    feed.port1.onmessage = ({ data }) => {
      if (data.ok) resolve();
      else if (data.error) reject(new Error(data.error));
      if (data.pull) pulls += 1;
      if (data.cancelled) cancelled = true;
      wake?.();
      wake = null;
    };
  });
  worker.postMessage({ id, name, port: feed.port2 }, [feed.port2]);
  await fed;
  return new WritableStream({
    async write(chunk) {
      while (pulls === 0 && !cancelled) await new Promise((resolve) => (wake = resolve));
      if (cancelled) throw new Error('the download was cancelled');
      pulls -= 1;
      const copy = chunk.slice();
      feed.port1.postMessage({ chunk: copy }, [copy.buffer]);
    },
    close: () => feed.port1.postMessage({ done: true }),
    abort: (reason) => feed.port1.postMessage({ abort: String(reason) }),
  });
}

// {stream, where, abort}: `stream` writes into `destination`; abort() discards what was written
// (a half-written file, a download that then fails) even while the extraction holds `stream`.
function wrapped(destination, where, done) {
  const writer = destination.getWriter();
  let ended = false;
  const end = () => {
    ended = true;
    done();
  };
  const stream = new WritableStream({
    write: (chunk) => writer.write(chunk),
    close: () => {
      end();
      return writer.close();
    },
    abort: (reason) => {
      end();
      return writer.abort(reason);
    },
  });
  const abort = async (reason) => {
    if (ended) return;
    end();
    await writer.abort(reason).catch(() => {});
  };
  return { stream, where, abort };
}
