// The page's service worker: it answers a download's URL with a zip the page is still writing,
// as a streamed attachment, so that a browser without a file picker the page can write to still
// saves a zip larger than memory. The page posts {id, name, readable} (a transferred
// ReadableStream) and then navigates a hidden frame to ./download/ID/NAME. Nothing else goes
// through it: every other request is the browser's own.
'use strict';

const pending = new Map();  // id -> {name, readable, taken}
const kWait = 60_000;  // ms a posted stream waits for its frame

self.addEventListener('install', () => self.skipWaiting());
self.addEventListener('activate', (event) => event.waitUntil(self.clients.claim()));

self.addEventListener('message', (event) => {
  const { id, name, ping, port } = event.data || {};
  if (ping) return;
  const [reply] = event.ports;
  // A browser that cannot transfer a stream sends its chunks through a port, one each time the
  // download pulls.
  const readable = port ? fed(port) : event.data.readable;
  if (typeof id !== 'string' || !(readable instanceof ReadableStream)) {
    reply?.postMessage({ ok: false, error: 'not a download' });
    return;
  }
  // The worker is kept alive until the frame has taken the stream (or the wait is over).
  let taken;
  const promise = new Promise((resolve) => {
    taken = resolve;
    setTimeout(resolve, kWait);
  });
  pending.set(id, { name, readable, taken });
  promise.then(() => pending.delete(id));
  event.waitUntil(promise);
  reply?.postMessage({ ok: true });
});

function fed(port) {
  return new ReadableStream({
    start(controller) {
      port.onmessage = ({ data }) => {
        if (data.chunk) controller.enqueue(data.chunk);
        else if (data.done) controller.close();
        else if (data.abort) controller.error(new Error(data.abort));
      };
    },
    pull: () => port.postMessage({ pull: true }),
    cancel: () => port.postMessage({ cancelled: true }),
  }, { highWaterMark: 1 });
}

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  const match = url.pathname.match(/\/download\/([0-9a-f-]+)\/[^/]*$/);
  if (!match || url.origin !== self.location.origin) return;
  const download = pending.get(match[1]);
  if (!download) {
    event.respondWith(new Response('This download has ended.', { status: 404 }));
    return;
  }
  pending.delete(match[1]);
  download.taken();
  // The name as a quoted string and, for what a quoted string cannot carry, as RFC 5987's form.
  const plain = download.name.replace(/[^\x20-\x7e]|["\\]/g, '_');
  event.respondWith(new Response(download.readable, {
    headers: {
      'Content-Type': 'application/zip',
      'Content-Disposition':
        `attachment; filename="${plain}"; filename*=UTF-8''${encodeURIComponent(download.name)}`,
      'X-Content-Type-Options': 'nosniff',
    },
  }));
});
