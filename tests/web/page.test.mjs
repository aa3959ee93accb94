// The browser page in Debian's chromium, and in its Firefox where installed: opened from the disk
// and from a local server, it must write the command line's bytes for every test disk, refuse what
// the tool refuses with the tool's own words, ask nothing of the network and raise no script error.
// axe-core, the accessibility checker, must find nothing wrong with it.
// Environment: SCATTERDISK_HTML (the built page), SCATTERDISK_BIN (the built tool), CHROMIUM,
// FIREFOX, SCATTERDISK_SCREENSHOT (where chromium's picture of the sample disk goes). Needs cc1541
// for the test disks.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

const root = fileURLToPath(new URL('../..', import.meta.url));
const html = process.env.SCATTERDISK_HTML || join(root, 'build-web/scatterdisk.html');
const bin = process.env.SCATTERDISK_BIN || join(root, 'build/scatterdisk');
const screenshot = process.env.SCATTERDISK_SCREENSHOT || join(root, 'build-web/screenshot.png');

const chromium = process.env.CHROMIUM || '/usr/bin/chromium', firefox = process.env.FIREFOX || '/usr/bin/firefox-esr';
// As root chromium needs --no-sandbox; the rest keep it from calling home on this closed network.
const browsers = {
  chromium: { executablePath: chromium, headless: true,
              args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
                     '--disable-component-update', '--disable-sync'] },
  firefox: existsSync(firefox) && { browser: 'firefox', executablePath: firefox, headless: true },
};
// The D64 geometry, known here independently of the page: where a sector starts in an image.
const tracksecs = [0, ...Array(17).fill(21), ...Array(7).fill(19), ...Array(6).fill(18), ...Array(5).fill(17)];
const offset = (t, s) => (tracksecs.slice(1, t).reduce((a, b) => a + b, 0) + s) * 256;
const datasame = (a, b, from, to) => a.subarray(from + 2, from + 256).equals(b.subarray(to + 2, to + 256));
// Sectors off track 18 whose data bytes differ between two images.
function differing(a, b) {
  let n = 0;
  for (let t = 1; t <= 35; ++t) for (let s = 0; t !== 18 && s < tracksecs[t]; ++s) n += !datasame(a, b, offset(t, s), offset(t, s));
  return n;
}

let work, server, served;
const running = {};

before(async () => {
  work = mkdtempSync(join(tmpdir(), 'scatterdisk-web-'));
  execFileSync(join(root, 'tests/make-disks.sh'), [work]);
  copyFileSync(join(root, 'examples/sample.d64'), join(work, 'sample.d64'));
  // What the tool refuses: too short, error bytes after an image, 40 tracks.
  const sample = readFileSync(join(work, 'sample.d64'));
  writeFileSync(join(work, 'refused-short.d64'), sample.subarray(0, 1000));
  writeFileSync(join(work, 'refused-errors.d64'), Buffer.concat([sample, Buffer.alloc(683, 1)]));
  writeFileSync(join(work, 'refused-forty.D64'), Buffer.alloc(196608));
  // The full disk's one file as a REL file: nothing may move, and the check walks the most.
  const rel = readFileSync(join(work, 'full.d64'));
  rel[offset(18, 1) + 2] = 0x84;
  writeFileSync(join(work, 'rel.d64'), rel);
  // The page; at /broken the page with a core that cannot start (its WebAssembly spoilt); at
  // /damaged/N one whose output has its byte N flipped between the scatter and the check.
  const damaged = (n, only = 0) => readFileSync(html, 'utf8').replace('<script>\n// The page\'s way into the core', `<script>
    const made = createScatterdisk;
    createScatterdisk = (...a) => made(...a).then((m) => {
      const check = m._web_check;
      let calls = 0;
      // emscripten's export puts the real function in its own place at its first call: put back.
      const damaging = () => {
        if (++calls === ${only} || ${only} === 0) m.HEAPU8[m._web_output() + ${n}] ^= 0x55;
        const found = check();
        m._web_check = damaging;
        return found;
      };
      m._web_check = damaging;
      return m;
    });
    </script>\n<script>\n// The page\'s way into the core`);
  server = http.createServer((req, res) => {
    const flip = /^\/damaged\/(\d+)(?:\/(\d+))?$/.exec(req.url);
    const page = flip ? () => damaged(Number(flip[1]), Number(flip[2] || 0))
      : { '/': () => readFileSync(html), '/broken': () => readFileSync(html, 'utf8').replace('base64,AGFzbQ', 'base64,AAAAAA') }[req.url];
    res.writeHead(page ? 200 : 404, { 'content-type': 'text/html; charset=utf-8' });
    res.end(page ? page() : '');
  });
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  served = `http://127.0.0.1:${server.address().port}/`;
  for (const [name, options] of Object.entries(browsers))
    if (options) running[name] = await puppeteer.launch(options);
});

