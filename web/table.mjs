// The entries' table: a real <table> in a fixed-height scroller, of which only the rows in view
// (and a few either side) exist in the document, so that an archive of tens of thousands of
// entries scrolls as fast as one of ten. Spacer rows above and below keep the scrollbar true;
// aria-rowcount and aria-rowindex tell a screen reader where it is in the whole.
const kRowHeight = 30;  // px: every row has this height (style.css agrees)
const kOverscan = 8;

const columns = [
  { key: 'path', label: 'Path', compare: (a, b) => (a.path < b.path ? -1 : a.path > b.path ? 1 : 0) },
  { key: 'method', label: 'Method', compare: (a, b) => a.method.localeCompare(b.method) },
  { key: 'stored', label: 'Stored', numeric: true, compare: (a, b) => (a.stored ?? -1) - (b.stored ?? -1) },
  { key: 'size', label: 'Size', numeric: true, compare: (a, b) => (a.size ?? -1) - (b.size ?? -1) },
  { key: 'status', label: 'Status', compare: (a, b) => statusOf(a).localeCompare(statusOf(b)) },
];

// A row's verdict as --test words it, or nothing before a test.
export function statusOf(row) {
  if (!row.verdict) return '';
  return row.verdict.ok ? 'sound' : row.verdict.problem;
}

const number = (n) => (n == null ? '–' : n.toLocaleString('en-US'));

// The file name a single entry downloads as: its last component (NNNN.raw).
export const fileNameOf = (path) => path.slice(path.lastIndexOf('/') + 1);

export class EntryTable {
  // `host`: the element the table goes in; onDownload(row) when a row's link is clicked;
  // onSelection(count) when the checked rows change.
  constructor(host, { onDownload, onSelection }) {
    this.onDownload = onDownload;
    this.onSelection = onSelection;
    this.rows = [];
    this.order = [];  // indexes into rows, as sorted
    this.checked = new Set();  // indexes into rows
    this.sort = null;  // {column, descending}
    this.first = -1;
    this.last = -1;

    this.scroller = document.createElement('div');
    this.scroller.className = 'scroller';
    this.scroller.tabIndex = 0;
    this.scroller.setAttribute('role', 'region');
    this.scroller.setAttribute('aria-label', 'Entries, scrollable');
    this.table = document.createElement('table');
    this.table.className = 'entries-table';
    const caption = document.createElement('caption');
    caption.className = 'visually-hidden';
    caption.textContent = 'Entries of the archive; click a column heading to sort';
    this.table.append(caption);

    const head = this.table.createTHead().insertRow();
    head.setAttribute('aria-rowindex', '1');
    const selectCell = document.createElement('th');
    selectCell.scope = 'col';
    this.all = document.createElement('input');
    this.all.type = 'checkbox';
    this.all.setAttribute('aria-label', 'Select every listed entry');
    this.all.addEventListener('change', () => this.checkAll(this.all.checked));
    selectCell.append(this.all);
    head.append(selectCell);
    this.headers = columns.map((column) => {
      const th = document.createElement('th');
      th.scope = 'col';
      if (column.numeric) th.className = 'numeric';
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'sort';
      button.textContent = column.label;
      button.addEventListener('click', () => this.sortBy(column));
      th.append(button);
      head.append(th);
      return th;
    });

    this.body = this.table.createTBody();
    this.body.addEventListener('change', (event) => {
      const index = Number(event.target.dataset.index);
      if (event.target.checked) this.checked.add(index);
      else this.checked.delete(index);
      this.selectionChanged();
    });
    this.body.addEventListener('click', (event) => {
      const link = event.target.closest('a[data-index]');
      if (!link) return;
      event.preventDefault();
      this.onDownload(this.rows[Number(link.dataset.index)]);
    });
    this.scroller.append(this.table);
    this.scroller.addEventListener('scroll', () => this.render());
    new ResizeObserver(() => this.render(true)).observe(this.scroller);
    host.append(this.scroller);
  }

  // A new listing: records as --list --json gives them.
  show(records) {
    this.rows = records.map((record, index) => ({ ...record, index, verdict: null }));
    this.checked.clear();
    this.order = this.rows.map((_, i) => i);
    if (this.sort) this.applySort();
    this.scroller.scrollTop = 0;
    this.table.setAttribute('aria-rowcount', String(this.rows.length + 1));
    this.selectionChanged();
    this.render(true);
  }

