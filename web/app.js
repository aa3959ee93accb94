// The page: hands each chosen disk to the tool's core (compiled to WebAssembly), offers the
// scattered image for download, and shows what the core says of it: which entry holds a sector,
// where its content was, what the directory lists and whether everything reads the same. The
// sector kinds, the type names and the verdict come from the core; of the D64 format the page
// itself knows only how a listing draws PETSCII.
'use strict';

const $ = (id) => document.getElementById(id);

// The geometry and the names come from the core once it has started: sectors per track, to lay
// out the maps and to turn the core's sector numbers (file order) into track and sector.
let imagesize = 0, numtracks = 0, numsectors = 0, widest = 0;
const tracksecs = [0], firstsector = [0, 0], kinds = [];
const cstring = (m, at) => new TextDecoder().decode(m.HEAPU8.subarray(at, m.HEAPU8.indexOf(0, at)));
const core = createScatterdisk().then((m) => {
  imagesize = m._web_imagesize();
  for (let t = 1; m._web_sectors(t) > 0; ++t) {
    tracksecs[t] = m._web_sectors(t);
    firstsector[t + 1] = firstsector[t] + tracksecs[t];
    widest = Math.max(widest, tracksecs[t]);
    numtracks = t;
  }
  numsectors = firstsector[numtracks + 1];
  for (let k = 0; m._web_kindname(k); ++k) kinds.push(cstring(m, m._web_kindname(k)));
  return m;
});
const corefailed = (e) => `The page's scatter code did not start (${(e && e.message) || e}): reload the page to try again.`;
core.catch((e) => { $('alert').textContent = corefailed(e); });

let results = [];   // the disks of the last choice, scattered, in the order given
let shown = null;   // the one the maps show
let traced = -1;    // the entry whose chain is traced on the maps, or -1

// ---- PETSCII as the C64 draws it (upper case and graphics set) ----

// Screen codes 0x40 to 0x7f: the graphic characters, from Unicode's box drawing, block elements,
// geometric shapes and Symbols for Legacy Computing.
const graphics = [
  0x2500, 0x2660, 0x1fb72, 0x1fb78, 0x1fb77, 0x1fb76, 0x1fb7a, 0x1fb71, 0x1fb74, 0x256e, 0x2570, 0x256f, 0x1fb7c, 0x2572,
  0x2571, 0x1fb7d, 0x1fb7e, 0x25cf, 0x1fb7b, 0x2665, 0x1fb70, 0x256d, 0x2573, 0x25cb, 0x2663, 0x1fb75, 0x2666, 0x253c,
  0x1fb8c, 0x2502, 0x03c0, 0x25e5, 0x00a0, 0x258c, 0x2584, 0x2594, 0x2581, 0x258f, 0x2592, 0x2595, 0x1fb8f, 0x25e4,
  0x1fb87, 0x251c, 0x2597, 0x2514, 0x2510, 0x2582, 0x250c, 0x2534, 0x252c, 0x2524, 0x258e, 0x258d, 0x1fb88, 0x1fb82,
  0x1fb83, 0x2583, 0x1fb7f, 0x2596, 0x259d, 0x2518, 0x2598, 0x259a,
].map((c) => String.fromCodePoint(c));
const letters = '@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\u00a3]\u2191\u2190';
// The other set (Shift and the Commodore key): lower case letters where the first has upper case,
// upper case where it has graphics, and four graphics of its own.
const lowerletters = letters.toLowerCase();
const lowergraphics = graphics.map((c, k) => (k >= 1 && k <= 26 ? String.fromCharCode(0x40 + k)
  : { 0x1e: '\u{1fb96}', 0x1f: '\u{1fb98}', 0x29: '\u{1fb99}', 0x3a: '\u2713' }[k] || c));
let lowercase = false;

// A byte as a listing shows it: the character and whether it is drawn in reverse. Between quotes
// the C64 draws a control code (0x00-0x1f, 0x80-0x9f) as a reversed character.
function glyph(b) {
  const screen = b < 0x40 ? b : b < 0x60 ? b - 0x40 : b < 0x80 ? b - 0x20 : b < 0xa0 ? b - 0x40
    : b < 0xc0 ? b - 0x40 : b < 0xff ? b - 0x80 : 0x5e;
  const reverse = b < 0x20 || (b >= 0x80 && b < 0xa0);
  const c = screen < 0x20 ? (lowercase ? lowerletters : letters)[screen] : screen < 0x40 ? String.fromCharCode(screen)
    : (lowercase ? lowergraphics : graphics)[screen - 0x40];
  return [c, reverse];
}

