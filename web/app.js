// The page: hands the chosen file to the tool's core (compiled to WebAssembly), offers the scattered
// image for download, and draws what the core says of the disk. Which file holds a sector, what the
// directory lists and whether a file reads the same come from the core; of the D64 format the page
// itself knows only what a listing shows: the names of the file types (the type byte's low three
// bits) and how PETSCII names read.
'use strict';

// The core's sector kinds, in its order, and the file types a listing names.
const kinds = ['free', 'dir', 'moves', 'stays'];
const types = ['DEL', 'SEQ', 'PRG', 'USR', 'REL'];

const $ = (id) => document.getElementById(id);
// The geometry comes from the core once it has started: sectors per track, to lay out the maps
// and to turn the core's sector numbers (file order) into track and sector for a person.
let imagesize = 0, numtracks = 0, numsectors = 0, widest = 0;
const tracksecs = [0], firstsector = [0, 0];
const core = createScatterdisk().then((m) => {
  imagesize = m._web_imagesize();
  for (let t = 1; m._web_sectors(t) > 0; ++t) {
    tracksecs[t] = m._web_sectors(t);
    firstsector[t + 1] = firstsector[t] + tracksecs[t];
    widest = Math.max(widest, tracksecs[t]);
    numtracks = t;
  }
  numsectors = firstsector[numtracks + 1];
  return m;
});
let shown = null;  // what the maps show: { owners, steps (each [before, after]), kind, files }
let url = null;

// PETSCII as a person reads a directory listing: letters upper case, shifted letters too, the
// padding gone, anything else a middle dot.
function petscii(bytes) {
  let s = '';
  for (const b of bytes) {
    if (b === 0xa0) break;
    if (b >= 0x20 && b <= 0x5d) s += String.fromCharCode(b);
    else if (b >= 0x61 && b <= 0x7a) s += String.fromCharCode(b - 0x20);
    else if (b >= 0xc1 && b <= 0xda) s += String.fromCharCode(b - 0x80);
    else s += '\u00b7';
  }
  return s;
}

function place(i) {
  let t = 1;
  while (firstsector[t + 1] <= i) ++t;
  return [t, i - firstsector[t]];
}

// A hue a file, spread by the golden angle so that neighbours in the list differ.
const colour = (f) => `hsl(${(f * 137.508) % 360} 65% 55%)`;

// How scattered a file is: the mean track distance from one of its sectors to the next.
function spread(owner, step, f) {
  const chain = [];
  for (let i = 0; i < numsectors; ++i) if (owner[i] === f + 1) chain[step[i]] = place(i)[0];
  const tracks = chain.filter((t) => t !== undefined);
  if (tracks.length < 2) return '-';
  let sum = 0;
  for (let k = 1; k < tracks.length; ++k) sum += Math.abs(tracks[k] - tracks[k - 1]);
  return (sum / (tracks.length - 1)).toFixed(1);
}

function refuse(text) {
  $('result').hidden = true;
  $('alert').textContent = text;
}

async function scatter(file) {
  const start = performance.now();
  const m = await core;
  $('alert').textContent = '';
  const bytes = new Uint8Array(await file.slice(0, imagesize).arrayBuffer());
  // The core keeps 1023 bytes of a name: longer ones are cut, between characters.
  let name = new TextEncoder().encode(file.name);
  for (let keep = file.name.length; name.length > 1023; --keep) name = new TextEncoder().encode(file.name.slice(0, keep));
  m.HEAPU8.set(bytes, m._web_input());
  m.HEAPU8.set(name, m._web_name());
  m.HEAPU8[m._web_name() + name.length] = 0;
  // The core takes a 32-bit length: a file of 4 GiB or more must not wrap round to an image's.
  if (m._web_scatter(Math.min(file.size, 0xffffffff)) !== 0) {
    const at = m._web_message();
    refuse(new TextDecoder().decode(m.HEAPU8.subarray(at, m.HEAPU8.indexOf(0, at))).trimEnd());
    return;
  }
  const out = m.HEAPU8.slice(m._web_output(), m._web_output() + imagesize);
  if (url) URL.revokeObjectURL(url);
  url = URL.createObjectURL(new Blob([out], { type: 'application/octet-stream' }));
  const link = $('download');
  link.href = url;
  link.download = file.name.replace(/\.d64$/i, '') + '-scattered.d64';
  link.textContent = `Download ${link.download}`;

  const count = m._web_count();
  const files = [];
  for (let f = 0; f < count; ++f) {
    const at = m._web_filename(f);
    files.push({ name: petscii(m.HEAPU8.subarray(at, at + 16)), type: m._web_type(f), blocks: m._web_blocks(f),
                 same: m._web_same(f) !== 0 });
  }
  const view = (ptr) => Int16Array.from(m.HEAP16.subarray(ptr >> 1, (ptr >> 1) + numsectors));
  shown = { owners: [view(m._web_owners(0)), view(m._web_owners(1))],
            steps: [view(m._web_steps(0)), view(m._web_steps(1))],
            kind: m.HEAPU8.slice(m._web_kinds(), m._web_kinds() + numsectors), files };
  draw();
  $('result').hidden = false;
  const ms = performance.now() - start;
  $('timing').textContent = `(${ms.toFixed(0)} ms)`;
  window.scatterTiming = ms;
}