after(async () => {
  for (const browser of Object.values(running)) await browser.close();
  server?.close();
  if (work) rmSync(work, { recursive: true, force: true });
});

// The page with every request it makes and every script error it raises.
async function open(browser, url) {
  const page = await browser.newPage();
  const seen = { requests: [], errors: [] };
  page.on('request', (r) => seen.requests.push(r.url()));
  page.on('pageerror', (e) => seen.errors.push(String(e)));
  page.on('console', (m) => m.type() === 'error' && seen.errors.push(m.text()));
  await page.goto(url);
  return { page, seen };
}

// Does what `act` does and waits for the page's answer: every choice ends with a line in its
// status region, whatever came of it.
async function answered(page, act) {
  await page.evaluate(() => { document.getElementById('status').textContent = ''; });
  await act();
  await page.waitForFunction(() => document.getElementById('status').textContent);
}

// Chooses files with the file button, all at once.
const choose = (page, ...paths) => answered(page, async () => (await page.$('#file')).uploadFile(...paths));

// Drops files ({ bytes, name } each) on the page, all at once; with `drops`, that many drops of
// them one straight after the other.
const drop = (page, files, drops = [files]) => answered(page, () => page.evaluate((each) => {
  for (const list of each) {
    const dropped = new DataTransfer();
    for (const { data, name } of list) dropped.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name));
    document.dispatchEvent(new DragEvent('drop', { dataTransfer: dropped, bubbles: true, cancelable: true }));
  }
}, drops.map((list) => [list].flat().map(({ bytes, name }) => ({ data: bytes.toString('base64'), name })))));

// What the page shows: the refusals, each download's name and bytes, the verdict and its time.
function shown(page) {
  return page.evaluate(async () => {
    const offered = !document.getElementById('result').hidden, downloads = [];
    for (const link of offered ? document.querySelectorAll('#disks a[download], #all:not([hidden])') : []) {
      const got = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
      let bytes = '';
      for (let i = 0; i < got.length; i += 8192) bytes += String.fromCharCode(...got.subarray(i, i + 8192));
      downloads.push({ name: link.download, bytes: btoa(bytes) });
    }
    const verdict = document.getElementById('verdict');
    const refused = [...document.querySelectorAll('#refused .message')].map((e) => e.textContent);
    const why = [...document.querySelectorAll('#refused li')].map((e) => e.querySelector('.why')?.textContent || '');
    const disks = [...document.querySelectorAll('#disks li')].map((e) => ({ disk: e.dataset.disk, verdict: e.dataset.verdict }));
    const summary = document.getElementById('summary');
    return { alert: document.getElementById('alert').textContent, refused, why, disks, offered, downloads, verdict: verdict.dataset.verdict,
             summary: { said: summary.textContent, verdict: summary.dataset.summary, disks: Number(summary.dataset.disks),
                        differ: Number(summary.dataset.differ) },
             moved: Number(verdict.dataset.moved), said: verdict.textContent, title: document.getElementById('result-title').textContent,
             movedline: document.getElementById('moved').textContent,
             ms: Number(document.getElementById('timing').textContent.split(' ')[0]) };
  });
}

// The tool's own run on the same file: its output bytes, or its message.
function tool(disk) {
  const out = join(work, 'tool.out');
  rmSync(out, { force: true });
  const run = spawnSync(bin, ['-i', basename(disk), '-o', out], { cwd: work, encoding: 'utf8' });
  return run.status === 0 ? { bytes: readFileSync(out).toString('base64') } : { message: run.stderr.trimEnd() };
}