// Symbols for Legacy Computing are young, and few fonts have them: the page draws those the C64
// needs itself, as 8 by 8 pixel masks (a row a byte, bit 7 at the left), in the text's colour.
const bar = (x, w) => Array(8).fill((0xff >> x) & ~(0xff >> (x + w)) & 0xff);
const rows = (y, h) => Array.from({ length: 8 }, (_, r) => (r >= y && r < y + h ? 0xff : 0));
const both = (a, b) => a.map((row, r) => row | b[r]);
const pattern = (row) => Array.from({ length: 8 }, (_, r) => row(r) & 0xff);
const drawn = new Map([
  ...[0, 1, 2, 3, 4, 5].flatMap((k) => [[0x1fb70 + k, bar(k + 1, 1)], [0x1fb76 + k, rows(k + 1, 1)]]),
  [0x1fb7c, both(bar(0, 1), rows(7, 1))], [0x1fb7d, both(bar(0, 1), rows(0, 1))],
  [0x1fb7e, both(bar(7, 1), rows(0, 1))], [0x1fb7f, both(bar(7, 1), rows(7, 1))],
  [0x1fb82, rows(0, 2)], [0x1fb83, rows(0, 3)], [0x1fb87, bar(6, 2)], [0x1fb88, bar(5, 3)],
  [0x1fb8c, pattern((r) => (r % 2 ? 0x50 : 0xa0))], [0x1fb8f, pattern((r) => (r < 4 ? 0 : r % 2 ? 0x55 : 0xaa))],
  [0x1fb96, pattern((r) => (r & 2 ? 0x33 : 0xcc))], [0x1fb98, pattern((r) => 0x88 >> (r % 4))],
  [0x1fb99, pattern((r) => 0x11 << (r % 4))],
]);
const masks = new Map();
function mask(code, reverse) {
  const key = `${code}${reverse}`;
  if (!masks.has(key)) {
    let path = '';
    drawn.get(code).forEach((row, y) => {
      for (let x = 0; x < 8; ++x) if ((((reverse ? ~row : row) >> (7 - x)) & 1) !== 0) path += `M${x} ${y}h1v1h-1z`;
    });
    const svg = `<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 8 8'><path d='${path}'/></svg>`;
    masks.set(key, `url("data:image/svg+xml,${encodeURIComponent(svg)}")`);
  }
  return masks.get(key);
}

// Appends the bytes to `into` as runs of spans: reversed ones and, with `dim`, the part of a name
// after its padding; a character the page draws itself gets a span of its own.
function drawpetscii(into, bytes, dim = false) {
  let run = null, runrev = null;
  for (const b of bytes) {
    const [c, reverse] = glyph(b);
    if (drawn.has(c.codePointAt(0))) {
      const g = document.createElement('span');
      g.className = 'g' + (dim ? ' dim' : '');
      g.textContent = c;
      // Reversed, its pixels are the ones the mask leaves out.
      g.style.maskImage = g.style.webkitMaskImage = mask(c.codePointAt(0), reverse);
      into.append(g);
      run = null;
      continue;
    }
    if (!run || runrev !== reverse) {
      run = document.createElement('span');
      run.className = (reverse ? 'rev' : '') + (dim ? ' dim' : '');
      into.append(run);
      runrev = reverse;
    }
    run.textContent += c;
  }
}

// The name in plain text, for the table and the lines that say what was picked.
function plainname(bytes) {
  const end = bytes.indexOf(0xa0);
  return Array.from(end < 0 ? bytes : bytes.subarray(0, end), (b) => glyph(b)[0]).join('');
}

// ---- reading and scattering ----

// A name cut to at most `bytes` bytes of UTF-8, between characters.
function cut(name, bytes) {
  const buffer = new Uint8Array(bytes);
  const { written } = new TextEncoder().encodeInto(name, buffer);
  return [buffer.subarray(0, written), new TextDecoder().decode(buffer.subarray(0, written))];
}

// Browsers refuse names past 255 bytes, some with less: the stem is cut, the ending kept.
const downloadname = (name) => cut(name.replace(/\.d64$/i, ''), 120)[1] + '-scattered.d64';