  // Verdicts came in (the test's records): their rows' status changes.
  verdicts() {
    if (this.sort?.column.key === 'status') this.applySort();
    this.render(true);
  }

  // The checked rows, in sweep order.
  selected() {
    return [...this.checked].sort((a, b) => a - b).map((i) => this.rows[i]);
  }

  setDisabled(disabled) {
    this.disabled = disabled;
    this.all.disabled = disabled;
    this.render(true);
  }

  checkAll(on) {
    this.checked.clear();
    if (on) this.rows.forEach((_, i) => this.checked.add(i));
    this.selectionChanged();
    this.render(true);
  }

  selectionChanged() {
    const n = this.checked.size;
    this.all.checked = n > 0 && n === this.rows.length;
    this.all.indeterminate = n > 0 && n < this.rows.length;
    this.onSelection(n);
  }

  sortBy(column) {
    const descending = this.sort?.column === column ? !this.sort.descending : false;
    this.sort = { column, descending };
    this.applySort();
    this.headers.forEach((th, i) => {
      if (columns[i] === column) th.setAttribute('aria-sort', descending ? 'descending' : 'ascending');
      else th.removeAttribute('aria-sort');
    });
    this.render(true);
  }

  applySort() {
    const { column, descending } = this.sort;
    const rows = this.rows;
    // Ties keep sweep order, whichever way the column sorts.
    this.order.sort((a, b) => (descending ? -1 : 1) * column.compare(rows[a], rows[b]) || a - b);
  }

  // The rows in view, drawn again when they changed (or always, with `force`).
  render(force = false) {
    const height = this.scroller.clientHeight || 400;
    const top = this.scroller.scrollTop;
    const first = Math.max(0, Math.floor(top / kRowHeight) - kOverscan);
    const last = Math.min(this.order.length, Math.ceil((top + height) / kRowHeight) + kOverscan);
    if (!force && first === this.first && last === this.last) return;
    // Keep the focus on the same row's control when its row is drawn again.
    const focused = this.body.contains(document.activeElement) ? document.activeElement : null;
    const focusKey = focused && `${focused.dataset.index}:${focused.tagName}`;
    this.first = first;
    this.last = last;
    const rows = [spacer(first * kRowHeight)];
    for (let at = first; at < last; at++) rows.push(this.rowElement(this.rows[this.order[at]], at));
    rows.push(spacer((this.order.length - last) * kRowHeight));
    this.body.replaceChildren(...rows);
    if (focusKey) {
      const again = [...this.body.querySelectorAll('[data-index]')].find(
        (e) => `${e.dataset.index}:${e.tagName}` === focusKey);
      again?.focus({ preventScroll: true });
    }
  }

  rowElement(row, at) {
    const tr = document.createElement('tr');
    tr.setAttribute('aria-rowindex', String(at + 2));
    const status = statusOf(row);
    if (row.verdict && !row.verdict.ok) tr.className = 'damaged';
    const check = document.createElement('input');
    check.type = 'checkbox';
    check.dataset.index = String(row.index);
    check.checked = this.checked.has(row.index);
    check.disabled = Boolean(this.disabled);
    check.setAttribute('aria-label', `Select ${row.path}`);
    const link = document.createElement('a');
    link.href = '#';
    link.dataset.index = String(row.index);
    link.textContent = row.path;
    link.title = `Download as ${fileNameOf(row.path)}`;
    const cells = [check, link, row.method, number(row.stored), number(row.size), status];
    cells.forEach((content, i) => {
      const td = tr.insertCell();
      if (i >= 3 && i <= 4) td.className = 'numeric';
      if (i === 5 && status) td.className = row.verdict.ok ? 'sound' : 'bad';
      td.append(content);
    });
    return tr;
  }
}

function spacer(height) {
  const tr = document.createElement('tr');
  tr.className = 'spacer';
  tr.setAttribute('aria-hidden', 'true');
  const td = tr.insertCell();
  td.colSpan = columns.length + 1;
  td.style.height = `${height}px`;
  return tr;
}