// A disk of 144 entries, each a one-block PRG with a 16-character name of letters, graphics and
// reversed characters, listed at 65535 blocks: the widest listing and table a disk can have.
function fulldirectory() {
  const d = Buffer.alloc(174848);
  for (let s = 1; s <= 18; ++s) {
    const at = offset(18, s);
    d[at] = s < 18 ? 18 : 0, d[at + 1] = s < 18 ? s + 1 : 0xff;
    for (let e = 0; e < 8; ++e) {
      const k = (s - 1) * 8 + e, entry = at + 32 * e;
      d[entry + 2] = 0x82, d[entry + 3] = 1 + (k % 17), d[entry + 4] = Math.floor(k / 17);
      for (let c = 0; c < 16; ++c) d[entry + 5 + c] = [0x41 + ((k + c) % 26), 0x60 + c, 0x12, 0xc1 + c][c % 4];
      d[entry + 30] = 0xff, d[entry + 31] = 0xff;
      const first = offset(1 + (k % 17), Math.floor(k / 17));
      d[first] = 0, d[first + 1] = 0xff;
    }
  }
  return d;
}

// A disk whose directory lists, in one sector each, entries of every width of block count, a name
// that ends quote mode early (the LOAD"EA",8,1 trick) with a RETURN after it, a control code in
// quote mode, and the three types the drive has no name for. No file has a sector.
const listingcases = [
  { blocks: 1 }, { blocks: 9 }, { blocks: 10 }, { blocks: 99 }, { blocks: 100 }, { blocks: 256 }, { blocks: 999 },
  { blocks: 1000 }, { blocks: 16385 }, { blocks: 65535 },
  { blocks: 2, name: [0x45, 0x41, 0x22, 0x2c, 0x38, 0x2c, 0x31, 0x0d], text: '"EA",8,1"' },
  { blocks: 3, name: [0x41, 0x12, 0x42], text: '"ARB"', reversed: 'R' },
  { blocks: 4, type: 0x85, typetext: 'EL' }, { blocks: 4, type: 0x86, typetext: 'EQ' }, { blocks: 4, type: 0x87, typetext: 'RG' },
];
function listingdisk() {
  const d = Buffer.alloc(174848);
  listingcases.forEach((c, k) => {
    const at = offset(18, 1 + Math.floor(k / 8)) + 32 * (k % 8);
    if (k % 8 === 0) d[at] = k + 8 < listingcases.length ? 18 : 0, d[at + 1] = k + 8 < listingcases.length ? 2 + k / 8 : 0xff;
    d[at + 2] = c.type || 0x82;
    const name = c.name || [0x4e];
    for (let i = 0; i < 16; ++i) d[at + 5 + i] = i < name.length ? name[i] : 0xa0;
    d[at + 30] = c.blocks & 0xff, d[at + 31] = c.blocks >> 8;
  });
  return d;
}

// What axe-core, the accessibility checker, finds wrong with the page as it stands.
const axe = readFileSync(join(root, 'node_modules/axe-core/axe.min.js'), 'utf8');
async function violations(page) {
  await page.addScriptTag({ content: axe });
  return page.evaluate(async () => (await window.axe.run()).violations.map((v) =>
    `${v.id}: ${v.help}, at ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join('; ')}`));
}

const disks = () => readdirSync(work).filter((f) => /\.d64$/i.test(f)).sort();

// Why nothing moves on these: one sector that may move, and two whose 10000 exchanges undo each other.
const why = { 'links1.d64': /: only one sector here may move, and an exchange takes two\./,
              'links2.d64': /: the exchanges put every sector back where it was\./,
              'rel.d64': /: REL files stay where they are, since their side sectors list their sectors by number\./ };