// Scatters one disk: its result, or { message } with the tool's own words.
function scatter(m, file, bytes) {
  const [name] = cut(file.name, 1023);
  m.HEAPU8.set(bytes, m._web_input());
  m.HEAPU8.set(name, m._web_name());
  m.HEAPU8[m._web_name() + name.length] = 0;
  // The core takes a 32-bit length: a file of 4 GiB or more must not wrap round to an image's.
  if (m._web_scatter(Math.min(file.size, 0xffffffff)) !== 0) return { message: cstring(m, m._web_message()).trimEnd() };
  m._web_check();
  const bytesat = (at, n) => m.HEAPU8.slice(at, at + n);
  const sectors = (at) => Int16Array.from(m.HEAP16.subarray(at >> 1, (at >> 1) + numsectors));
  const v = m.HEAP32.subarray(m._web_verdict() >> 2, (m._web_verdict() >> 2) + 10);
  const entries = [];
  for (let f = 0; f < m._web_count(); ++f) {
    const type = m._web_type(f);
    entries.push({ name: bytesat(m._web_filename(f), 16), type: cstring(m, m._web_typename(type)),
                   file: m._web_isfile(type) !== 0, blocks: m._web_blocks(f), same: m._web_same(f) !== 0 });
  }
  const origin = sectors(m._web_origin()), dest = new Int16Array(numsectors).fill(-1);
  origin.forEach((from, i) => { if (from >= 0) dest[from] = i; });
  const out = bytesat(m._web_output(), imagesize);
  return {
    name: file.name, download: downloadname(file.name),
    url: URL.createObjectURL(new Blob([out], { type: 'application/octet-stream' })),
    entries, origin, dest, kind: bytesat(m._web_kinds(), numsectors),
    owners: [sectors(m._web_owners(0)), sectors(m._web_owners(1))],
    steps: [sectors(m._web_steps(0)), sectors(m._web_steps(1))],
    verdict: { found: v[0], chains: v[1], track: v[2], sector: v[3], block: v[4], attrack: v[5], atsector: v[6],
               moved: v[7], inuse: v[8], movable: v[9] },
    diskname: bytesat(m._web_diskname(), 16), diskid: bytesat(m._web_diskid(), 5), blocksfree: m._web_blocksfree(),
  };
}

function clear() {
  for (const r of results) URL.revokeObjectURL(r.url);
  results = [];
  shown = null;
  $('result').hidden = true;
  $('alert').textContent = '';
  $('status').textContent = '';
  $('disks').replaceChildren();
}

// Takes the disks of one choice or drop, in order: { file, folder } each.
let choice = 0;  // a newer choice while one is read takes over: the older one stops at its next wait
async function take(items) {
  const start = performance.now(), mine = ++choice;
  clear();
  let m;
  try {
    m = await core;
  } catch (e) {
    if (mine !== choice) return;
    $('alert').textContent = corefailed(e);
    $('status').textContent = 'Nothing was scattered.';
    return;
  }
  if (mine !== choice) return;
  const alerts = [];
  for (const { file, folder } of items) {
    if (folder) {
      alerts.push(`'${file.name}' is a folder: choose or drop the disk images in it.`);
      continue;
    }
    let bytes;
    try {
      bytes = new Uint8Array(await file.slice(0, imagesize).arrayBuffer());
    } catch (e) {
      bytes = e;
    }
    if (mine !== choice) return;
    if (!(bytes instanceof Uint8Array)) {
      alerts.push(`Could not read '${file.name}': a folder, or a file moved or changed since it was chosen (${bytes.name || bytes}).`);
      continue;
    }
    const r = scatter(m, file, bytes);
    if (r.message !== undefined) alerts.push(r.message);
    else results.push(r);
  }
  $('alert').textContent = alerts.join('\n');
  if (results.length) {
    listdisks();
    show(0);
    $('result').hidden = false;
    $('result-title').focus();
    $('timing').textContent = `${(performance.now() - start).toFixed(0)} ms from choosing to this result.`;
  }
  const refused = items.length - results.length;
  $('status').textContent = results.length === 1 && !refused ? `${heading(results[0])}. ${movedline(results[0])} ${verdict(results[0])}`
    : results.length ? `${count(results.length, 'disk')} scattered` + (refused ? `, ${refused} not taken.` : '.')
    : 'Nothing was scattered.';
}

// ---- what is said of a scatter ----

const count = (n, what) => `${n} ${what}${n === 1 ? '' : 's'}`;
const at = (t, s) => `${t}/${s}`;

function place(i) {
  let t = 1;
  while (firstsector[t + 1] <= i) ++t;
  return [t, i - firstsector[t]];
}

const heading = (r) => (r.verdict.moved ? `Scattered ${r.name}` : `${r.name}: nothing moved`);