function sectorclass(k, owner) {
  if (kinds[k] === 'free') return 's';
  if (kinds[k] === 'dir') return 's dir';
  return 's' + (owner === 0 ? ' other' : '') + (kinds[k] === 'stays' ? ' stays' : '');
}

function draw() {
  const { owners, steps, kind, files } = shown;
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
          const i = firstsector[t] + s;
          cell.className = sectorclass(kind[i], owners[n][i]);
          if (owners[n][i] !== 0 && kinds[kind[i]] !== 'dir') cell.style.backgroundColor = colour(owners[n][i] - 1);
          cell.dataset.i = i;
        }
        map.append(cell);
      }
    }
  }
  const legend = $('legend');
  legend.replaceChildren();
  const item = (style, cls, text) => {
    const li = document.createElement('li');
    const sw = document.createElement('span');
    sw.className = 'swatch ' + cls;
    if (style) sw.style.backgroundColor = style;
    const label = document.createElement('span');
    label.className = cls.includes('file') ? 'name' : '';
    label.textContent = text;
    li.append(sw, label);
    legend.append(li);
  };
  files.forEach((f, k) => item(colour(k), 'file', `"${f.name}"`));
  item('var(--free)', '', 'free');
  item('var(--dir)', '', 'track 18, the directory');
  item('var(--other)', '', 'in use, in no listed file');
  item('var(--other)', 'stays', 'stays in place (the tool may not move it)');

  const body = $('files').tBodies[0];
  body.replaceChildren();
  files.forEach((f, k) => {
    const row = body.insertRow();
    const cells = [`"${f.name}"`, types[f.type & 7] || '?', f.blocks, spread(owners[0], steps[0], k),
                   spread(owners[1], steps[1], k), f.same ? 'yes' : 'NO'];
    cells.forEach((text, c) => {
      const cell = row.insertCell();
      cell.textContent = text;
      if (c === 0) cell.className = 'name';
      if (c >= 2 && c <= 4) cell.className = 'num';
      if (c === 5 && !f.same) cell.className = 'bad';
    });
  });
  const broken = files.filter((f) => !f.same).length;
  const line = $('guarantee');
  line.className = broken ? 'broken' : '';
  line.textContent = broken
    ? `${broken} of ${files.length} files do not read the same after the scatter: please report this disk.`
    : `Each of the ${files.length} listed files was followed in both disks: every one reads the same bytes in the same order.`;
}

function pick(map, i) {
  const { owners, kind, files } = shown;
  const n = map.id === 'map-after' ? 1 : 0;
  map.querySelector('.picked')?.classList.remove('picked');
  map.querySelector(`[data-i="${i}"]`)?.classList.add('picked');
  map.dataset.cursor = String(i);
  const [t, s] = place(i);
  const owner = owners[n][i];
  const what = owner ? `"${files[owner - 1].name}"` : ['free', 'directory track', 'in no listed file', 'in no listed file'][kind[i]];
  const stays = kinds[kind[i]] === 'stays' ? ', stays in place' : '';
  $('picked').textContent = `${n ? 'After' : 'Before'}: track ${t}, sector ${s}: ${what}${stays}`;
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

$('file').addEventListener('change', (e) => {
  if (e.target.files.length) scatter(e.target.files[0]);
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
  if (e.dataTransfer.files.length) scatter(e.dataTransfer.files[0]);
});
