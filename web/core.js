// The page's way into the core: the tool's own code, compiled to WebAssembly, started once. It
// scatters a disk and checks the result; what it answers is read here by the names the core gives
// its fields, and nowhere else, so the rest of the page knows nothing of the core's memory.
'use strict';

const core = (() => {
  let m = null;
  const geometry = { imagesize: 0, numtracks: 0, numsectors: 0, widest: 0, tracksecs: [0], firstsector: [0, 0] };
  const kinds = [];
  let fields = [];
  const cstring = (at) => new TextDecoder().decode(m.HEAPU8.subarray(at, m.HEAPU8.indexOf(0, at)));
  const started = createScatterdisk().then((module) => {
    m = module;
    const g = geometry;
    g.imagesize = m._web_imagesize();
    for (let t = 1; m._web_sectors(t) > 0; ++t) {
      g.tracksecs[t] = m._web_sectors(t);
      g.firstsector[t + 1] = g.firstsector[t] + g.tracksecs[t];
      g.widest = Math.max(g.widest, g.tracksecs[t]);
      g.numtracks = t;
    }
    g.numsectors = g.firstsector[g.numtracks + 1];
    for (let k = 0; m._web_kindname(k); ++k) kinds.push(cstring(m._web_kindname(k)));
    fields = cstring(m._web_verdictfields()).split(',');
  });

  // A name cut to at most `bytes` bytes of UTF-8, between characters: the bytes and the text.
  function cut(name, bytes) {
    const buffer = new Uint8Array(bytes);
    const { written } = new TextEncoder().encodeInto(name, buffer);
    return [buffer.subarray(0, written), new TextDecoder().decode(buffer.subarray(0, written))];
  }

  // The sectors of each entry along its chain, in order, from the core's owners and steps.
  function chains(owners, steps, count) {
    const out = Array.from({ length: count }, () => []);
    owners.forEach((owner, i) => { if (owner) out[owner - 1][steps[i]] = i; });
    return out.map((c) => c.filter((i) => i !== undefined));
  }

  // Scatters one disk, `bytes` its first image's worth and `length` the whole file's: what the
  // core said of it, or { message } with the tool's own words. With `whole` false, only the output
  // and the verdict: what a disk that is not shown needs.
  function scatter(name, bytes, length, whole = true) {
    const [stored] = cut(name, 1023);
    m.HEAPU8.set(bytes, m._web_input());
    m.HEAPU8.set(stored, m._web_name());
    m.HEAPU8[m._web_name() + stored.length] = 0;
    // The core takes a 32-bit length: a file of 4 GiB or more must not wrap round to an image's.
    if (m._web_scatter(Math.min(length, 0xffffffff)) !== 0) return { message: cstring(m._web_message()).trimEnd() };
    m._web_check();
    const n = geometry.numsectors;
    const bytesat = (at, k) => m.HEAPU8.slice(at, at + k);
    const sectors = (at) => Int16Array.from(m.HEAP16.subarray(at >> 1, (at >> 1) + n));
    const v = m.HEAP32.subarray(m._web_verdict() >> 2, (m._web_verdict() >> 2) + fields.length);
    const verdict = Object.fromEntries(fields.map((f, k) => [f, v[k]]));
    if (!whole) return { output: bytesat(m._web_output(), geometry.imagesize), verdict };
    const entries = [];
    for (let f = 0; f < m._web_count(); ++f) {
      const type = m._web_type(f);
      entries.push({ name: bytesat(m._web_filename(f), 16), type: cstring(m._web_typename(type)),
                     file: m._web_isfile(type) !== 0, blocks: m._web_blocks(f), same: m._web_same(f) !== 0 });
    }
    const origin = sectors(m._web_origin()), dest = new Int16Array(n).fill(-1);
    origin.forEach((from, i) => { if (from >= 0) dest[from] = i; });
    const owners = [sectors(m._web_owners(0)), sectors(m._web_owners(1))];
    const steps = [sectors(m._web_steps(0)), sectors(m._web_steps(1))];
    return {
      output: bytesat(m._web_output(), geometry.imagesize), entries, origin, dest, owners, steps, verdict,
      kind: Array.from(bytesat(m._web_kinds(), n), (k) => kinds[k]),
      chains: [chains(owners[0], steps[0], entries.length), chains(owners[1], steps[1], entries.length)],
      diskname: bytesat(m._web_diskname(), 16), diskid: bytesat(m._web_diskid(), 5), blocksfree: m._web_blocksfree(),
    };
  }

  return { started, geometry, scatter, cut };
})();