// What moved, and when nothing did, why not.
function movedline(r) {
  const { moved, inuse, movable } = r.verdict;
  if (moved) return `${moved} of the ${count(inuse, 'sector')} in use changed place (${movable} could).`;
  const files = r.entries.filter((e) => e.file);
  const why = !files.length && !movable ? 'the directory lists no file and no sector here may move'
    : !movable && files.every((e) => e.type.includes('REL')) ? 'REL files stay where they are, since their side sectors list their sectors by number'
    : !movable ? 'no sector here may move safely: one moves only where a single link reaches it and nothing names it by number'
    : movable === 1 ? 'only one sector here may move, and an exchange takes two'
    : 'the exchanges put every sector back where it was';
  return `Nothing moved: ${why}. The download is the disk as it was.`;
}

function verdict(r) {
  const v = r.verdict;
  if (v.found === 0) {
    const files = r.entries.filter((e) => e.file).length, others = r.entries.length - files;
    const all = files === 1 ? 'The one file' : files ? `All ${files} files` : 'No file is listed;';
    return `${all} and ${count(v.chains, 'chain')} from sectors that stay in place read the same; track 18 is unchanged.` +
      (others ? ` ${others === 1 ? 'One other entry is' : `${others} other entries are`} listed, not judged: the tool reads only SEQ, PRG, USR and REL entries as files.` : '');
  }
  const where = [
    '', `track 18 differs at sector ${v.sector}`, `sector ${at(v.track, v.sector)}, which stays in place, holds other data`,
    `the chain from ${at(v.track, v.sector)} reads other data at its block ${v.block + 1}, now at ${at(v.attrack, v.atsector)}`,
    `the chain from ${at(v.track, v.sector)} ends differently, at its block ${v.block + 1} (${at(v.attrack, v.atsector)})`,
  ][v.found];
  return `This disk does not read the same after the scatter: ${where}. Please report this disk.`;
}

// ---- drawing ----

// Colours for many entries: hues a golden angle apart, in three tones so that near hues differ.
const colour = (f) => `hsl(${((f * 137.508) % 360).toFixed(1)} ${[70, 60, 85][f % 3]}% ${[50, 70, 36][f % 3]}%)`;

// How scattered an entry is: the mean track distance from one of its sectors to the next.
function spread(owner, step, f) {
  const chain = [];
  for (let i = 0; i < numsectors; ++i) if (owner[i] === f + 1) chain[step[i]] = place(i)[0];
  const tracks = chain.filter((t) => t !== undefined);
  if (tracks.length < 2) return '-';
  let sum = 0;
  for (let k = 1; k < tracks.length; ++k) sum += Math.abs(tracks[k] - tracks[k - 1]);
  return (sum / (tracks.length - 1)).toFixed(1);
}

function listdisks() {
  const list = $('disks');
  results.forEach((r, k) => {
    const li = document.createElement('li');
    if (results.length > 1) {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'Show';
      button.setAttribute('aria-label', `Show ${r.name}`);
      button.addEventListener('click', () => show(k));
      li.append(button, ' ');
    }
    const link = document.createElement('a');
    link.href = r.url;
    link.download = r.download;
    link.textContent = `Download ${r.download}`;
    li.append(link);
    list.append(li);
  });
}

function show(k) {
  shown = results[k];
  traced = -1;
  for (const [n, li] of [...$('disks').children].entries()) li.querySelector('button')?.setAttribute('aria-pressed', n === k);
  $('result-title').textContent = heading(shown);
  const line = $('verdict');
  line.textContent = verdict(shown);
  line.dataset.verdict = shown.verdict.found ? 'differs' : 'same';
  line.dataset.moved = shown.verdict.moved;
  $('moved').textContent = movedline(shown);
  $('picked').textContent = 'Select a sector to see what it holds and where it was, or an entry to trace its chain.';
  drawmaps(shown);
  drawlegend(shown);
  drawlisting(shown);
  drawtable(shown);
}

function sectorclass(r, n, i) {
  const kind = kinds[r.kind[i]];
  if (kind === 'free' || kind === 'dir') return `s ${kind}`;
  return 's' + (r.owners[n][i] === 0 ? ' other' : '') + (kind === 'stays' ? ' stays' : '');
}