const opened = [['from the disk', () => pathToFileURL(html).href], ['from a local server', () => served]];
for (const [kind, [where, url]] of Object.keys(browsers).flatMap((b) => opened.map((o) => [b, o]))) {
  test(`in ${kind}, opened ${where}, the page writes the tool's bytes and refuses what it refuses`,
       { skip: !browsers[kind] && `${kind} is not installed` }, async (t) => {
    const { page, seen } = await open(running[kind], url());
    for (const name of disks()) {
      const disk = join(work, name);
      await choose(page, disk);
      const got = await shown(page), want = tool(disk);
      if (want.message !== undefined) {
        assert.deepEqual(got.refused, [want.message], name);
        assert.equal(got.offered, false, `${name}: a refused disk offers no download`);
      } else {
        assert.equal(got.alert, '', name);
        assert.equal(got.downloads.length, 1, name);
        assert.equal(got.downloads[0].name, name.replace(/\.d64$/i, '') + '-scattered.d64');
        assert.ok(got.downloads[0].bytes === want.bytes, `${name}: the download holds the command line's bytes`);
        assert.equal(got.verdict, 'same', name);
        assert.match(got.said, /sector that stays in place, followed from there as a loader would \(\d+ chains?\)(?: reads the same)?; track 18 is unchanged\./, name);
        assert.deepEqual(got.summary, { said: 'The disk reads the same after the scatter.', verdict: 'same', disks: 1, differ: 0 });
        // What moved, against the bytes: nothing exactly when the output is the input, and at
        // least every sector whose data bytes differ.
        const input = readFileSync(disk), output = Buffer.from(want.bytes, 'base64');
        assert.equal(got.moved === 0, input.equals(output), `${name}: ${got.moved} moved`);
        assert.ok(got.moved >= differing(input, output), `${name}: ${got.moved} moved`);
        // Where nothing moved the page says so, and why, instead of "Scattered".
        assert.equal(got.title, got.moved ? `Scattered ${name}` : `${name}: nothing moved`);
        assert.match(got.movedline, got.moved ? /^\d+ of the \d+ sectors in use changed place/ : /^Nothing moved: .+\. The download is the disk as it was\.$/);
        if (why[name]) assert.match(got.movedline, why[name], name);
        t.diagnostic(`${name}: ${got.ms} ms from choosing the file to the result shown`);
      }
    }
    const own = new URL(url()).href;
    assert.deepEqual(seen.requests.filter((r) => r !== own && !/^(blob|data):/.test(r)), [], 'no request leaves the page');
    assert.deepEqual(seen.errors, []);
    await page.close();
  });
}

