// The page: takes the disks of a choice or a drop (files, folders, .zip archives), hands each to
// the core, and offers every scattered image for download, one by one and as one .zip, with a
// verdict for each and a summary first. Only the disk shown is kept whole; of the others the page
// keeps their bytes (as Blobs) and their verdict. Its state is the one object below; what is drawn
// follows from it.
'use strict';

const app = (() => {
  const state = {
    disks: [],      // every disk of the last choice taken: { name, download, input, output (Blobs), crc, found, url }
    refused: [],    // { name, message, why }
    shown: null,    // the disk the maps show, whole: its index and the core's full answer
    traced: -1,     // the entry whose chain is traced on the maps, or -1
    lowercase: false,
    choice: 0,      // a newer choice while one is read takes over: the older one stops at its next wait
    zipurl: null,
  };

  const corefailed = (e) => `The page's scatter code did not start (${(e && e.message) || e}): reload the page to try again.`;
  core.started.catch((e) => { $('alert').textContent = corefailed(e); });

  // Browsers refuse names past 255 bytes, some with less: the stem is cut, the ending kept.
  // A disk from inside a folder or an archive is saved by its own name, its path kept in the .zip.
  const downloadname = (name) => core.cut(name.replace(/^.*\//, '').replace(/\.d64$/i, ''), 120)[1] + '-scattered.d64';
  const isd64 = (name) => /\.d64$/i.test(name);
  const iszip = (name) => /\.zip$/i.test(name);
  // A turn of the event loop without a timer's clamp of a few milliseconds.
  const channel = new MessageChannel(), waiting = [];
  channel.port1.onmessage = () => waiting.shift()();
  const yieldnow = () => new Promise((done) => { waiting.push(done); channel.port2.postMessage(0); });

  // What the page says of a refused file, beside the tool's words: what it most likely is.
  function why(name, size, tail) {
    if (size === 196608 || size === 197376)
      return `'${name}' is a 40-track image${size === 197376 ? ' with error bytes' : ''}: only 35-track disks are taken.`;
    if (size === 175531) {
      const plain = tail && tail.every((b) => b <= 1);
      return `'${name}' is a 35-track image with error bytes. ` + (plain
        ? 'All its codes are 0 or 1 (no error), so dropping them loses nothing: the first 174848 bytes are the disk.'
        : 'Its codes record read errors of the original disk (often copy protection): leave it as it is.');
    }
    if (size === 0) return `'${name}' is empty.`;
    return `'${name}' is ${size} bytes, not a D64 image (174848 bytes).`;
  }

  function clear() {
    for (const d of state.disks) if (d.url) URL.revokeObjectURL(d.url);
    if (state.zipurl) URL.revokeObjectURL(state.zipurl);
    Object.assign(state, { disks: [], refused: [], shown: null, traced: -1, zipurl: null });
    $('result').hidden = true;
    $('alert').textContent = '';
    $('status').textContent = '';
    $('summary').textContent = '';
    $('disks').replaceChildren();
    $('refused').replaceChildren();
  }

  // Scatters one disk and keeps what the page needs of it; the core's whole answer only for the
  // one shown. Returns the core's answer, or { message }.
  function scatterone(name, bytes, length, whole) {
    const r = core.scatter(name, bytes, length, whole);
    if (r.message !== undefined) return r;
    const download = downloadname(name);
    const output = new Blob([r.output], { type: 'application/octet-stream' });
    state.disks.push({ name, download, input: new Blob([bytes]), output, crc: zip.crc32(r.output),
                       found: r.verdict.found, url: URL.createObjectURL(output) });
    return r;
  }

  function listdisks() {
    const several = state.disks.length > 1;
    $('disks').replaceChildren(...state.disks.map((d, k) => el('li', { dataset: { disk: d.name, verdict: d.found ? 'differs' : 'same' } },
      several && el('button', { type: 'button', textContent: 'Show', attrs: { 'aria-label': `Show ${d.name}` }, on: { click: () => show(k) } }),
      several && ' ',
      el('a', { href: d.url, download: d.download, textContent: `Download ${d.download}` }),
      d.found ? el('strong', { className: 'bad', textContent: ' does not read the same' }) : null)));
    $('refused').replaceChildren(...state.refused.map((f) => el('li', { dataset: { refused: f.name } },
      el('span', { className: 'message', textContent: f.message }), f.why && el('br'), f.why && el('span', { className: 'why', textContent: f.why }))));
    $('refused-title').hidden = !state.refused.length;
    const all = $('all');
    all.hidden = state.disks.length < 2;
    if (state.disks.length >= 2) {
      const used = new Set();
      const files = state.disks.map((d) => {
        // Paths as given, with the download's ending; a name taken twice gets a number.
        let path = d.name.replace(/\.d64$/i, '') + '-scattered.d64';
        for (let n = 2; used.has(path); ++n) path = d.name.replace(/\.d64$/i, '') + `-scattered-${n}.d64`;
        used.add(path);
        return { path, data: d.output, crc: d.crc, size: d.output.size };
      });
      state.zipurl = URL.createObjectURL(zip.archive(files));
      all.href = state.zipurl;
      all.download = 'scattered.zip';
      all.textContent = `Download all ${state.disks.length} scattered disks as scattered.zip`;
    }
  }

  function summarise() {
    const differ = state.disks.filter((d) => d.found);
    const line = $('summary');
    line.dataset.summary = differ.length ? 'differs' : 'same';
    line.dataset.disks = state.disks.length;
    line.dataset.differ = differ.length;
    const n = state.disks.length;
    line.textContent = !differ.length
      ? (n === 1 ? 'The disk reads the same after the scatter.' : `All ${n} disks read the same after the scatter.`)
      : `${differ.length} of ${view.count(n, 'disk')} do${differ.length === 1 ? 'es' : ''} not read the same after the scatter: ` +
        `${differ.map((d) => d.name).join(', ')}. Please report ${differ.length === 1 ? 'it' : 'them'}.`;
  }

  // Shows disk k: scattered again from its input for the maps (the same bytes: the scatter repeats).
  async function show(k, made = null) {
    const d = state.disks[k];
    const r = made || core.scatter(d.name, new Uint8Array(await d.input.arrayBuffer()), d.input.size);
    state.shown = Object.assign(r, { index: k, name: d.name });
    state.traced = -1;
    for (const [n, li] of [...$('disks').children].entries()) li.querySelector('button')?.setAttribute('aria-pressed', n === k);
    view.drawdisk(state.shown, state.lowercase);
  }

  function trace(f) {
    state.traced = state.traced === f ? -1 : f;
    view.drawtrace(state.shown, state.traced, state.lowercase);
  }

  // Every file a folder holds, its path below the folder given; read now, while the drop lasts.
  async function folderfiles(entry, prefix) {
    const reader = entry.createReader(), out = [];
    for (let batch; (batch = await new Promise((done, fail) => reader.readEntries(done, fail))).length;)
      for (const e of batch) {
        if (e.isDirectory) out.push(...await folderfiles(e, `${prefix}${e.name}/`));
        else out.push({ file: await new Promise((done, fail) => e.file(done, fail)), path: `${prefix}${e.name}` });
      }
    return out;
  }

  // The disks of one choice or drop, in order: { file, path, folder } each, a folder's entry
  // where one was dropped. Yields { name, bytes, length } or { name, refused } for each.
  async function* disksof(items, alerts) {
    for (const item of items) {
      if (item.folder) {
        let inside;
        try {
          inside = await folderfiles(item.folder, `${item.file.name}/`);
        } catch (e) {
          alerts.push(`Could not read the folder '${item.file.name}' (${e.name || e}).`);
          continue;
        }
        yield* disksof(inside.filter((f) => isd64(f.path) || iszip(f.path)), alerts);
        continue;
      }
      const { file } = item, name = item.path || file.name;
      let bytes;
      try {
        bytes = new Uint8Array(await file.slice(0, iszip(name) ? file.size : core.geometry.imagesize).arrayBuffer());
      } catch (e) {
        alerts.push(`Could not read '${name}': a folder, or a file moved or changed since it was chosen (${e.name || e}).`);
        continue;
      }
      if (iszip(name) || (file.size !== core.geometry.imagesize && zip.issig(bytes))) {
        let members;
        try {
          members = zip.members(bytes);
        } catch (e) {
          yield { name, refused: `'${name}' is not a .zip archive the page can read (${e.message}).` };
          continue;
        }
        const disks = members.filter((m) => isd64(m.path)), skipped = members.length - disks.length;
        if (!disks.length) {
          yield { name, refused: `'${name}' holds no D64 disk image` + (skipped ? ` (${view.count(skipped, 'other file')}).` : '.') };
          continue;
        }
        if (skipped) alerts.push(`'${name}': ${view.count(skipped, 'member')} that ${skipped === 1 ? 'is' : 'are'} no .d64, skipped.`);
        for (const m of disks) {
          let got;
          try {
            got = await m.read();
          } catch (e) {
            yield { name: `${name}/${m.path}`, refused: `'${name}/${m.path}' could not be read from the archive: ${e.message}.` };
            continue;
          }
          yield { name: m.path, bytes: got.subarray(0, core.geometry.imagesize), length: got.length,
                  tail: got.length === 175531 ? got.subarray(174848) : null };
        }
        continue;
      }
      const tail = file.size === 175531 ? new Uint8Array(await file.slice(174848).arrayBuffer()) : null;
      yield { name, bytes, length: file.size, tail };
    }
  }

  // Takes the disks of one choice or drop.
  async function take(items) {
    const start = performance.now(), mine = ++state.choice;
    clear();
    try {
      await core.started;
    } catch (e) {
      if (mine !== state.choice) return;
      $('alert').textContent = corefailed(e);
      $('status').textContent = 'Nothing was scattered.';
      return;
    }
    if (mine !== state.choice) return;
    const alerts = [], progress = $('progress');
    progress.hidden = false;
    progress.removeAttribute('value');
    let seen = 0, lastyield = performance.now(), first = null;
    for await (const d of disksof(items, alerts)) {
      if (mine !== state.choice) return;
      if (d.refused) {
        state.refused.push({ name: d.name, message: d.refused, why: '' });
      } else {
        // The first disk taken is the one shown: its whole answer is kept rather than made again.
        const r = scatterone(d.name, d.bytes, d.length, !state.disks.length);
        if (r.message === undefined && state.disks.length === 1) first = r;
        if (r.message !== undefined) state.refused.push({ name: d.name, message: r.message, why: why(d.name, d.length, d.tail) });
      }
      progress.value = ++seen;
      progress.max = Math.max(seen, items.length);
      progress.textContent = `${seen} read`;
      // The page answers meanwhile: the work goes in slices of about a frame.
      if (performance.now() - lastyield > 30) {
        await yieldnow();
        if (mine !== state.choice) return;
        lastyield = performance.now();
      }
    }
    progress.hidden = true;
    $('alert').textContent = alerts.join('\n');
    const n = state.disks.length;
    if (n) {
      listdisks();
      summarise();
      await show(0, first);
      $('result').hidden = false;
      $('result-title').focus({ preventScroll: false });
      // Timed once the result is painted: the frame after next has drawn it.
      await new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)));
      if (mine !== state.choice) return;
      $('timing').textContent = `${(performance.now() - start).toFixed(0)} ms from choosing to this result, painted.`;
    } else if (state.refused.length) {
      listdisks();
    }
    const refused = state.refused.length;
    const one = n === 1 && !refused && state.shown;
    $('status').textContent = one ? `${view.heading(state.shown)}. ${view.movedline(state.shown)} ${view.verdict(state.shown)}`
      : n ? `${view.count(n, 'disk')} scattered` + (refused ? `, ${refused} not taken.` : '.') + ` ${$('summary').textContent}`
      : 'Nothing was scattered.';
  }

  // The shown disk's output scattered once more, as a second run of the tool over it would be: a
  // disk of its own in the list, with its own verdict and download.
  async function again() {
    const d = state.disks[state.shown.index];
    const bytes = new Uint8Array(await d.output.arrayBuffer());
    const r = scatterone(d.download, bytes, bytes.length);
    if (r.message !== undefined) return;
    listdisks();
    summarise();
    await show(state.disks.length - 1);
  }

  for (const [n, id] of view.maps.entries()) {
    const map = $(id);
    map.addEventListener('click', (e) => {
      if (e.target.dataset.i !== undefined) view.drawpick(state.shown, n, Number(e.target.dataset.i), state.lowercase);
    });
    map.addEventListener('keydown', (e) => {
      const i = view.step(Number(map.dataset.cursor || 0), e.key);
      if (i < 0) return;
      e.preventDefault();
      view.drawpick(state.shown, n, i, state.lowercase);
    });
  }
  window.addEventListener('resize', () => state.shown && state.traced >= 0 && view.drawtrace(state.shown, state.traced, state.lowercase));

  $('charset').addEventListener('change', (e) => {
    state.lowercase = e.target.checked;
    if (!state.shown) return;
    view.drawnames(state.shown, state.lowercase);
    if (state.traced >= 0) view.drawtrace(state.shown, state.traced, state.lowercase);
  });
  $('again').addEventListener('click', () => state.shown && again());

  $('file').addEventListener('change', (e) => {
    const files = [...e.target.files];
    // Cleared, so that choosing the same file again (changed since, perhaps) reads it again.
    e.target.value = '';
    if (files.length) take(files.map((file) => ({ file, path: file.webkitRelativePath || '' })));
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
      return { file: item.getAsFile(), folder: entry && entry.isDirectory ? entry : null };
    }).filter((item) => item.file);
    if (items.length) take(items);
  });

  return { trace };
})();