function drawmaps(r) {
  for (const [n, id] of ['map-before', 'map-after'].entries()) {
    const map = $(id);
    map.replaceChildren();
    map.dataset.cursor = '0';
    map.style.gridTemplateColumns = `1.6rem repeat(${widest}, 1fr)`;
    for (let t = 1; t <= numtracks; ++t) {
      const label = document.createElement('div');
      label.className = 't';
      label.textContent = t;
      map.append(label);
      for (let s = 0; s < widest; ++s) {
        const cell = document.createElement('div');
        if (s >= tracksecs[t]) {
          cell.className = 's none';
        } else {
          const i = firstsector[t] + s, owner = r.owners[n][i];
          cell.className = sectorclass(r, n, i);
          if (owner !== 0 && kinds[r.kind[i]] !== 'dir') cell.style.backgroundColor = colour(owner - 1);
          cell.dataset.i = i;
        }
        map.append(cell);
      }
    }
    const svg = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
    svg.setAttribute('class', 'trace');
    svg.setAttribute('aria-hidden', 'true');
    map.append(svg);
  }
}

// A button that traces entry f, labelled by its quoted name.
function tracebutton(f, cls) {
  const button = document.createElement('button');
  button.type = 'button';
  button.className = cls;
  button.dataset.f = f;
  button.setAttribute('aria-pressed', 'false');
  button.addEventListener('click', () => trace(f));
  return button;
}

function drawlegend(r) {
  const legend = $('legend');
  legend.replaceChildren();
  const swatch = (cls, style) => {
    const sw = document.createElement('span');
    sw.className = 'swatch ' + cls;
    if (style) sw.style.backgroundColor = style;
    return sw;
  };
  r.entries.forEach((e, f) => {
    const li = document.createElement('li');
    const button = tracebutton(f, 'entry');
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = `"${plainname(e.name)}"`;
    button.append(swatch('', colour(f)), name);
    li.append(button);
    legend.append(li);
  });
  for (const [cls, text] of [['free', 'free'], ['none', 'past the end of a track'], ['dir', 'track 18, the directory'],
                             ['other', 'in use, in no listed entry'], ['other stays', 'stays in place (the tool may not move it)']]) {
    const li = document.createElement('li');
    li.append(swatch(cls), text);
    legend.append(li);
  }
}

// The directory as LOAD"$",8 and LIST show it: the disk's name and ID reversed, then each entry's
// blocks, its quoted name (what follows the padding after the closing quote) and its type.
function drawlisting(r) {
  const listing = $('listing');
  listing.replaceChildren();
  const head = document.createElement('li');
  const title = document.createElement('span');
  title.className = 'rev';
  drawpetscii(title, Uint8Array.from([0x22, ...r.diskname, 0x22, 0x20, ...r.diskid]));
  head.append('0 ', title);
  listing.append(head);
  r.entries.forEach((e, f) => {
    const li = document.createElement('li');
    const button = tracebutton(f, 'line');
    const end = e.name.indexOf(0xa0), cutat = end < 0 ? 16 : end;
    button.append(`${e.blocks} `.padEnd(5), '"');
    drawpetscii(button, e.name.subarray(0, cutat));
    button.append('"');
    drawpetscii(button, e.name.subarray(Math.min(cutat + 1, 16)), true);
    button.append(cutat < 16 ? ' ' : '', e.type);
    li.append(button);
    listing.append(li);
  });
  const foot = document.createElement('li');
  foot.textContent = `${r.blocksfree} BLOCKS FREE.`;
  listing.append(foot);
}

function drawtable(r) {
  const body = $('files').tBodies[0];
  body.replaceChildren();
  r.entries.forEach((e, f) => {
    const row = body.insertRow();
    const name = row.insertCell();
    const button = tracebutton(f, 'name');
    button.textContent = `"${plainname(e.name)}"`;
    name.append(button);
    const same = !e.file ? 'not a file, not judged' : e.same ? 'yes' : 'NO';
    const cells = [e.type.trim(), e.blocks, `${spread(r.owners[0], r.steps[0], f)} \u2192 ${spread(r.owners[1], r.steps[1], f)}`, same];
    cells.forEach((text, c) => {
      const cell = row.insertCell();
      cell.textContent = text;
      cell.className = c === 1 || c === 2 ? 'num' : c === 3 && e.file && !e.same ? 'bad' : '';
    });
  });
}

// ---- selecting ----

// The sectors of entry f along its chain, in order, on map n.
function chainof(r, n, f) {
  const chain = [];
  for (let i = 0; i < numsectors; ++i) if (r.owners[n][i] === f + 1) chain[r.steps[n][i]] = i;
  return chain.filter((i) => i !== undefined);
}

