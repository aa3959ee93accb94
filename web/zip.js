// .zip files, read and written by the page itself: the members of an archive (stored or deflated,
// the latter through the browser's own DecompressionStream, so that no library is carried), and
// one archive of many files, stored, since a disk image barely compresses and the page should not
// spend its time on it.
'use strict';

const zip = (() => {
  const crctable = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });
  function crc32(bytes) {
    let c = 0xffffffff;
    for (let i = 0; i < bytes.length; ++i) c = crctable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  }

  const issig = (bytes) => bytes.length >= 4 && bytes[0] === 0x50 && bytes[1] === 0x4b && (bytes[2] === 3 || bytes[2] === 5);

  async function inflate(data) {
    const stream = new Blob([data]).stream().pipeThrough(new DecompressionStream('deflate-raw'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  // The members of an archive, in its own order: { path, size, read() } each, read() giving the
  // bytes (or throwing on a damaged member); folders left out. Throws where it is no archive.
  function members(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    let end = -1;
    for (let i = bytes.length - 22; i >= Math.max(0, bytes.length - 22 - 65535); --i)
      if (view.getUint32(i, true) === 0x06054b50) { end = i; break; }
    if (end < 0) throw new Error('no central directory');
    const count = view.getUint16(end + 10, true);
    let at = view.getUint32(end + 16, true);
    const out = [];
    for (let n = 0; n < count; ++n) {
      if (at + 46 > bytes.length || view.getUint32(at, true) !== 0x02014b50) throw new Error('a damaged central directory');
      const method = view.getUint16(at + 10, true), crc = view.getUint32(at + 16, true);
      const packed = view.getUint32(at + 20, true), size = view.getUint32(at + 24, true);
      const namelen = view.getUint16(at + 28, true), extra = view.getUint16(at + 30, true), comment = view.getUint16(at + 32, true);
      const local = view.getUint32(at + 42, true), flags = view.getUint16(at + 8, true);
      const raw = bytes.subarray(at + 46, at + 46 + namelen);
      const path = new TextDecoder(flags & 0x800 ? 'utf-8' : 'latin1').decode(raw);
      at += 46 + namelen + extra + comment;
      if (path.endsWith('/')) continue;
      out.push({ path, size, async read() {
        if (view.getUint32(local, true) !== 0x04034b50) throw new Error('a damaged member');
        const from = local + 30 + view.getUint16(local + 26, true) + view.getUint16(local + 28, true);
        const data = bytes.subarray(from, from + packed);
        const got = method === 0 ? data : method === 8 ? await inflate(data) : null;
        if (!got) throw new Error(`packed in a way the page does not read (method ${method})`);
        if (got.length !== size || crc32(got) !== crc) throw new Error('a damaged member');
        return got;
      } });
    }
    return out;
  }

  // One archive of `files` ({ path, data: bytes or a Blob, crc, size } each), stored, as a Blob; the
  // data itself is not copied, only referred to.
  function archive(files) {
    const parts = [], central = [];
    let offset = 0;
    const le = (n, width) => Array.from({ length: width }, (_, k) => (n >>> (8 * k)) & 0xff);
    for (const f of files) {
      const name = new TextEncoder().encode(f.path);
      // Version 2.0, UTF-8 names, stored, no time (1980-01-01), the sizes known beforehand.
      const common = [...le(20, 2), ...le(0x800, 2), ...le(0, 2), ...le(0, 2), ...le(0x21, 2), ...le(f.crc, 4),
                      ...le(f.size, 4), ...le(f.size, 4), ...le(name.length, 2), ...le(0, 2)];
      const head = Uint8Array.from([...le(0x04034b50, 4), ...common]);
      parts.push(head, name, f.data);
      central.push(Uint8Array.from([...le(0x02014b50, 4), ...le(20, 2), ...common, ...le(0, 2), ...le(0, 2), ...le(0, 2),
                                    ...le(0, 4), ...le(offset, 4)]), name);
      offset += head.length + name.length + f.size;
    }
    const size = central.reduce((sum, p) => sum + p.length, 0);
    const end = Uint8Array.from([...le(0x06054b50, 4), 0, 0, 0, 0, ...le(files.length, 2), ...le(files.length, 2),
                                 ...le(size, 4), ...le(offset, 4), 0, 0]);
    return new Blob([...parts, ...central, end], { type: 'application/zip' });
  }

  return { crc32, issig, members, archive };
})();
