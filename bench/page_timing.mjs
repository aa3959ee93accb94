// How long the page takes from choosing a disk to its result shown, as the page itself reports
// it, in Debian's chromium and Firefox ESR: each disk as the first one of a freshly opened page and
// again in a page already open, several times over. The disks: a full one, the sparsest of
// tests/make-disks.sh (two pickable links: the most draws), and the full disk's file as a REL
// file (nothing moves, and the check walks a chain from each of 664 sectors: the most checking).
// Then collections of many disks at once, to their summary (SCATTERDISK_COLLECTIONS: the counts).
//   packaging/build-web.sh && node bench/page_timing.mjs [RUNS]
// Environment: SCATTERDISK_HTML, CHROMIUM, FIREFOX, as for tests/web/page.test.mjs.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

const root = fileURLToPath(new URL('..', import.meta.url));
const html = process.env.SCATTERDISK_HTML || join(root, 'build-web/scatterdisk.html');
const runs = Number(process.argv[2] || 5);
const browsers = {
  chromium: { executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
              args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] },
  firefox: { browser: 'firefox', executablePath: process.env.FIREFOX || '/usr/bin/firefox-esr', headless: true },
};

const work = mkdtempSync(join(tmpdir(), 'scatterdisk-timing-'));
execFileSync(join(root, 'tests/make-disks.sh'), [work]);
const rel = readFileSync(join(work, 'full.d64'));
rel[91392 + 256 + 2] = 0x84;  // the first directory entry's type: REL
writeFileSync(join(work, 'rel.d64'), rel);
const disks = ['full.d64', 'links2.d64', 'rel.d64'];

async function measure(page, disk) {
  await page.evaluate(() => { document.getElementById('status').textContent = ''; });
  await (await page.$('#file')).uploadFile(join(work, disk));
  await page.waitForFunction(() => document.getElementById('status').textContent);
  return Number(await page.$eval('#timing', (e) => e.textContent.split(' ')[0]));
}

const range = (ms) => `${Math.min(...ms)} to ${Math.max(...ms)} ms`;
for (const [name, options] of Object.entries(browsers)) {
  if (!existsSync(options.executablePath)) continue;
  const browser = await puppeteer.launch(options);
  for (const disk of disks) {
    const fresh = [], open = [];
    for (let r = 0; r < runs; ++r) {
      const page = await browser.newPage();
      await page.goto(pathToFileURL(html).href);
      fresh.push(await measure(page, disk));
      open.push(await measure(page, disk));
      await page.close();
    }
    console.log(`${name} ${disk}: fresh page ${range(fresh)}, open page ${range(open)} (${runs} runs)`);
  }
  await browser.close();
}
// Collections: 1, 50, 175 and 1000 disks chosen at once (the disks of make-disks.sh in turn), to
// the painted summary, and in chromium the script's heap afterwards.
// The disks of a collection rarely have as few as two links (links2.d64 alone takes 43 ms in the
// page's WebAssembly, drawn one by one): the pool is the others.
const pool = ['full.d64', 'many.d64', 'mixed.d64', 'links16.d64', 'rel.d64'].map((d) => join(work, d));
const sizes = (process.env.SCATTERDISK_COLLECTIONS || '1,50,175,1000').split(',').map(Number);
const copies = Array.from({ length: Math.max(...sizes) }, (_, k) => {
  const to = join(work, `c${k}.d64`);
  writeFileSync(to, readFileSync(pool[k % pool.length]));
  return to;
});
for (const [name, options] of Object.entries(browsers)) {
  if (!existsSync(options.executablePath)) continue;
  const browser = await puppeteer.launch(options);
  for (const n of sizes) {
    const fresh = [], open = [];
    let heap = '';
    for (let r = 0; r < runs; ++r) {
      const page = await browser.newPage();
      await page.goto(pathToFileURL(html).href);
      for (const into of [fresh, open]) {
        await page.evaluate(() => { document.getElementById('status').textContent = ''; });
        await (await page.$('#file')).uploadFile(...copies.slice(0, n));
        await page.waitForFunction(() => document.getElementById('status').textContent, { timeout: 600000 });
        into.push(Number(await page.$eval('#timing', (e) => e.textContent.split(' ')[0])));
      }
      if (name === 'chromium') heap = `, heap ${((await page.metrics()).JSHeapUsedSize / 1048576).toFixed(1)} MiB after`;
      await page.close();
    }
    console.log(`${name} ${n} disks: fresh page ${range(fresh)}, open page ${range(open)}${heap} (${runs} runs)`);
  }
  await browser.close();
}
rmSync(work, { recursive: true, force: true });