function drawtrace() {
  for (const [n, id] of ['map-before', 'map-after'].entries()) {
    const map = $(id), svg = map.querySelector('svg');
    for (const cell of map.querySelectorAll('.traced')) cell.classList.remove('traced');
    svg.replaceChildren();
    if (traced < 0) continue;
    const points = chainof(shown, n, traced).map((i) => {
      const cell = map.querySelector(`[data-i="${i}"]`);
      cell.classList.add('traced');
      return `${cell.offsetLeft + cell.offsetWidth / 2},${cell.offsetTop + cell.offsetHeight / 2}`;
    });
    svg.setAttribute('viewBox', `0 0 ${map.clientWidth} ${map.clientHeight}`);
    const line = document.createElementNS('http://www.w3.org/2000/svg', 'polyline');
    line.setAttribute('points', points.join(' '));
    svg.append(line);
  }
}

function trace(f) {
  traced = traced === f ? -1 : f;
  for (const b of document.querySelectorAll('button[data-f]')) b.setAttribute('aria-pressed', Number(b.dataset.f) === traced);
  drawtrace();
  if (traced < 0) return;
  const e = shown.entries[f], before = chainof(shown, 0, f), after = chainof(shown, 1, f);
  const from = (chain) => (chain.length ? `from ${at(...place(chain[0]))}` : 'no sector');
  $('picked').textContent = `"${plainname(e.name)}": ${count(after.length, 'block')} traced, ${from(before)} before and ${from(after)} after.`;
}

function pick(map, i) {
  const r = shown, n = map.id === 'map-after' ? 1 : 0;
  map.querySelector('.picked')?.classList.remove('picked');
  map.querySelector(`[data-i="${i}"]`)?.classList.add('picked');
  map.dataset.cursor = String(i);
  const [t, s] = place(i), owner = r.owners[n][i], kind = kinds[r.kind[i]];
  const what = owner ? `block ${r.steps[n][i] + 1} of "${plainname(r.entries[owner - 1].name)}"`
    : { free: 'free', dir: 'directory track', moves: 'in no listed entry', stays: 'in no listed entry' }[kind];
  const other = n ? r.origin[i] : r.dest[i];
  const moved = other >= 0 && other !== i ? `, ${n ? 'was at' : 'went to'} ${at(...place(other))}` : '';
  const stays = kind === 'stays' ? ', stays in place' : '';
  $('picked').textContent = `${n ? 'After' : 'Before'}: track ${t}, sector ${s}: ${what}${moved}${stays}`;
}

for (const id of ['map-before', 'map-after']) {
  const map = $(id);
  map.addEventListener('click', (e) => {
    if (e.target.dataset.i !== undefined) pick(map, Number(e.target.dataset.i));
  });
  map.addEventListener('keydown', (e) => {
    let [t, s] = place(Number(map.dataset.cursor || 0));
    if (e.key === 'ArrowRight') s = Math.min(s + 1, tracksecs[t] - 1);
    else if (e.key === 'ArrowLeft') s = Math.max(s - 1, 0);
    else if (e.key === 'ArrowDown') t = Math.min(t + 1, numtracks);
    else if (e.key === 'ArrowUp') t = Math.max(t - 1, 1);
    else if (e.key !== 'Enter' && e.key !== ' ') return;
    e.preventDefault();
    pick(map, firstsector[t] + Math.min(s, tracksecs[t] - 1));
  });
}
window.addEventListener('resize', () => shown && traced >= 0 && drawtrace());

$('charset').addEventListener('change', (e) => {
  lowercase = e.target.checked;
  if (!shown) return;
  const f = traced;
  drawlegend(shown);
  drawlisting(shown);
  drawtable(shown);
  traced = -1;
  if (f >= 0) trace(f);
});

// ---- input ----

$('file').addEventListener('change', (e) => {
  const files = [...e.target.files];
  // Cleared, so that choosing the same file again (changed since, perhaps) reads it again.
  e.target.value = '';
  if (files.length) take(files.map((file) => ({ file, folder: false })));
});
const drop = $('drop');
document.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
document.addEventListener('dragleave', () => drop.classList.remove('over'));
document.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  // What was dropped must be read now: the drop's data is gone once this handler returns.
  const items = [...e.dataTransfer.items].filter((item) => item.kind === 'file').map((item) => {
    const entry = item.webkitGetAsEntry?.();
    return { file: item.getAsFile(), folder: Boolean(entry && entry.isDirectory) };
  }).filter((item) => item.file);
  if (items.length) take(items);
});
