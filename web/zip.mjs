// A .zip written as a stream: each file stored as it comes (the models are their own compression,
// or are not worth deflating twice), its CRC-32 and sizes known before its header is written, so
// no data descriptor is needed; the central directory at the end. ZIP64 records where an offset
// or the count passes what the classic records hold (4 GiB, 65,535 entries). Names are UTF-8
// (flag bit 11); each file is dated with `date` (in local time, as the DOS fields are, and in UTC
// in the extended-timestamp field).
const kCrcTable = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

export function crc32(bytes) {
  let c = 0xffffffff;
  for (let i = 0; i < bytes.length; i++) c = kCrcTable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

const kMax32 = 0xffffffff;
const kMax16 = 0xffff;
const encoder = new TextEncoder();

// Little-endian fields into a buffer, one after another.
class Fields {
  constructor(size) {
    this.bytes = new Uint8Array(size);
    this.view = new DataView(this.bytes.buffer);
    this.at = 0;
  }
  u16(v) { this.view.setUint16(this.at, v, true); this.at += 2; return this; }
  u32(v) { this.view.setUint32(this.at, v, true); this.at += 4; return this; }
  u64(v) { this.view.setBigUint64(this.at, BigInt(v), true); this.at += 8; return this; }
  put(b) { this.bytes.set(b, this.at); this.at += b.length; return this; }
}

function dosTime(date) {
  const year = Math.min(Math.max(date.getFullYear(), 1980), 2107);
  return {
    time: (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1),
    date: ((year - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate(),
  };
}

export class ZipWriter {
  // `write(chunk)` takes the zip's bytes in order (a WritableStream's writer's write, awaited).
  constructor(write, { date = new Date() } = {}) {
    this.write = write;
    this.offset = 0;
    this.entries = [];
    this.folders = new Set();
    this.dos = dosTime(date);
    this.unix = Math.floor(date.getTime() / 1000);
  }

  async emit(bytes) {
    await this.write(bytes);
    this.offset += bytes.length;
  }

  // The folders of `path`, each once, before the file.
  async addFolders(path) {
    let slash = path.indexOf('/');
    while (slash !== -1) {
      const folder = path.slice(0, slash + 1);
      if (!this.folders.has(folder)) {
        this.folders.add(folder);
        await this.add(folder, new Uint8Array(0), true);
      }
      slash = path.indexOf('/', slash + 1);
    }
  }

  // File `path` holding `bytes`, whose CRC-32 is `crc` (computed here when not given).
  async addFile(path, bytes, crc) {
    await this.addFolders(path);
    await this.add(path, bytes, false, crc);
  }

  async add(path, bytes, folder, crc = crc32(bytes)) {
    const name = encoder.encode(path);
    const entry = { name, folder, crc, size: bytes.length, offset: this.offset };
    const zip64 = entry.size >= kMax32;
    const extra = zip64 ? 4 + 16 + 9 : 9;
    const header = new Fields(30 + name.length + extra)
      .u32(0x04034b50).u16(zip64 ? 45 : 20).u16(0x0800).u16(0)
      .u16(this.dos.time).u16(this.dos.date).u32(entry.crc)
      .u32(zip64 ? kMax32 : entry.size).u32(zip64 ? kMax32 : entry.size)
      .u16(name.length).u16(extra).put(name);
    if (zip64) header.u16(0x0001).u16(16).u64(entry.size).u64(entry.size);
    header.u16(0x5455).u16(5).put([1]).u32(this.unix);
    await this.emit(header.bytes);
    if (bytes.length > 0) await this.emit(bytes);
    this.entries.push(entry);
  }

  // The central directory and its end records.
  async finish() {
    const start = this.offset;
    for (const e of this.entries) {
      const big = [e.size >= kMax32, e.size >= kMax32, e.offset >= kMax32];
      const zip64Size = big.filter(Boolean).length * 8;
      const extra = (zip64Size ? 4 + zip64Size : 0) + 9;
      const record = new Fields(46 + e.name.length + extra)
        .u32(0x02014b50).u16((3 << 8) | 45).u16(zip64Size ? 45 : 20).u16(0x0800).u16(0)
        .u16(this.dos.time).u16(this.dos.date).u32(e.crc)
        .u32(big[0] ? kMax32 : e.size).u32(big[1] ? kMax32 : e.size)
        .u16(e.name.length).u16(extra).u16(0).u16(0).u16(0)
        .u32((e.folder ? 0o40755 : 0o100644) * 0x10000 + (e.folder ? 0x10 : 0))
        .u32(big[2] ? kMax32 : e.offset).put(e.name);
      if (zip64Size) {
        record.u16(0x0001).u16(zip64Size);
        if (big[0]) record.u64(e.size);
        if (big[1]) record.u64(e.size);
        if (big[2]) record.u64(e.offset);
      }
      record.u16(0x5455).u16(5).put([1]).u32(this.unix);
      await this.emit(record.bytes);
    }
    const size = this.offset - start;
    const count = this.entries.length;
    const zip64 = count >= kMax16 || size >= kMax32 || start >= kMax32;
    if (zip64) {
      const end64 = this.offset;
      await this.emit(new Fields(56)
        .u32(0x06064b50).u64(44).u16((3 << 8) | 45).u16(45).u32(0).u32(0)
        .u64(count).u64(count).u64(size).u64(start).bytes);
      await this.emit(new Fields(20).u32(0x07064b50).u32(0).u64(end64).u32(1).bytes);
    }
    await this.emit(new Fields(22)
      .u32(0x06054b50).u16(0).u16(0)
      .u16(zip64 ? kMax16 : count).u16(zip64 ? kMax16 : count)
      .u32(zip64 ? kMax32 : size).u32(zip64 ? kMax32 : start).u16(0).bytes);
  }
}
