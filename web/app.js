// The page: takes the disks of a choice or a drop, hands each to the core, offers the scattered
// images for download and shows one of them. Its state is the one object below; what is drawn
// follows from it.
'use strict';

const app = (() => {
  const state = {
    results: [],   // the disks of the last choice, scattered, in the order given
    shown: null,   // the one the maps show
    traced: -1,    // the entry whose chain is traced on the maps, or -1
    lowercase: false,
    choice: 0,     // a newer choice while one is read takes over: the older one stops at its next wait
  };

  const corefailed = (e) => `The page's scatter code did not start (${(e && e.message) || e}): reload the page to try again.`;
  core.started.catch((e) => { $('alert').textContent = corefailed(e); });

  // Browsers refuse names past 255 bytes, some with less: the stem is cut, the ending kept.
  const downloadname = (name) => core.cut(name.replace(/\.d64$/i, ''), 120)[1] + '-scattered.d64';

  function clear() {
    for (const r of state.results) URL.revokeObjectURL(r.url);
    Object.assign(state, { results: [], shown: null, traced: -1 });
    $('result').hidden = true;
    $('alert').textContent = '';
    $('status').textContent = '';
    $('disks').replaceChildren();
  }

  function listdisks() {
    const several = state.results.length > 1;
    $('disks').replaceChildren(...state.results.map((r, k) => el('li', {},
      several && el('button', { type: 'button', textContent: 'Show', attrs: { 'aria-label': `Show ${r.name}` }, on: { click: () => show(k) } }),
      several && ' ',
      el('a', { href: r.url, download: r.download, textContent: `Download ${r.download}` }))));
  }

  function show(k) {
    state.shown = state.results[k];
    state.traced = -1;
    for (const [n, li] of [...$('disks').children].entries()) li.querySelector('button')?.setAttribute('aria-pressed', n === k);
    view.drawdisk(state.shown, state.lowercase);
  }

  function trace(f) {
    state.traced = state.traced === f ? -1 : f;
    view.drawtrace(state.shown, state.traced, state.lowercase);
  }

  // Takes the disks of one choice or drop, in order: { file, folder } each.
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
    const alerts = [];
    for (const { file, folder } of items) {
      if (folder) {
        alerts.push(`'${file.name}' is a folder: choose or drop the disk images in it.`);
        continue;
      }
      let bytes;
      try {
        bytes = new Uint8Array(await file.slice(0, core.geometry.imagesize).arrayBuffer());
      } catch (e) {
        bytes = e;
      }
      if (mine !== state.choice) return;
      if (!(bytes instanceof Uint8Array)) {
        alerts.push(`Could not read '${file.name}': a folder, or a file moved or changed since it was chosen (${bytes.name || bytes}).`);
        continue;
      }
      const r = core.scatter(file.name, bytes, file.size);
      if (r.message !== undefined) {
        alerts.push(r.message);
        continue;
      }
      state.results.push(Object.assign(r, { name: file.name, download: downloadname(file.name),
                                            url: URL.createObjectURL(new Blob([r.output], { type: 'application/octet-stream' })) }));
    }
    $('alert').textContent = alerts.join('\n');
    const { results } = state;
    if (results.length) {
      listdisks();
      show(0);
      $('result').hidden = false;
      $('result-title').focus();
      $('timing').textContent = `${(performance.now() - start).toFixed(0)} ms from choosing to this result.`;
    }
    const refused = items.length - results.length, r = results[0];
    $('status').textContent = results.length === 1 && !refused ? `${view.heading(r)}. ${view.movedline(r)} ${view.verdict(r)}`
      : results.length ? `${view.count(results.length, 'disk')} scattered` + (refused ? `, ${refused} not taken.` : '.')
      : 'Nothing was scattered.';
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

  return { trace };
})();
