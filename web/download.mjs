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

// A WritableStream whose bytes become the download `name`: {stream, where} (where: how the page
// says it), or null when the user declined the picker. Throws when the browser offers no way.
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
    return wrapped(await handle.createWritable(), handle.name, () => {});
  }
  const ready = registration && (await registration);
  const worker = ready?.active;
  if (!worker) {
    throw new Error('this browser cannot stream a download here (no service worker: open the page '
      + 'from http://127.0.0.1 or https); extract into a folder instead');
  }
  const id = crypto.randomUUID();
  const { readable, writable } = new TransformStream();
  const answered = new Promise((resolve, reject) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = (event) => (event.data.ok ? resolve() : reject(new Error(event.data.error)));
    worker.postMessage({ id, name, readable }, [readable, channel.port2]);
  });
  await answered;
  const frame = document.getElementById('download-frame');
  frame.src = new URL(`./download/${id}/${encodeURIComponent(name)}`, swUrl).href;
  // A message now and then keeps the service worker alive for as long as the zip is written.
  const ping = setInterval(() => worker.postMessage({ ping: true }), 10_000);
  return wrapped(writable, name, () => clearInterval(ping));
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
