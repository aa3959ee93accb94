// What the page shows of the one disk it shows: the verdict, the maps before and after, the
// legend, the directory as the C64 lists it and the table of entries; and, on request, an entry's
// chain traced on both maps or what one sector holds.
'use strict';

const view = (() => {
  const g = core.geometry;
  const count = (n, what) => `${n} ${what}${n === 1 ? '' : 's'}`;
  const at = (t, s) => `${t}/${s}`;
  function place(i) {
    let t = 1;
    while (g.firstsector[t + 1] <= i) ++t;
    return [t, i - g.firstsector[t]];
  }
  const where = (i) => at(...place(i));
  const maps = ['map-before', 'map-after'];

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
      const stays = `every sector that stays in place, followed from there as a loader would (${count(v.chains, 'chain')})`;
      const all = files === 1 ? `The one file reads the same, and so does ${stays}`
        : files ? `All ${files} files read the same, and so does ${stays}` : `No file is listed; ${stays} reads the same`;
      return `${all}; track 18 is unchanged.` +
        (others ? ` ${others === 1 ? 'One other entry is' : `${others} other entries are`} listed, not judged: the tool reads only SEQ, PRG, USR and REL entries as files.` : '');
    }
    const from = at(v.track, v.sector), block = `its block ${v.block + 1}`;
    const said = [
      '', `track 18 differs at sector ${v.sector}`, `sector ${from}, which stays in place, holds other data`,
      `the chain from ${from} reads other data at ${block}, now at ${at(v.attrack, v.atsector)}`,
      `the chain from ${from} ends differently, at ${block} (${at(v.attrack, v.atsector)})`,
      `the chain from ${from} is linked elsewhere by ${block}, at ${at(v.attrack, v.atsector)}`,
    ][v.found];
    return `This disk does not read the same after the scatter: ${said}. Please report this disk.`;
  }

  // Colours for many entries: hues a golden angle apart, in three tones so that near hues differ.
  const colour = (f) => `hsl(${((f * 137.508) % 360).toFixed(1)} ${[70, 60, 85][f % 3]}% ${[50, 70, 36][f % 3]}%)`;

  // How scattered an entry is: the mean track distance from one of its sectors to the next.
  function spread(chain) {
    if (chain.length < 2) return '-';
    let sum = 0;
    for (let k = 1; k < chain.length; ++k) sum += Math.abs(place(chain[k])[0] - place(chain[k - 1])[0]);
    return (sum / (chain.length - 1)).toFixed(1);
  }

  function sectorclass(r, n, i) {
    const kind = r.kind[i];
    if (kind === 'free' || kind === 'dir') return `s ${kind}`;
    return 's' + (r.owners[n][i] === 0 ? ' other' : '') + (kind === 'stays' ? ' stays' : '');
  }

  function drawmaps(r) {
    maps.forEach((id, n) => {
      const map = $(id), cells = [];
      for (let t = 1; t <= g.numtracks; ++t) {
        cells.push(el('div', { className: 't', textContent: t }));
        for (let s = 0; s < g.widest; ++s) {
          if (s >= g.tracksecs[t]) {
            cells.push(el('div', { className: 's none' }));
            continue;
          }
          const i = g.firstsector[t] + s, owner = r.owners[n][i];
          const colourit = owner !== 0 && r.kind[i] !== 'dir';
          cells.push(el('div', { className: sectorclass(r, n, i), dataset: { i }, style: colourit ? { backgroundColor: colour(owner - 1) } : {} }));
        }
      }
      const svg = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
      svg.setAttribute('class', 'trace');
      svg.setAttribute('aria-hidden', 'true');
      map.replaceChildren(...cells, svg);
      map.dataset.cursor = '0';
      map.style.gridTemplateColumns = `1.6rem repeat(${g.widest}, 1fr)`;
    });
  }

  // A button that traces entry f.
  // The legend's are the ones Tab reaches, one an entry; the listing's and the table's are for the pointer.
  const tracebutton = (f, cls, ...children) => el('button', { type: 'button', className: cls, dataset: { f }, tabIndex: cls === 'entry' ? 0 : -1,
                                                              attrs: { 'aria-pressed': 'false' }, on: { click: () => app.trace(f) } }, ...children);
  const swatch = (cls, background) => el('span', { className: 'swatch ' + cls, style: background ? { backgroundColor: background } : {} });

  function drawlegend(r, lowercase) {
    const files = r.entries.map((e, f) => el('li', {}, tracebutton(f, 'entry', swatch('', colour(f)), petscii.name(e.name, lowercase))));
    const kinds = [['free', 'free'], ['none', 'past the end of a track'], ['dir', 'track 18, the directory'],
                   ['other', 'in use, in no listed entry'], ['other stays', 'stays in place (the tool may not move it)']];
    $('legend').replaceChildren(...files, ...kinds.map(([cls, text]) => el('li', {}, swatch(cls), text)));
  }

  // The drive's spaces after a line's number: it aligns the quotes for up to 999 blocks, and puts
  // at least one space of its own after the one LIST puts after every line number.
  const blocks = (n) => `${n} ` + ' '.repeat(Math.max(1, 4 - String(n).length));

  // The directory as LOAD"$",8 and LIST show it: the disk's name and ID reversed, then each
  // entry's blocks, its quoted name (what follows the padding after the closing quote) and its type.
  function drawlisting(r, lowercase) {
    const head = el('li', {}, '0 ');
    petscii.draw(head, Uint8Array.from([petscii.quote, ...r.diskname, petscii.quote, 0x20, ...r.diskid]),
                 { lowercase, at: { quoted: false, reverse: true } });
    const lines = r.entries.map((e, f) => {
      const button = tracebutton(f, 'line', blocks(e.blocks));
      const end = e.name.indexOf(0xa0), cutat = end < 0 ? 16 : end;
      let state = petscii.draw(button, Uint8Array.from([petscii.quote, ...e.name.subarray(0, cutat), petscii.quote]), { lowercase });
      state = petscii.draw(button, e.name.subarray(Math.min(cutat + 1, 16)), { lowercase, dim: true, at: state });
      button.append(cutat < 16 ? ' ' : '', e.type);
      return el('li', {}, button);
    });
    $('listing').replaceChildren(head, ...lines, el('li', { textContent: `${r.blocksfree} BLOCKS FREE.` }));
  }

  function drawtable(r, lowercase) {
    const rows = r.entries.map((e, f) => {
      const same = !e.file ? 'not a file, not judged' : e.same ? 'yes' : 'NO';
      const cells = [e.type.trim(), e.blocks, `${spread(r.chains[0][f])} \u2192 ${spread(r.chains[1][f])}`, same];
      return el('tr', {}, el('td', {}, tracebutton(f, 'name', petscii.name(e.name, lowercase))),
                ...cells.map((text, c) => el('td', { textContent: text,
                                                     className: c === 1 || c === 2 ? 'num' : c === 3 && e.file && !e.same ? 'bad' : '' })));
    });
    $('files').tBodies[0].replaceChildren(...rows);
  }

  function drawdisk(r, lowercase) {
    $('result-title').textContent = heading(r);
    const line = $('verdict');
    line.textContent = verdict(r);
    line.dataset.verdict = r.verdict.found ? 'differs' : 'same';
    line.dataset.moved = r.verdict.moved;
    $('moved').textContent = movedline(r);
    $('picked').textContent = 'Select a sector to see what it holds and where it was, or an entry to trace its chain.';
    drawmaps(r);
    drawnames(r, lowercase);
  }

  // What shows entry names, drawn again in the other character set.
  function drawnames(r, lowercase) {
    drawlegend(r, lowercase);
    drawlisting(r, lowercase);
    drawtable(r, lowercase);
  }

  function drawtrace(r, traced, lowercase) {
    for (const b of document.querySelectorAll('button[data-f]')) b.setAttribute('aria-pressed', Number(b.dataset.f) === traced);
    maps.forEach((id, n) => {
      const map = $(id), svg = map.querySelector('svg');
      for (const cell of map.querySelectorAll('.traced')) cell.classList.remove('traced');
      svg.replaceChildren();
      if (traced < 0) return;
      const points = r.chains[n][traced].map((i) => {
        const cell = map.querySelector(`[data-i="${i}"]`);
        cell.classList.add('traced');
        return `${cell.offsetLeft + cell.offsetWidth / 2},${cell.offsetTop + cell.offsetHeight / 2}`;
      });
      svg.setAttribute('viewBox', `0 0 ${map.clientWidth} ${map.clientHeight}`);
      const line = document.createElementNS('http://www.w3.org/2000/svg', 'polyline');
      line.setAttribute('points', points.join(' '));
      svg.append(line);
    });
    if (traced < 0) return;
    const [before, after] = r.chains.map((c) => c[traced]);
    const from = (chain) => (chain.length ? `from ${where(chain[0])}` : 'no sector');
    $('picked').replaceChildren(petscii.name(r.entries[traced].name, lowercase),
                                `: ${count(after.length, 'block')} traced, ${from(before)} before and ${from(after)} after.`);
  }

  function drawpick(r, n, i, lowercase) {
    const map = $(maps[n]);
    map.querySelector('.picked')?.classList.remove('picked');
    map.querySelector(`[data-i="${i}"]`)?.classList.add('picked');
    map.dataset.cursor = String(i);
    const [t, s] = place(i), owner = r.owners[n][i], kind = r.kind[i];
    const what = owner ? [`block ${r.steps[n][i] + 1} of `, petscii.name(r.entries[owner - 1].name, lowercase)]
      : [{ free: 'free', dir: 'directory track', moves: 'in no listed entry', stays: 'in no listed entry' }[kind]];
    const other = n ? r.origin[i] : r.dest[i];
    const moved = other >= 0 && other !== i ? `, ${n ? 'was at' : 'went to'} ${where(other)}` : '';
    $('picked').replaceChildren(`${n ? 'After' : 'Before'}: track ${t}, sector ${s}: `, ...what, moved, kind === 'stays' ? ', stays in place' : '');
  }

  // The sector an arrow key leads to from sector i, or -1 for a key that does not move.
  function step(i, key) {
    let [t, s] = place(i);
    if (key === 'ArrowRight') s = Math.min(s + 1, g.tracksecs[t] - 1);
    else if (key === 'ArrowLeft') s = Math.max(s - 1, 0);
    else if (key === 'ArrowDown') t = Math.min(t + 1, g.numtracks);
    else if (key === 'ArrowUp') t = Math.max(t - 1, 1);
    else if (key !== 'Enter' && key !== ' ') return -1;
    return g.firstsector[t] + Math.min(s, g.tracksecs[t] - 1);
  }

  return { heading, movedline, verdict, count, drawdisk, drawnames, drawtrace, drawpick, step, maps };
})();
