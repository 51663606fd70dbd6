// Geometry and drawing of the composition triangle: Top at the apex, Left
// bottom left, Right bottom right; a composition is (x_Top, x_Left, x_Right).

const SVG = 'http://www.w3.org/2000/svg';
export const VERTICES = { top: [320, 60], left: [60, 530], right: [580, 530] };

// The picture's basis: mole fractions, or mass fractions with the molar
// masses given.  Compositions handed to toXY and returned by fromXY are
// always mole fractions; the frame's grid and ticks are in the basis drawn.
let masses = null;
export function setMassBasis(mw) { masses = mw && mw.every((m) => m > 0) ? mw : null; }
export function toBasis(x) {
  if (!masses) return x;
  const w = x.map((v, i) => v * masses[i]), s = w.reduce((a, b) => a + b, 0);
  return s > 0 ? w.map((v) => v / s) : x;
}
function fromBasis(w) {
  if (!masses) return w;
  const x = w.map((v, i) => v / masses[i]), s = x.reduce((a, b) => a + b, 0);
  return s > 0 ? x.map((v) => v / s) : w;
}

function rawXY(x) {
  const [t, l, r] = x;
  return [t * VERTICES.top[0] + l * VERTICES.left[0] + r * VERTICES.right[0],
    t * VERTICES.top[1] + l * VERTICES.left[1] + r * VERTICES.right[1]];
}
export function toXY(x) { return x[0] < 0 ? rawXY(x) : rawXY(toBasis(x)); }

// Composition (mole fractions) of a point of the picture; null outside the
// triangle.
export function fromXY(px, py) {
  const w = rawFromXY(px, py);
  return w && fromBasis(w);
}
function rawFromXY(px, py) {
  const [x1, y1] = VERTICES.top, [x2, y2] = VERTICES.left, [x3, y3] = VERTICES.right;
  const det = (y2 - y3) * (x1 - x3) + (x3 - x2) * (y1 - y3);
  const t = ((y2 - y3) * (px - x3) + (x3 - x2) * (py - y3)) / det;
  const l = ((y3 - y1) * (px - x3) + (x1 - x3) * (py - y3)) / det;
  const r = 1 - t - l;
  const eps = 1e-9;
  if (t < -eps || l < -eps || r < -eps) return null;
  return [Math.max(t, 0), Math.max(l, 0), Math.max(r, 0)];
}

export function el(name, attrs = {}, parent = null) {
  const e = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (parent) parent.appendChild(e);
  return e;
}

// A polyline through compositions; points holding -1 (unused) are skipped.
export function polyline(points, attrs, parent) {
  const xy = points.filter((p) => p[0] >= 0 && p[1] >= 0 && p[2] >= 0).map(toXY);
  return el('polyline', { points: xy.map(([a, b]) => `${a.toFixed(2)},${b.toFixed(2)}`).join(' '),
    fill: 'none', ...attrs }, parent);
}

export function frame(svg, names) {
  const g = el('g', { id: 'frame' }, svg);
  for (let k = 1; k < 10; ++k) {
    const f = k / 10;
    const lines = [[[f, 1 - f, 0], [f, 0, 1 - f]], [[0, f, 1 - f], [1 - f, f, 0]], [[0, 1 - f, f], [1 - f, 0, f]]];
    for (const [a, b] of lines) {
      const [ax, ay] = rawXY(a), [bx, by] = rawXY(b);
      el('line', { x1: ax, y1: ay, x2: bx, y2: by, stroke: '#e4e7ec', 'stroke-width': 0.7 }, g);
    }
  }
  const { top, left, right } = VERTICES;
  // Ticks: each edge carries the fraction of the component at its far end
  // (Right along the bottom, Left up the left side, Top up the right side).
  const ticks = [[(f) => [0, 1 - f, f], [0, 16]], [(f) => [1 - f, f, 0], [-18, 4]], [(f) => [f, 0, 1 - f], [18, 4]]];
  for (const [at, [ox, oy]] of ticks)
    for (let k = 2; k < 10; k += 2) {
      const [x, y] = rawXY(at(k / 10));
      el('line', { x1: x, y1: y, x2: x + ox * 0.3, y2: y + oy * 0.3, stroke: '#223047', 'stroke-width': 1 }, g);
      const t = el('text', { x: x + ox, y: y + oy, 'text-anchor': 'middle', 'font-family': 'sans-serif',
        'font-size': 10, fill: '#4a5260', class: 'tick' }, g);
      t.textContent = (k / 10).toFixed(1);
    }
  el('polygon', { points: [top, left, right].map((p) => p.join(',')).join(' '), fill: 'none', stroke: '#223047',
    'stroke-width': 1.5 }, g);
  const label = (text, x, y, anchor) => {
    const t = el('text', { x, y, 'text-anchor': anchor, 'font-family': 'sans-serif', 'font-size': 15, fill: '#223047' }, g);
    t.textContent = text;
  };
  label(names[0], top[0], top[1] - 14, 'middle');
  label(names[1], left[0] - 4, left[1] + 30, 'start');
  label(names[2], right[0] + 4, right[1] + 30, 'end');
  return g;
}