for (const kind of Object.keys(browsers))
test(`in ${kind}, dropped disks are taken, a sector is picked by keyboard, and the page fits 360 px`,
     { skip: !browsers[kind] && `${kind} is not installed` }, async () => {
  const { page, seen } = await open(running[kind], served);
  await page.setViewport({ width: 360, height: 800 });
  // A name longer than the core keeps is cut between characters: 511 of these two-byte ones, 255
  // of these four-byte ones.
  await drop(page, { bytes: Buffer.alloc(1000), name: '\u00fc'.repeat(600) + '.d64' });
  assert.deepEqual((await shown(page)).refused, [`File '${'\u00fc'.repeat(511)}' length != 174848 bytes.`]);
  await drop(page, { bytes: Buffer.alloc(1000), name: '\u{1f600}'.repeat(600) + '.d64' });
  assert.deepEqual((await shown(page)).refused, [`File '${'\u{1f600}'.repeat(255)}' length != 174848 bytes.`]);
  const sample = readFileSync(join(work, 'sample.d64'));
  await drop(page, { bytes: sample, name: 'dropped.d64' });
  let got = await shown(page);
  assert.ok(got.downloads[0].bytes === tool(join(work, 'sample.d64')).bytes);
  assert.equal(got.downloads[0].name, 'dropped-scattered.d64');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'result-title', 'focus moves to the result');
  await page.focus('#map-after');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowRight');
  assert.match(await page.$eval('#picked', (e) => e.textContent), /^After: track 2, sector 1: /);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360), 'no sideways scrolling at 360 px');
  // The widest directory there is, under a name longer than a browser saves.
  const long = 'x'.repeat(240);
  await drop(page, { bytes: fulldirectory(), name: long + '.d64' });
  got = await shown(page);
  assert.equal(got.verdict, 'same');
  assert.equal(got.downloads[0].name, 'x'.repeat(120) + '-scattered.d64', 'the stem is cut, the ending kept');
  assert.equal(await page.$$eval('#listing li', (l) => l.length), 146, 'head, 144 entries, blocks free');
  assert.match(await page.$eval('#listing li:nth-child(2)', (e) => e.textContent), /^65535  "/);
  // Graphic characters few fonts have are drawn by the page, their text kept: U+1FB76 is 0x65.
  assert.ok(await page.$$eval('#listing .g', (g) => g.some((e) => e.textContent === '\u{1fb76}' &&
    /^url\("data:image\/svg\+xml,/.test(getComputedStyle(e).maskImage || getComputedStyle(e).webkitMaskImage))));
  assert.equal(await page.$eval('#picked', (e) => e.textContent.startsWith('Select')), true, 'a new disk clears the pick');
  // The names are drawn the same way wherever they appear.
  for (const where of ['#files', '#legend']) assert.ok(await page.$$eval(`${where} .g`, (g) => g.length >= 144), where);
  await page.click('#map-after [data-i="0"]');
  assert.ok(await page.$$eval('#picked .g', (g) => g.length > 0), 'the picked sector names its file as drawn');
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360), '144 entries fit 360 px');
  assert.deepEqual(await violations(page), []);
  assert.deepEqual(seen.errors, []);
  if (kind === 'chromium') {
    await page.setViewport({ width: 1000, height: 800 });
    await choose(page, join(work, 'sample.d64'));
    await page.screenshot({ path: screenshot, fullPage: true });
  }
  await page.close();
});

for (const kind of Object.keys(browsers))
test(`in ${kind}, several disks are each scattered, the same file is read again, and the maps say what moved`,
     { skip: !browsers[kind] && `${kind} is not installed` }, async () => {
  const { page, seen } = await open(running[kind], served);
  const names = ['sample.d64', 'links2.d64', 'refused-short.d64', 'full.d64'].filter((n) => existsSync(join(work, n)));
  await choose(page, ...names.map((n) => join(work, n)));
  let got = await shown(page);
  const taken = names.filter((n) => tool(join(work, n)).bytes);
  assert.deepEqual(got.downloads.map((d) => d.name), [...taken.map((n) => n.replace(/\.d64$/, '-scattered.d64')), 'scattered.zip'], 'in the order given, and all in one');
  taken.forEach((n, k) => assert.ok(got.downloads[k].bytes === tool(join(work, n)).bytes, n));
  assert.deepEqual(got.refused, [tool(join(work, 'refused-short.d64')).message], 'listed beside the others');
  assert.equal(await page.$$eval('#disks button', (b) => b.length), taken.length, 'each one can be shown');

  // A second drop while the first is read: only the second is answered.
  await drop(page, null, [[{ bytes: readFileSync(join(work, 'full.d64')), name: 'first.d64' }, { bytes: Buffer.alloc(0), name: 'x.d64' }],
                          [{ bytes: readFileSync(join(work, 'many.d64')), name: 'second.d64' }]]);
  got = await shown(page);
  assert.deepEqual(got.downloads.map((d) => d.name), ['second-scattered.d64']);
  assert.equal(got.alert, '');

  // The same file chosen again, changed on the disk since, is read again.
  const again = join(work, 'again.d64');
  copyFileSync(join(work, 'sample.d64'), again);
  await choose(page, again);
  copyFileSync(join(work, 'links2.d64'), again);
  await choose(page, again);
  got = await shown(page);
  assert.ok(got.downloads[0].bytes === tool(again).bytes, 'the file as it is now');
  rmSync(again);

  // Every "was at" the after map says holds: the data there now is the data that was there.
  await choose(page, join(work, 'sample.d64'));
  const input = readFileSync(join(work, 'sample.d64')), output = Buffer.from(tool(join(work, 'sample.d64')).bytes, 'base64');
  const said = await page.$$eval('#map-after [data-i]', (cells) => cells.map((c) => {
    c.click();
    return document.getElementById('picked').textContent;
  }));
  const claims = said.map((line) => line.match(/^After: track (\d+), sector (\d+): .*was at (\d+)\/(\d+)/)).filter(Boolean);
  assert.equal(claims.length, (await shown(page)).moved, 'each moved sector says where it was');
  for (const [line, t, s, wt, ws] of claims) assert.ok(datasame(output, input, offset(+t, +s), offset(+wt, +ws)), line);

  // A file chosen in the legend is traced along its chain on both maps, block by block.
  await page.$$eval('#legend button', (b) => b.find((e) => e.textContent.includes('NUMBERS')).click());
  for (const map of ['#map-before', '#map-after']) {
    assert.equal(await page.$$eval(`${map} .traced`, (c) => c.length), 75, map);
    assert.equal(await page.$eval(`${map} polyline`, (l) => l.getAttribute('points').split(' ').length), 75, map);
  }
  assert.deepEqual(await violations(page), [], 'a traced file, as axe-core sees it');
  // Free sectors, sectors past a track's end and the directory are told apart at 3:1 or more.
  const colours = await page.evaluate(() => ['.s.free', '.s.none', '.s.dir'].map((c) =>
    getComputedStyle(document.querySelector(`#map-after ${c}`)).backgroundColor));
  const luminance = (rgb) => rgb.match(/\d+/g).slice(0, 3).map((v) => v / 255)
    .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4)).reduce((sum, c, k) => sum + c * [0.2126, 0.7152, 0.0722][k], 0);
  for (const [a, b] of [[0, 1], [1, 2], [0, 2]]) {
    const [hi, lo] = [luminance(colours[a]), luminance(colours[b])].sort((x, y) => y - x);
    assert.ok((hi + 0.05) / (lo + 0.05) >= 3, `${colours[a]} against ${colours[b]}`);
  }
  // A folder cannot be read: said so, and the earlier result goes.
  if (kind === 'chromium') {
    const folder = join(work, 'a-folder');
    mkdirSync(folder);
    await choose(page, folder);
    got = await shown(page);
    assert.match(got.alert, /^Could not read 'a-folder': a folder/);
    assert.equal(got.offered, false);
    rmSync(folder, { recursive: true });
  }
  assert.deepEqual(seen.errors, []);
  await page.close();
});

