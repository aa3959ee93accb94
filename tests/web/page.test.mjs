// The browser page in Debian's chromium, and in its Firefox where installed: opened from the disk
// and from a local server, it must write the command line's bytes for every test disk, refuse what
// the tool refuses with the tool's own words, ask nothing of the network and raise no script error.
// Environment: SCATTERDISK_HTML (the built page), SCATTERDISK_BIN (the built tool), CHROMIUM,
// FIREFOX, SCATTERDISK_SCREENSHOT (where chromium's picture of the sample disk goes). Needs cc1541
// for the test disks.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
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
  server = http.createServer((req, res) => {
    res.writeHead(req.url === '/' ? 200 : 404, { 'content-type': 'text/html; charset=utf-8' });
    res.end(req.url === '/' ? readFileSync(html) : '');
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

// Chooses a file with the file button and waits for the download or the refusal.
async function choose(page, path) {
  await page.evaluate(() => { window.scatterTiming = undefined; });
  await (await page.$('#file')).uploadFile(path);
  await page.waitForFunction(() => window.scatterTiming !== undefined || document.getElementById('alert').textContent);
}

// What the page shows: the refusal, and the download's name and bytes where one is offered.
function shown(page) {
  return page.evaluate(async () => {
    const link = document.getElementById('download');
    const offered = !document.getElementById('result').hidden;
    let bytes = '';
    if (offered) {
      const got = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
      for (let i = 0; i < got.length; i += 8192) bytes += String.fromCharCode(...got.subarray(i, i + 8192));
    }
    return { alert: document.getElementById('alert').textContent, offered, name: link.download,
             bytes: offered ? btoa(bytes) : '', guarantee: document.getElementById('guarantee').textContent,
             ms: window.scatterTiming };
  });
}

// The tool's own run on the same file: its output bytes, or its message.
function tool(disk) {
  const out = join(work, 'tool.out');
  rmSync(out, { force: true });
  const run = spawnSync(bin, ['-i', basename(disk), '-o', out], { cwd: work, encoding: 'utf8' });
  return run.status === 0 ? { bytes: readFileSync(out).toString('base64') } : { message: run.stderr.trimEnd() };
}

// Drops bytes on the page as a file of that name, and waits for the download or the refusal.
async function drop(page, bytes, name) {
  await page.evaluate((data, called) => {
    window.scatterTiming = undefined;
    const files = new DataTransfer();
    files.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], called));
    document.dispatchEvent(new DragEvent('drop', { dataTransfer: files, bubbles: true, cancelable: true }));
  }, bytes.toString('base64'), name);
  await page.waitForFunction(() => window.scatterTiming !== undefined || document.getElementById('alert').textContent);
}

const disks = () => readdirSync(work).filter((f) => /\.d64$/i.test(f)).sort();

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
        assert.equal(got.alert, want.message, name);
        assert.equal(got.offered, false, `${name}: a refused disk offers no download`);
      } else {
        assert.equal(got.alert, '', name);
        assert.equal(got.name, name.replace(/\.d64$/i, '') + '-scattered.d64');
        assert.ok(got.bytes === want.bytes, `${name}: the download holds the command line's bytes`);
        assert.match(got.guarantee, /every one reads the same bytes/, name);
        t.diagnostic(`${name}: ${got.ms.toFixed(1)} ms from choosing the file to the download offered`);
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
  // A name longer than the core keeps is cut between characters: 511 of these two-byte ones.
  await drop(page, Buffer.alloc(1000), '\u00fc'.repeat(600) + '.d64');
  assert.equal((await shown(page)).alert, `File '${'\u00fc'.repeat(511)}' length != 174848 bytes.`);
  await drop(page, readFileSync(join(work, 'sample.d64')), 'dropped.d64');
  const got = await shown(page);
  assert.ok(got.bytes === tool(join(work, 'sample.d64')).bytes);
  assert.equal(got.name, 'dropped-scattered.d64');
  await page.focus('#map-after');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowRight');
  assert.match(await page.$eval('#picked', (e) => e.textContent), /^After: track 2, sector 1: /);
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360), 'no sideways scrolling at 360 px');
  assert.deepEqual(seen.errors, []);
  if (kind === 'chromium') {
    await page.setViewport({ width: 1000, height: 800 });
    await choose(page, join(work, 'sample.d64'));
    await page.screenshot({ path: screenshot, fullPage: true });
  }
  await page.close();
});
