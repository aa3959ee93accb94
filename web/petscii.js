// PETSCII as the C64 draws it: the upper case and graphics set, or the other one (Shift and the
// Commodore key); between quotes (quote mode) a control code is drawn as a reversed character,
// outside them it acts on the screen instead. This is all the page knows of how a C64 shows text.
'use strict';

const petscii = (() => {
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
  // The other set: lower case letters where the first has upper case, upper case where it has
  // graphics, and four graphics of its own.
  const lowerletters = letters.toLowerCase();
  const lowergraphics = graphics.map((c, k) => (k >= 1 && k <= 26 ? String.fromCharCode(0x40 + k)
    : { 0x1e: '\u{1fb96}', 0x1f: '\u{1fb98}', 0x29: '\u{1fb99}', 0x3a: '\u2713' }[k] || c));
  const quote = 0x22, rvson = 0x12, rvsoff = 0x92;
  const iscontrol = (b) => b < 0x20 || (b >= 0x80 && b < 0xa0);

  // A byte's character as a screen code draws it, and whether the code itself is a reversed one.
  function glyph(b, lowercase) {
    const screen = b < 0x40 ? b : b < 0x60 ? b - 0x40 : b < 0x80 ? b - 0x20 : b < 0xa0 ? b - 0x40
      : b < 0xc0 ? b - 0x40 : b < 0xff ? b - 0x80 : 0x5e;
    return screen < 0x20 ? (lowercase ? lowerletters : letters)[screen] : screen < 0x40 ? String.fromCharCode(screen)
      : (lowercase ? lowergraphics : graphics)[screen - 0x40];
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

  // Draws `bytes` into `into` as the C64 prints them from the state `at` ({ quoted, reverse }),
  // and returns the state after them: runs of spans, reversed ones and, with `dim`, dimmed ones; a
  // character the page draws itself gets a span of its own. A quote turns quote mode on or off;
  // outside it RVS ON and RVS OFF switch reversing and every other control code draws nothing (it
  // moves the cursor or changes a colour, which a listing here does not follow).
  function draw(into, bytes, { lowercase = false, dim = false, at = { quoted: false, reverse: false } } = {}) {
    let { quoted, reverse } = at;
    let run = null, runrev = null;
    for (const b of bytes) {
      if (iscontrol(b) && !quoted) {
        if (b === rvson || b === rvsoff) reverse = b === rvson;
        continue;
      }
      if (b === quote) quoted = !quoted;
      const c = glyph(b, lowercase), rev = reverse || iscontrol(b);
      if (drawn.has(c.codePointAt(0))) {
        // Reversed, its pixels are the ones the mask leaves out.
        into.append(el('span', { className: 'g' + (dim ? ' dim' : ''), textContent: c,
                                 style: { maskImage: mask(c.codePointAt(0), rev), webkitMaskImage: mask(c.codePointAt(0), rev) } }));
        run = null;
        continue;
      }
      if (!run || runrev !== rev) {
        run = el('span', { className: (rev ? 'rev' : '') + (dim ? ' dim' : '') });
        into.append(run);
        runrev = rev;
      }
      run.textContent += c;
    }
    return { quoted, reverse };
  }

  // An entry's name between quotes, up to its padding, as a listing's line shows it: an element
  // for the table, the legend and the lines that say what was picked or traced.
  function name(bytes, lowercase) {
    const end = bytes.indexOf(0xa0), span = el('span', { className: 'pet' });
    draw(span, Uint8Array.from([quote, ...(end < 0 ? bytes : bytes.subarray(0, end)), quote]), { lowercase });
    return span;
  }

  return { draw, name, quote };
})();
