// The page's one way to make an element: el('li', { className: 'x', dataset: { f: 1 },
// attrs: { 'aria-pressed': 'false' }, on: { click } }, child, 'text', ...). Children that are
// null or false are left out.
'use strict';

function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  const { dataset, attrs, on, style, ...rest } = props;
  Object.assign(e, rest);
  Object.assign(e.dataset, dataset || {});
  Object.assign(e.style, style || {});
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const [k, f] of Object.entries(on || {})) e.addEventListener(k, f);
  e.append(...children.flat().filter((c) => c !== null && c !== false && c !== undefined));
  return e;
}

const $ = (id) => document.getElementById(id);
