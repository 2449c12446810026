// The page's words for sizes, times and names, and its reading of the filter box: what needs no
// document.

// The archive's name without its extension: DATA.BIN's zip is DATA.zip.
export const baseName = (name) => {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
};

export function formatBytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let u = -1;
  do {
    n /= 1024;
    u += 1;
  } while (n >= 1024 && u < units.length - 1);
  return `${n.toFixed(n < 10 ? 1 : 0)} ${units[u]}`;
}

export function formatTime(seconds) {
  if (seconds < 60) return `${Math.ceil(seconds)} s`;
  const m = Math.floor(seconds / 60);
  if (m < 60) return `${m} min ${Math.round(seconds % 60)} s`;
  return `${Math.floor(m / 60)} h ${m % 60} min`;
}

// The patterns of a filter box's `text`: separated by commas (outside a [class]).
export function patterns(text) {
  const out = [];
  let current = '';
  let inClass = false;
  for (const c of text) {
    if (c === '[') inClass = true;
    else if (c === ']') inClass = false;
    if (c === ',' && !inClass) {
      out.push(current);
      current = '';
    } else current += c;
  }
  out.push(current);
  return out.map((p) => p.trim()).filter((p) => p !== '');
}

// A path as a member pattern that takes exactly it.
export const literal = (path) => path.replace(/[[*?]/g, (c) => `[${c}]`);