for (const kind of Object.keys(browsers))
test(`in ${kind}, the listing spaces, quotes and names types as the drive does`,
     { skip: !browsers[kind] && `${kind} is not installed` }, async () => {
  const { page, seen } = await open(running[kind], served);
  await drop(page, { bytes: listingdisk(), name: 'listing.d64' });
  const lines = await page.$$eval('#listing li', (l) => l.slice(1, -1).map((e) => ({
    text: e.textContent, reversed: [...e.querySelectorAll('.rev')].map((r) => r.textContent).join('') })));
  assert.equal(lines.length, listingcases.length);
  listingcases.forEach((c, k) => {
    const [, number, spaces, rest] = lines[k].text.match(/^(\d+)( +)(".*)$/);
    // LIST's space, and the drive's own: the quotes line up under 1000 blocks, and one space more stays.
    assert.equal(Number(number), c.blocks);
    assert.equal(spaces.length, Math.max(2, 5 - number.length), lines[k].text);
    if (c.text) assert.ok(rest.startsWith(c.text), `${lines[k].text}: quote mode`);
    assert.equal(lines[k].reversed, c.reversed || '', lines[k].text);
    if (c.typetext) assert.match(rest, new RegExp(` ${c.typetext} *$`), lines[k].text);
  });
  assert.deepEqual(seen.errors, []);
  await page.close();
});

for (const kind of Object.keys(browsers))
test(`in ${kind}, a core that cannot start is said so`, { skip: !browsers[kind] && `${kind} is not installed` }, async () => {
  const { page } = await open(running[kind], served + 'broken');
  await page.waitForFunction(() => document.getElementById('alert').textContent);
  await choose(page, join(work, 'sample.d64'));
  const got = await shown(page);
  assert.match(got.alert, /^The page's scatter code did not start \(.+\): reload the page to try again\.$/);
  assert.equal(got.offered, false);
  assert.equal(await page.$eval('#status', (e) => e.textContent), 'Nothing was scattered.');
  await page.close();
});

for (const kind of Object.keys(browsers))
test(`in ${kind}, an output that does not read the same is reported with its place`,
     { skip: !browsers[kind] && `${kind} is not installed` }, async () => {
  // Where the damage goes in the scattered sample disk, and what the verdict must say of it.
  const cases = [
    [offset(18, 1) + 5, /: track 18 differs at sector 1\. Please report this disk\.$/],
    [offset(1, 1) + 100, /: the chain from \d+\/\d+ reads other data at its block \d+, now at 1\/1\. Please report this disk\.$/],
  ];
  for (const [at, said] of cases) {
    const { page } = await open(running[kind], `${served}damaged/${at}`);
    await choose(page, join(work, 'sample.d64'));
    const got = await shown(page);
    assert.equal(got.verdict, 'differs', String(at));
    assert.match(got.said, said);
    if (at !== cases[0][0]) assert.ok(await page.$$eval('#files td.bad', (c) => c.length) >= 1, 'the file is marked');
    await page.close();
  }
});

// A .zip built here, independently of the page: `members` ({ path, bytes, deflate }) each stored or
// deflated, with a folder entry before each folder's files.
async function makezip(members) {
  const { deflateRawSync, crc32 } = await import('node:zlib');
  const crc = crc32 || ((b) => Number(execFileSync('python3', ['-c', 'import sys,zlib;print(zlib.crc32(sys.stdin.buffer.read()))'], { input: b })));
  const parts = [], central = [];
  let offset = 0;
  for (const m of members) {
    const name = Buffer.from(m.path), data = m.bytes ? (m.deflate ? deflateRawSync(m.bytes) : m.bytes) : Buffer.alloc(0);
    const head = Buffer.alloc(30), c = m.bytes ? crc(m.bytes) : 0, size = m.bytes ? m.bytes.length : 0;
    head.writeUInt32LE(0x04034b50, 0); head.writeUInt16LE(20, 4); head.writeUInt16LE(m.deflate ? 8 : 0, 8);
    head.writeUInt32LE(c, 14); head.writeUInt32LE(data.length, 18); head.writeUInt32LE(size, 22); head.writeUInt16LE(name.length, 26);
    const dir = Buffer.alloc(46);
    dir.writeUInt32LE(0x02014b50, 0); dir.writeUInt16LE(20, 4); dir.writeUInt16LE(20, 6); dir.writeUInt16LE(m.deflate ? 8 : 0, 10);
    dir.writeUInt32LE(c, 16); dir.writeUInt32LE(data.length, 20); dir.writeUInt32LE(size, 24); dir.writeUInt16LE(name.length, 28);
    dir.writeUInt32LE(offset, 42);
    parts.push(head, name, data);
    central.push(dir, name);
    offset += 30 + name.length + data.length;
  }
  const cd = Buffer.concat(central), end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0); end.writeUInt16LE(members.length, 8); end.writeUInt16LE(members.length, 10);
  end.writeUInt32LE(cd.length, 12); end.writeUInt32LE(offset, 16);
  return Buffer.concat([...parts, cd, end]);
}

// The bytes of every member of a .zip the page offered, by unzip (Debian's), by path.
function unzipped(bytes) {
  const dir = mkdtempSync(join(work, 'unzip-'));
  writeFileSync(join(dir, 'all.zip'), bytes);
  execFileSync('unzip', ['-q', 'all.zip'], { cwd: dir });
  const out = {};
  const walk = (at) => readdirSync(join(dir, at), { withFileTypes: true }).forEach((e) => {
    const rel = at ? `${at}/${e.name}` : e.name;
    if (e.isDirectory()) walk(rel);
    else if (rel !== 'all.zip') out[rel] = readFileSync(join(dir, rel)).toString('base64');
  });
  walk('');
  return out;
}

for (const kind of Object.keys(browsers))
test(`in ${kind}, a collection: a verdict for each disk, a .zip in and out, progress, refusals that say what a file is, and a disk scattered again`,
     { skip: !browsers[kind] && `${kind} is not installed` }, async () => {
  const sample = readFileSync(join(work, 'sample.d64')), many = readFileSync(join(work, 'many.d64'));
  const fivenames = ['sample.d64', 'links2.d64', 'many.d64', 'full.d64', 'mixed.d64'];
  // Five disks, the third's output damaged between its scatter and its check: it alone differs,
  // and the summary names it first.
  {
    const { page } = await open(running[kind], `${served}damaged/${offset(1, 1) + 100}/3`);
    await choose(page, ...fivenames.map((n) => join(work, n)));
    const got = await shown(page);
    assert.deepEqual(got.disks, fivenames.map((disk, k) => ({ disk, verdict: k === 2 ? 'differs' : 'same' })));
    assert.deepEqual({ ...got.summary, said: undefined }, { said: undefined, verdict: 'differs', disks: 5, differ: 1 });
    assert.match(got.summary.said, /^1 of 5 disks does not read the same after the scatter: many\.d64\. Please report it\.$/);
    assert.equal(await page.$eval('#summary', (e) => e.compareDocumentPosition(document.getElementById('verdict')) & 4), 4,
                 'the summary comes before the shown disk');
    await page.close();
  }
  const { page, seen } = await open(running[kind], served);
  // A .zip of disks in folders, deflated and stored, a .D64 in capitals, and a file that is no disk.
  const archive = await makezip([{ path: 'games/' }, { path: 'games/one.d64', bytes: sample, deflate: true },
                                 { path: 'games/more/' }, { path: 'games/more/TWO.D64', bytes: many },
                                 { path: 'readme.txt', bytes: Buffer.from('not a disk'), deflate: true }]);
  await drop(page, { bytes: archive, name: 'collection.zip' });
  let got = await shown(page);
  assert.deepEqual(got.disks.map((d) => d.disk), ['games/one.d64', 'games/more/TWO.D64']);
  assert.match(got.alert, /'collection\.zip': 1 member that is no \.d64, skipped\./);
  const all = got.downloads.find((d) => d.name.endsWith('.zip'));
  assert.ok(all, 'one download of every disk as a .zip');
  const inside = unzipped(Buffer.from(all.bytes, 'base64'));
  assert.deepEqual(Object.keys(inside).sort(), ['games/more/TWO-scattered.d64', 'games/one-scattered.d64']);
  assert.ok(inside['games/one-scattered.d64'] === tool(join(work, 'sample.d64')).bytes, 'the deflated disk, scattered');
  assert.ok(inside['games/more/TWO-scattered.d64'] === tool(join(work, 'many.d64')).bytes, 'the stored disk, scattered');
  assert.ok(got.downloads.filter((d) => d.name.endsWith('.d64')).every((d) => Object.values(inside).includes(d.bytes)));

  // Scattered again: the shown disk's output once more, as a second run of the tool over it.
  await page.click('#again');
  await page.waitForFunction(() => document.querySelectorAll('#disks li').length === 3);
  got = await shown(page);
  writeFileSync(join(work, 'once.d64'), Buffer.from(tool(join(work, 'sample.d64')).bytes, 'base64'));
  assert.equal(got.disks[2].verdict, 'same');
  const again = got.downloads.find((d) => d.name === 'one-scattered-scattered.d64');
  assert.ok(again, got.downloads.map((d) => d.name).join(' '));
  assert.ok(again.bytes === tool(join(work, 'once.d64')).bytes, 'scattered again as the tool does it');
  rmSync(join(work, 'once.d64'));

  // Every refusal says what the file is, beside the tool's words.
  const errors = (code) => Buffer.concat([sample, Buffer.alloc(683, code)]);
  const refusals = [
    [{ bytes: Buffer.alloc(196608), name: 'forty.d64' }, /'forty\.d64' is a 40-track image: only 35-track disks are taken\./],
    [{ bytes: Buffer.alloc(197376), name: 'fortyerr.d64' }, /'fortyerr\.d64' is a 40-track image with error bytes/],
    [{ bytes: errors(1), name: 'plain.d64' }, /error bytes\. All its codes are 0 or 1 \(no error\), so dropping them loses nothing/],
    [{ bytes: errors(5), name: 'protected.d64' }, /error bytes\. Its codes record read errors of the original disk/],
    [{ bytes: Buffer.alloc(1000), name: 'short.d64' }, /'short\.d64' is 1000 bytes, not a D64 image \(174848 bytes\)\./],
    [{ bytes: await makezip([{ path: 'a.txt', bytes: Buffer.from('x') }]), name: 'nodisk.zip' },
     /^'nodisk\.zip' holds no D64 disk image \(1 other file\)\.$/],
  ];
  await drop(page, [...refusals.map(([file]) => file), { bytes: sample, name: 'taken.d64' }]);
  got = await shown(page);
  assert.deepEqual(got.disks.map((d) => d.disk), ['taken.d64'], 'the disk taken beside the refusals');
  refusals.forEach(([file, said], k) => assert.match(got.why[k] || got.refused[k], said, file.name));

  // Many disks at once: progress is shown while they are read, and every one is scattered.
  await page.evaluate(() => {
    window.progressseen = false;
    new MutationObserver(() => { if (!document.getElementById('progress').hidden) window.progressseen = true; })
      .observe(document.getElementById('progress'), { attributes: true });
  });
  await drop(page, Array.from({ length: 40 }, (_, k) => ({ bytes: k % 2 ? sample : many, name: `disk${k}.d64` })));
  got = await shown(page);
  assert.equal(got.summary.disks, 40);
  assert.equal(got.summary.said, 'All 40 disks read the same after the scatter.');
  assert.ok(await page.evaluate(() => window.progressseen), 'the progress element was shown');
  assert.equal(await page.$$eval('#map-after [data-i]', (c) => c.length), 683, 'one disk drawn');
  assert.deepEqual(seen.errors, []);
  await page.close();
});
