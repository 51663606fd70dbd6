// The designer's page: chooses a mixture and conditions, computes the map
// through the session's automation server, draws it, and answers pointer
// questions (composition, bubble temperature, tie line) and clicks (a new
// residue curve or distillation line through the point).
import { api, postJson, sessionToken, postWhileLeaving, setSessionToken, Connection, Proxy, AutomationError, ProtocolError, r8 }
  from './rpc.js';
import { el, frame, fromXY, polyline, setMassBasis, toBasis, toXY } from './triangle.js';

const $ = (id) => document.getElementById(id);
const STABILITY = { 1: 'stable node', 2: 'saddle', 3: 'unstable node', 0: 'unclassified', [-1]: 'not computed' };
const STABILITY_COLOUR = { 1: '#1f4e9c', 2: '#2c8a3a', 3: '#c0392b', 0: '#777777' };
const SHAPE_LEGEND = [[3, 'unstable node'], [2, 'saddle'], [1, 'stable node']];

// Quantities typed with their units.  A number alone is in the base unit.
const PRESSURE_UNITS = { pa: 1, kpa: 1e3, mpa: 1e6, bar: 1e5, atm: 101325 };
const NUMBER = '([0-9]+\\.?[0-9]*(?:[eE][-+]?[0-9]+)?|\\.[0-9]+(?:[eE][-+]?[0-9]+)?)';
export function parsePressure(text) {
  const m = new RegExp(`^\\s*${NUMBER}\\s*([A-Za-z]*)\\s*$`).exec(text);
  if (!m) return null;
  const unit = m[2].toLowerCase() || 'pa';
  if (!(unit in PRESSURE_UNITS)) return null;
  return Number(m[1]) * PRESSURE_UNITS[unit];
}
export function parseTemperature(text) {
  const m = new RegExp(`^\\s*(-?)${NUMBER}\\s*(K|°C|C|degC)?\\s*$`, 'i').exec(text);
  if (!m) return null;
  const v = Number(m[1] + m[2]);
  return m[3] && m[3].toUpperCase() !== 'K' ? v + 273.15 : v;
}
// A temperature in kelvin as the page shows it (K or °C).
function fmtT(t, digits = 2) {
  if (!Number.isFinite(t)) return '—';
  return $('t-unit').value === 'C' ? `${(t - 273.15).toFixed(digits)} °C` : `${t.toFixed(digits)} K`;
}
function tValue(t) { return $('t-unit').value === 'C' ? t - 273.15 : t; }

const state = {
  conn: new Connection(),
  app: null,
  pkg: null,
  map: null,
  design: null,    // the design extension, attached to the map
  file: null,
  ids: [],
  messages: {},
  generation: 0,   // bumped by every change that makes drawn results stale
  busy: false,
  result: null,    // what is drawn, with the settings it was computed for
  clicked: [],     // curves added by clicking
  hover: { pending: false, next: null },
  fit: null,       // the last fit of the user's measurements
  fittedPairs: [], // fitted pairs that replace the databank's
  column: null,    // feed, products and profiles of the column drawn
  screen: null,    // the screen of entrainers started from the page
  screenTimer: null,
};
window.ternival = state;  // for the page's tests and for the curious
state.toXY = toXY;

// ---------- messages -------------------------------------------------------

function setStatus(text) { $('status').textContent = text; }
function setError(id, text) { $(id).textContent = text || ''; }
function clearErrors() {
  for (const id of ['mixture-error', 'components-error', 'pressure-error', 'temperature-error', 'map-error']) setError(id, '');
}

function describe(e) {
  if (e instanceof AutomationError) return `${e.message}.`;
  if (e instanceof ProtocolError) return e.message;
  return e && e.message ? e.message : String(e);
}

// ErrorCode and MessageCode of the map after a computation, as a
// sentence; empty when both are 0.
function codesText(what, err, msg) {
  if (!err && !msg) return '';
  let text = `${what}: ErrorCode ${err}`;
  if (msg) text += `, MessageCode ${msg} (${state.messages[msg] || 'no text'})`;
  return text + '.';
}

// Warnings about a drawn map, in words, next to it; `threePhases` offers
// to compute it again with three phases.
function setWarnings(list, threePhases = false) {
  const ul = $('map-warning-list');
  ul.replaceChildren();
  for (const w of list) {
    const li = document.createElement('li');
    li.textContent = w;
    ul.appendChild(li);
  }
  $('map-warnings').hidden = list.length === 0;
  $('use-three-phases').hidden = !threePhases;
}

// What the azeotrope search's codes say of its table (ErrorCode 1, 2, 3
// with messages 509, 510, 511; a flash failure otherwise).
function searchWarning(err, msg) {
  if (msg === 509) return 'The azeotrope search stopped at a limit or failed in a sub-mixture: the list may be incomplete.';
  if (msg === 510) return 'A singular point could not be classified.';
  if (msg === 511) return 'The stability codes fail the topological check (message 511): nodes and saddles may be mislabelled.';
  return codesText('Azeotropes', err, msg);
}

// ---------- staleness ------------------------------------------------------

// Greys the drawn map and shows the banner (or takes both away).
function showStale(stale) {
  $('map').classList.toggle('stale', stale);
  $('map').toggleAttribute('data-stale', stale);
  $('stale-banner').hidden = !stale;
}

// Every change of a setting: results in flight are dropped and a drawn map
// is marked out of date.
function markStale() {
  state.generation += 1;
  showStale(state.result !== null);
}

function markFresh() { showStale(false); }

// A map is drawn and computed for the settings shown.
function mapIsCurrent() { return state.result !== null && !$('map').classList.contains('stale'); }

// ---------- progress and abandon -------------------------------------------

function progress(done, total, text) {
  $('progress').hidden = false;
  $('progress-bar').max = total;
  $('progress-bar').value = done;
  $('progress-text').textContent = text;
}

function endProgress() { $('progress').hidden = true; }

// A new server for the session (the old one is ended), with the open file
// opened again.
async function restartServer() {
  const r = await postJson('/api/abandon');
  state.app = new Proxy(state.conn, r.application);
  state.map = null;
  state.design = null;
  state.pkg = null;
  if (state.file) await openFile(state.file, null, false);
}

async function abandon() {
  setStatus('Abandoning…');
  state.generation += 1;
  try {
    await restartServer();
    setStatus('Computation abandoned; the map is out of date until computed again.');
  } catch (e) {
    setError('map-error', describe(e));
  } finally {
    state.busy = false;
    endProgress();
    if (state.result) showStale(true);
  }
}

// ---------- mixture --------------------------------------------------------

function fillSelect(select, values, chosen) {
  select.replaceChildren();
  for (const v of values) {
    const o = document.createElement('option');
    o.value = v;
    o.textContent = v;
    select.appendChild(o);
  }
  if (chosen !== undefined && values.includes(chosen)) select.value = chosen;
}

// Opens a problem file of the session in the server and sets up a new map.
async function openFile(file, defaults, compute = true) {
  clearErrors();
  setStatus(`Opening ${file}…`);
  state.busy = true;
  try {
    await state.app.call('InitFromVmpdfFile', file);
    state.pkg = await state.app.call('GetPropertyPackage');
    // The package lists the components; the methods come with the file's
    // defaults (the package leaves its method list empty).
    const [ids] = await state.pkg.call('GetComponentList');
    if (state.map) { try { await state.map.release(); } catch (e) { /* the old server may be gone */ } }
    state.map = await state.app.call('GetDistillationMap');
    // The design extension checks the map's azeotropes (does the liquid of
    // one found with two phases split?).
    state.design = await state.conn.create('Ternival.DistillationDesign');
    await state.design.call('Attach', state.map);
    state.file = file;
    state.ids = ids.map((s) => s.trim());
    $('file-name').textContent = `${file}: ${state.ids.length} components`;
    if (defaults) {
      state.sources = defaults.sources || null;
      $('whole-table').hidden = true;
      state.problemText = defaults.text || '';
      fillSources();
      fillSelect($('top'), state.ids, state.ids[0]);
      fillSelect($('left'), state.ids, state.ids[1]);
      fillSelect($('right'), state.ids, state.ids[2]);
      fillSelect($('method'), defaults.methods || [], defaults.default_method);
      if (defaults.default_phase) $('phase').value = String(defaults.default_phase);
    }
  } catch (e) {
    state.busy = false;
    setError('mixture-error', `${file} could not be opened: ${describe(e)}`);
    setStatus('No mixture open.');
    markStale();
    return;
  }
  state.busy = false;
  state.clicked = [];
  markStale();
  // Kept at once: a page reloaded during the map comes back to this mixture.
  saveState();
  if (state.ids.length < 3) {
    setError('components-error', `${file} has ${state.ids.length} components; a map needs three.`);
    return;
  }
  if (compute) await computeMap();
}

async function loadExample() {
  clearErrors();
  try {
    const r = await postJson('/api/example', { name: $('example').value });
    await openFile(r.file, r);
  } catch (e) {
    setError('mixture-error', describe(e));
  }
}

async function uploadFile() {
  clearErrors();
  const f = $('upload').files[0];
  if (!f) return;
  // A name with letters beyond ASCII is kept in ASCII (accents dropped,
  // other characters replaced), and the page says so.
  const plain = f.name.normalize('NFD').replace(/[\u0300-\u036f]/g, '').replace(/[^A-Za-z0-9._ -]/g, '_');
  if (state.maxUpload && f.size > state.maxUpload) {
    setError('mixture-error', `${f.name}: the file is larger than ${Math.round(state.maxUpload / 1024)} KiB, ` +
      'the most a problem file may be.');
    $('upload').value = '';
    return;
  }
  try {
    const body = await f.arrayBuffer();
    const r = await api(`/api/upload?name=${encodeURIComponent(plain)}`,
      { method: 'POST', headers: { 'Content-Type': 'application/octet-stream' }, body });
    await openFile(r.file, r);
    if (plain !== f.name) $('file-name').textContent += ` (uploaded as ${f.name}, kept as ${plain})`;
  } catch (e) {
    setError('mixture-error', `${f.name}: ${describe(e)}`);
    markStale();
  } finally {
    // The same file chosen again (after an edit) is uploaded again.
    $('upload').value = '';
  }
}

async function loadDatabank() {
  clearErrors();
  const names = $('databank-components').value.split(',').map((s) => s.trim()).filter((s) => s);
  if (names.length !== 3) {
    setError('mixture-error', 'Name three components of the databank, separated by commas.');
    return;
  }
  setStatus('Building the problem file from the databank…');
  try {
    // The pressure shown decides whether the boiling liquid splits (the
    // file then takes three phases).
    const p = Number($('pressure').value.trim());
    const body = { components: names, model: $('databank-model').value };
    if (Number.isFinite(p) && p > 0) body.pressure = p;
    const pairs = state.fittedPairs.filter((q) => q.model === body.model);
    if (pairs.length) body.pairs = pairs;
    const r = await postJson('/api/databank', body);
    await openFile(r.file, r);
    if (r.notes && r.notes.length) $('file-name').textContent += ` ${r.notes.join(' ')}`;
  } catch (e) {
    setError('mixture-error', describe(e));
    setStatus('No new mixture.');
    markStale();
  }
}

// ---------- the user's measurements -----------------------------------------

// A small picture of the measurements against the fitted model: T (or P)
// against x1 and y1, x-y for points at several conditions, and the tie
// lines with the fitted binodal.
function drawFitChart(r) {
  const svg = $('fit-chart');
  svg.replaceChildren();
  const W = 280, H = 210, L = 44, R = 8, T = 8, B = 30;
  const pts = [];  // [x, v, kind]
  const c = r.curves;
  const scale = c.quantity === 'P_Pa' ? 1e-3 : 1;
  for (const p of r.points) {
    if ('x1' in p) {
      const v = c.quantity === 'y1' ? p.y1 : (c.quantity === 'P_Pa' ? p.P_Pa * scale : p.T_K);
      if (v != null) pts.push([p.x1, v, 'liquid']);
      if (c.quantity !== 'y1' && p.y1 != null) pts.push([p.y1, v, 'vapour']);
    } else {
      pts.push([p.x1_L1, p.T_K, 'tie'], [p.x1_L2, p.T_K, 'tie']);
    }
  }
  const lines = [];
  if (c.quantity === 'y1') lines.push({ pts: c.vapour, colour: '#c0392b' });
  else if (c.quantity) {
    lines.push({ pts: c.liquid.map(([x, v]) => [x, v * scale]), colour: '#1f4e9c' });
    lines.push({ pts: c.vapour.map(([x, v]) => [x, v * scale]), colour: '#c0392b' });
  }
  if (c.binodal.length) {
    lines.push({ pts: c.binodal.map(([t, a]) => [a, t]), colour: '#2c8a3a' });
    lines.push({ pts: c.binodal.map(([t, , b]) => [b, t]), colour: '#2c8a3a' });
  }
  const vs = [...pts.map((p) => p[1]), ...lines.flatMap((l) => l.pts.map((p) => p[1]))].filter(Number.isFinite);
  let lo = Math.min(...vs), hi = Math.max(...vs);
  if (!(hi > lo)) { lo -= 1; hi += 1; }
  const pad = 0.05 * (hi - lo);
  lo -= pad; hi += pad;
  const X = (x) => L + x * (W - L - R), Y = (v) => H - B - (v - lo) / (hi - lo) * (H - T - B);
  svg.appendChild(el('rect', { x: L, y: T, width: W - L - R, height: H - T - B, fill: 'none', stroke: '#888' }));
  for (const l of lines) {
    if (l.pts.length < 2) continue;
    svg.appendChild(el('polyline', { points: l.pts.map(([x, v]) => `${X(x).toFixed(1)},${Y(v).toFixed(1)}`).join(' '),
      fill: 'none', stroke: l.colour, 'stroke-width': 1.5 }));
  }
  const colours = { liquid: '#1f4e9c', vapour: '#c0392b', tie: '#2c8a3a' };
  for (const [x, v, kind] of pts)
    svg.appendChild(el('circle', { cx: X(x).toFixed(1), cy: Y(v).toFixed(1), r: 2.5,
      fill: kind === 'vapour' ? 'white' : colours[kind], stroke: colours[kind], class: `fit-${kind}` }));
  const label = (x, y, text, anchor = 'middle') => {
    const t = el('text', { x, y, 'font-size': 10, 'text-anchor': anchor });
    t.textContent = text;
    svg.appendChild(t);
  };
  label(L, H - 16, '0', 'start');
  label(W - R, H - 16, '1', 'end');
  label((L + W - R) / 2, H - 4, `x1 (${r.components[0]})`);
  label(L - 4, Y(hi - pad) + 4, (hi - pad).toPrecision(4), 'end');
  label(L - 4, Y(lo + pad) + 4, (lo + pad).toPrecision(4), 'end');
  const unit = { T_K: 'K', P_Pa: 'kPa', y1: 'y1' }[c.quantity] || 'K';
  label(4, T + 10, unit, 'start');
}

async function fitMeasurements() {
  setError('fit-error', '');
  const f = $('fit-file').files[0];
  if (!f) return;
  const names = $('fit-components').value.split(',').map((s) => s.trim()).filter((s) => s);
  try {
    if (names.length !== 2) throw new Error('Name the two components of the measurements, separated by a comma.');
    setStatus(`Fitting ${$('fit-model').value} to ${f.name}…`);
    const r = await postJson('/api/fit', { components: names, model: $('fit-model').value, csv: await f.text(), name: f.name });
    state.fit = r;
    const se = (v) => (r.exactly_determined ? '' : ` ± ${v == null ? '—' : v.toPrecision(2)}`);
    const rms = r.rms_T_K != null ? `rms ${r.rms_T_K.toFixed(3)} K` :
      r.rms_P_rel != null ? `rms ${(100 * r.rms_P_rel).toFixed(2)} % in P` : `rms ${r.rms_x1_tie_lines.toFixed(4)} in x1`;
    const cons = r.consistency.done
      ? `Consistency: area test ${r.consistency.area_consistent ? 'passed' : 'FAILED'}, point test ${r.consistency.point_consistent ? 'passed' : 'FAILED'}.`
      : `Consistency not tested: ${r.consistency.why_not}.`;
    $('fit-summary').textContent = `${r.converged ? '' : 'NOT CONVERGED: ' + r.reason + '. '}` +
      `${r.model} ${r.components.join('/')} (${r.vapour} vapour): b12 = ${r.bij.toFixed(2)}${se(r.se_bij)} K, ` +
      `b21 = ${r.bji.toFixed(2)}${se(r.se_bji)} K${r.exactly_determined ? ' (exactly determined: no uncertainties)' : ''}; ` +
      `${r.points.length} points, ${rms}` +
      `${r.rms_y1 != null ? `, ${r.rms_y1.toFixed(4)} in y1` : ''}. ${cons}`;
    const ul = $('fit-warnings');
    ul.replaceChildren(...r.warnings.map((w) => { const li = document.createElement('li'); li.textContent = w; return li; }));
    ul.hidden = r.warnings.length === 0;
    $('fit-use').disabled = !r.converged;
    $('fit-used').textContent = '';
    $('fit-result').hidden = false;
    drawFitChart(r);
    setStatus(r.converged ? 'Fitted.' : 'The fit did not converge.');
  } catch (e) {
    $('fit-result').hidden = true;
    setError('fit-error', `${f.name}: ${describe(e)}`);
    setStatus('No fit.');
  } finally {
    $('fit-file').value = '';
  }
}

function useFit() {
  const r = state.fit;
  if (!r || !r.converged) return;
  const same = (q) => q.components.map((s) => s.toLowerCase()).sort().join('|') ===
    r.pair.components.map((s) => s.toLowerCase()).sort().join('|');
  state.fittedPairs = [...state.fittedPairs.filter((q) => !same(q)), r.pair];
  $('databank-model').value = r.pair.model;
  $('fit-used').textContent = `The fitted ${r.components.join('/')} pair replaces the databank's in ${r.pair.model} ` +
    'mixtures built from the databank with both components.';
}

// ---------- screening entrainers ---------------------------------------------

async function startScreen() {
  setError('screen-error', '');
  const split = (text) => text.split(text.includes(';') ? ';' : ',').map((s2) => s2.trim()).filter((s2) => s2);
  const pair = split($('screen-pair').value);
  if (pair.length !== 2) { setError('screen-error', 'Name the two components to separate, e.g. ethanol, water.'); return; }
  const text = $('screen-candidates').value.trim();
  const body = { separate: pair, model: $('screen-model').value };
  if (text && text.toLowerCase() !== 'all') body.candidates = text.split(';').map((s2) => s2.trim()).filter((s2) => s2);
  const p = Number($('pressure').value.trim());
  if (Number.isFinite(p) && p > 0) body.pressure = p;
  $('screen-result').hidden = true;
  try {
    const st = await postJson('/api/screen', body);
    state.screen = { started: performance.now() };
    showScreen(st);
    clearInterval(state.screenTimer);
    state.screenTimer = setInterval(pollScreen, 1000);
  } catch (e) {
    setError('screen-error', describe(e));
  }
}

function showScreen(st) {
  const secs = state.screen ? ((performance.now() - state.screen.started) / 1000).toFixed(0) : '';
  $('screen-progress').textContent = st.state === 'running'
    ? `${st.done} of ${st.total} candidates (${secs} s)…`
    : st.state === 'done' ? `Done: ${st.done} candidates. ${st.message || ''}` : '';
  if (st.state === 'failed') setError('screen-error', `The screen failed: ${st.message}`);
}

async function pollScreen() {
  try {
    const st = await api('/api/screen');
    showScreen(st);
    if (st.state === 'running') return;
    clearInterval(state.screenTimer);
    if (st.state !== 'done') return;
    // The report names this tab's session in its address (a frame sends
    // no header of ours).
    const url = `/api/screen/report?session=${encodeURIComponent(sessionToken())}&t=${Date.now()}`;
    $('screen-report').src = url;
    $('screen-open').href = url;
    $('screen-result').hidden = false;
  } catch (e) {
    clearInterval(state.screenTimer);
    setError('screen-error', describe(e));
  }
}

let suggestTimer = null;
function suggest() {
  clearTimeout(suggestTimer);
  suggestTimer = setTimeout(async () => {
    const parts = $('databank-components').value.split(',');
    const last = parts[parts.length - 1].trim();
    if (last.length < 2) return;
    try {
      const found = await api(`/api/components?q=${encodeURIComponent(last)}`);
      const head = parts.slice(0, -1).map((s) => s.trim()).filter((s) => s);
      const list = $('databank-list');
      list.replaceChildren();
      for (const c of found) {
        const o = document.createElement('option');
        o.value = [...head, c.name].join(', ');
        o.label = `${c.name} (${c.formula}, CAS ${c.cas})`;
        list.appendChild(o);
      }
    } catch (e) { /* suggestions are a convenience */ }
  }, 250);
}

// ---------- settings -------------------------------------------------------

// The settings of the inputs, or null after showing what is wrong with them.
function readSettings() {
  let ok = true;
  const pText = $('pressure').value.trim();
  const p = parsePressure(pText);
  if (p === null || !Number.isFinite(p) || p <= 0) {
    setError('pressure-error', `"${pText}" is not a pressure: give a positive number, in Pa or with a unit ` +
      '(kPa, MPa, bar, atm), e.g. 101.325 kPa or 1 atm.');
    ok = false;
  } else if (p < 100 || p > 1e7) {
    setError('pressure-error', `${p} Pa is outside 100 Pa to 10 MPa, where the activity models hold.`);
    ok = false;
  } else setError('pressure-error', '');
  const tText = $('temperature').value.trim();
  const t = parseTemperature(tText);
  if (t === null || !Number.isFinite(t) || t <= 0 || t > 1000) {
    setError('temperature-error', `"${tText}" is not a temperature: give kelvin between 0 and 1000, or °C ` +
      'with the unit (e.g. 25 °C).');
    ok = false;
  } else setError('temperature-error', '');
  const comps = [$('top').value, $('left').value, $('right').value];
  if (new Set(comps).size !== 3 || comps.some((c) => !c)) {
    setError('components-error', 'Top, Left and Right must be three different components.');
    ok = false;
  } else setError('components-error', '');
  if (!state.map) {
    setError('map-error', 'Open a mixture first.');
    ok = false;
  }
  if (!ok) return null;
  return { file: state.file, components: comps, pressure: p, temperature: t, method: $('method').value,
    phase: Number($('phase').value), search: $('search').value, grid: Number($('grid-steps').value) };
}

// The calls that give the map the settings s.
function settingCalls(s) {
  const m = state.map;
  return [[m, 'SetComponentData', 'method', s.components],
    [m, 'SetPropertyData', 'method', [s.method, s.method, s.method, s.phase]],
    [m, 'Pressure', 'put', [r8(s.pressure)]],
    [m, 'Temperature', 'put', [r8(s.temperature)]],
    // Curves end at the singular points the search found, with the first
    // step the command line takes, so the page and `ternival curve` agree.
    [m, 'CurveCalcOption', 'put', [1]],
    [m, 'StepSizeCurve', 'put', [r8(0.1)]],
    // The map's azeotropes by the search chosen (the design extension's
    // choice; the map alone searches the classic way).
    [state.design, 'SearchKind', 'put', [s.search]]];
}

function gridStarts(steps) {
  const out = [];
  for (let i = 1; i < steps; ++i)
    for (let j = 1; i + j < steps; ++j) out.push([i / steps, j / steps, (steps - i - j) / steps]);
  return out;
}

// A boundary along an edge of the triangle (a binary's boiling-point
// order) rather than a separatrix through its inside.
function onEdge(points) {
  const inside = points.filter((x) => x[0] >= 0);
  return inside.length > 0 && [0, 1, 2].some((k) => inside.every((x) => x[k] < 1e-6));
}

// ---------- the map --------------------------------------------------------

// A map that must not be drawn: the reason, in words.
class MapRefused extends Error {}

async function computeMap() {
  clearErrors();
  const s = readSettings();
  markStale();
  if (!s) { setStatus('The settings need attention before the map can be computed.'); return; }
  const gen = state.generation;
  const current = () => gen === state.generation;
  state.busy = true;
  const notes = [];
  const starts = gridStarts(s.grid);
  // Calls go in batches (one request each), small enough that progress
  // and Abandon stay responsive.
  const chunk = 5;
  const total = 4 + Math.ceil(starts.length / chunk) + (s.phase === 3 ? 1 : 0) + 1;
  let done = 0;
  const step = (text) => { done += 1; progress(done, total, text); setStatus(text); };
  const r = { settings: s, names: s.components, residue: [], lle: null, vlle: null, isovolatility: [] };
  const m = state.map;
  const batch = (calls) => state.conn.batch(calls);
  const warnings = [];
  let offerThree = false;
  try {
    step('Pure components and azeotropes…');
    const head = await batch([...settingCalls(s), [m, 'GetPureProperties', 'method', []],
      [m, 'ErrorCode', 'get', []], [m, 'MessageCode', 'get', []]]);
    head.splice(6, 1);  // the search's setting
    const [, pureT, pureStab] = head[6];
    r.pure = s.components.map((c, i) => ({ component: c, t: pureT[i], stability: pureStab[i] }));
    if (head[7] !== 0) {
      // A boiling point the data do not support: no map at all.
      const missing = r.pure.filter((p) => p.t < 0).map((p) => p.component);
      throw new MapRefused(`${missing.length ? missing.join(', ') : 'A component'} has no boiling point at ` +
        `${s.pressure} Pa that the data support (above its critical temperature or outside its vapour-pressure ` +
        `range). ${codesText('Pure components', head[7], head[8])}`);
    }
    if (!current()) return;
    const [[naz, azX, azT, azPhase, azStab], azErr, azMsg, [, splits]] = await batch([
      [m, 'GetAzeotropes', 'method', []], [m, 'ErrorCode', 'get', []], [m, 'MessageCode', 'get', []],
      [state.design, 'GetLiquidSplits', 'method', []]]);
    if (azErr !== 0 && azMsg !== 509 && azMsg !== 510 && azMsg !== 511)
      throw new MapRefused(`A singular point boils where the data do not reach. ${codesText('Azeotropes', azErr, azMsg)}`);
    if (azErr !== 0) warnings.push(searchWarning(azErr, azMsg));
    r.azeotropes = [];
    for (let a = 0; a < naz; ++a) {
      const az = { x: azX[a], t: azT[a], phase: azPhase[a], stability: azStab[a], status: [] };
      if (azErr !== 0) az.status.push(azMsg === 511 ? 'topology check failed' : azMsg === 509 ? 'search incomplete' : 'unclassified');
      if (splits && splits[a] === 1) {
        az.status.push('liquid splits');
        warnings.push(`Azeotrope ${a + 1} (${azT[a].toFixed(2)} K): its liquid splits into two liquid phases, so it ` +
          `is not a homogeneous azeotrope${s.phase === 2 ? '; compute with three phases' : ''}.`);
        if (s.phase === 2) offerThree = true;
      }
      r.azeotropes.push(az);
    }
    if (!current()) return;
    step('Distillation boundaries…');
    const [[nb, dirs, curves], berr] = await batch([[m, 'GetDistillationBoundary', 'method', []],
      [m, 'ErrorCode', 'get', []]]);
    r.boundaries = [];
    for (let b = 0; b < nb; ++b) r.boundaries.push({ direction: dirs[b], points: curves[b], edge: onEdge(curves[b]) });
    const bcodes = codesText('Distillation boundaries', berr, 0);
    if (bcodes) notes.push(bcodes);
    for (let k = 0; k < starts.length; k += chunk) {
      if (!current()) return;
      const part = starts.slice(k, k + chunk);
      step(`Residue curves ${k + 1} to ${k + part.length} of ${starts.length}…`);
      const got = await batch(part.map((x0) => [m, 'GetResidueCurve', 'method', [x0]]));
      got.forEach(([direction, points], i) => r.residue.push({ start: part[i], direction, points }));
    }
    if (!current()) return;
    step(`LLE envelope at ${s.temperature} K…`);
    const [, lerr, lmsg, lcurves, lties] = await batch([[m, 'ComputeEnvelopeLLE', 'method', []],
      [m, 'ErrorCode', 'get', []], [m, 'MessageCode', 'get', []], [m, 'GetCurveLLE', 'method', []],
      [m, 'GetTielinesLLE', 'method', []]]);
    const lleNote = codesText(`LLE envelope at ${s.temperature} K`, lerr, lmsg);
    if (lleNote) notes.push(lleNote);
    r.lle = { curves: lcurves, ties: lties };
    // Said in words where no two liquids exist at that temperature.
    $('lle-none').textContent = lerr === 0 && tiePairs(lties).length === 0
      ? `(no two liquids at ${fmtT(s.temperature)} for these three)` : '';
    if (s.phase === 3) {
      if (!current()) return;
      step('VLLE envelope…');
      const [, verr, vmsg, [curvesV, plait], [tiesV, tiePoints]] = await batch([
        [m, 'ComputeEnvelopeVLLE', 'method', []], [m, 'ErrorCode', 'get', []], [m, 'MessageCode', 'get', []],
        [m, 'GetCurveVLLE', 'method', []], [m, 'GetTielinesVLLE', 'method', []]]);
      const vlleNote = codesText('VLLE envelope', verr, vmsg);
      if (vlleNote) notes.push(vlleNote);
      r.vlle = { curves: curvesV, plait, ties: tiesV, points: tiePoints };
    }
    if (!current()) return;
    step('Isovolatility curves, regions and class…');
    const [[ni, iso], [nreg, nodes, outlines], [className, classCode], regionReason] = await batch([
      [m, 'GetIsovolatilityCurve', 'method', []], [state.design, 'GetRegions', 'method', []],
      [state.design, 'GetMapClass', 'method', []], [state.design, 'LastReason', 'get', []]]);
    for (let c = 0; c < ni; ++c) r.isovolatility.push(iso[c]);
    r.regions = [];
    for (let g = 0; g < nreg; ++g)
      r.regions.push({ unstable: nodes[g][0], stable: nodes[g][1], outline: outlines[g].filter((x) => x[0] >= 0) });
    r.mapClass = { name: className, code: classCode, note: regionReason };
    if (!current()) return;
  } catch (e) {
    if (current() && e instanceof MapRefused) {
      // Nothing of this map is drawn as if it were sound.
      state.result = null;
      draw();
      setWarnings([]);
      setError('map-error', `No map: ${e.message}`);
      setStatus('The map could not be computed for these settings.');
      return;
    }
    if (current()) {
      // A server that stopped (code -32000) is replaced first, so the next
      // computation can run; then the error is told.
      let restarted = false;
      if (e instanceof ProtocolError && e.code === -32000) {
        state.busy = false;
        try {
          await restartServer();
          restarted = true;
        } catch (e2) { /* told below */ }
      }
      setError('map-error', `The map could not be computed: ${describe(e)}`);
      setStatus(restarted ? 'The server stopped during the computation and was restarted; the map is out of date.'
        : 'The map is out of date.');
      markStale();
    }
    return;
  } finally {
    if (current()) { state.busy = false; endProgress(); }
  }
  state.result = r;
  state.clicked = [];
  draw();
  fillTables();
  flagSources();
  saveState();
  markFresh();
  setError('map-error', notes.join(' '));
  setWarnings(warnings, offerThree);
  const separatrices = r.boundaries.filter((b) => !b.edge).length;
  setStatus(`Map of ${s.components.join(' / ')} at ${s.pressure} Pa: ${r.azeotropes.length} azeotrope(s) by the ` +
    `${s.search} search, ${separatrices} distillation boundar${separatrices === 1 ? 'y' : 'ies'}.`);
}

// Marker outlines by stability: stable node a square, saddle a diamond,
// unstable node a triangle (an unclassified point stays a circle).
const SHAPE = {
  1: (x, y) => `${x - 5.5},${y - 5.5} ${x + 5.5},${y - 5.5} ${x + 5.5},${y + 5.5} ${x - 5.5},${y + 5.5}`,
  2: (x, y) => `${x},${y - 7.5} ${x + 7.5},${y} ${x},${y + 7.5} ${x - 7.5},${y}`,
  3: (x, y) => `${x},${y - 8} ${x + 7.5},${y + 5.5} ${x - 7.5},${y + 5.5}`,
};

// An arrowhead at the middle of a curve, towards rising temperature (the
// curve's direction says which way its points run).
function arrow(c, colour, parent) {
  const pts = c.points.filter((x) => x[0] >= 0);
  if (pts.length < 3) return;
  const m = Math.floor(pts.length / 2);
  let [ax, ay] = toXY(pts[m - 1]), [bx, by] = toXY(pts[m + 1]);
  if (c.direction < 0) [ax, ay, bx, by] = [bx, by, ax, ay];
  const len = Math.hypot(bx - ax, by - ay);
  if (len < 1e-9) return;
  const ux = (bx - ax) / len, uy = (by - ay) / len, [tx, ty] = toXY(pts[m]), h = 6;
  el('polygon', { points: `${tx + ux * h},${ty + uy * h} ${tx - ux * h - uy * h * 0.6},${ty - uy * h + ux * h * 0.6} ` +
    `${tx - ux * h + uy * h * 0.6},${ty - uy * h - ux * h * 0.6}`, fill: colour, class: 'arrow',
    'data-direction': c.direction }, parent);
}

// What the shapes and line styles mean, under the triangle.
function legend(svg) {
  const g = el('g', { id: 'legend', 'font-family': 'sans-serif', 'font-size': 11, fill: '#4a5260' }, svg);
  SHAPE_LEGEND.forEach(([code, text], k) => {
    el('polygon', { points: SHAPE[code](16 + 112 * k, 584), fill: STABILITY_COLOUR[code] }, g);
    el('text', { x: 28 + 112 * k, y: 588 }, g).textContent = text;
  });
  el('circle', { cx: 352, cy: 584, r: 6, fill: '#bbb', stroke: '#111', 'stroke-width': 2.5 }, g);
  el('text', { x: 364, y: 588 }, g).textContent = 'ring: heterogeneous azeotrope';
  const lines = [['residue curve (arrow: rising T)', { stroke: '#7d8aa0', 'stroke-width': 1 }],
    ['distillation boundary', { stroke: '#8b1a1a', 'stroke-width': 2.8, 'stroke-dasharray': '9 4' }],
    ['isovolatility', { stroke: '#e08a00', 'stroke-width': 1.2, 'stroke-dasharray': '2 3' }],
    ['LLE', { stroke: '#1565c0', 'stroke-width': 2 }], ['VLLE', { stroke: '#7b1fa2', 'stroke-width': 2 }]];
  let x = 8;
  for (const [text, attrs] of lines) {
    el('line', { x1: x, y1: 604, x2: x + 22, y2: 604, ...attrs }, g);
    const t = el('text', { x: x + 26, y: 608 }, g);
    t.textContent = text;
    x += 34 + 6.2 * text.length;
  }
}

// Mole or mass fractions: the picture, the readout and the azeotrope table
// follow the choice (molar masses from the problem file).
function applyBasis() {
  const r = state.result;
  const mass = $('basis').value === 'mass';
  const mw = r && state.sources ? r.names.map((id) => (state.sources.components.find((c) => c.id === id) || {}).mw) : null;
  if (mass && !(mw && mw.every((m) => m > 0))) setError('map-error', 'The problem file gives no molar masses: mole fractions are shown.');
  setMassBasis(mass ? mw : null);
}
const basisLetter = () => ($('basis').value === 'mass' ? 'w' : 'x');

// A vertex's label: the component's name, with its ID where they differ.
function vertexName(id) {
  const c = state.sources && state.sources.components.find((k) => k.id === id);
  return c && c.name && c.name.toUpperCase() !== id.toUpperCase() ? `${c.name} (${id})` : id;
}

function tiePairs(ties) {
  const out = [];
  if (!Array.isArray(ties)) return out;
  for (let k = 0; k + 1 < ties.length; k += 2)
    if (ties[k][0] >= 0 && ties[k + 1][0] >= 0) out.push([ties[k], ties[k + 1]]);
  return out;
}

function draw() {
  const svg = $('map');
  svg.replaceChildren();
  state.cursor = null;
  const r = state.result;
  el('rect', { x: 0, y: 0, width: 640, height: 620, fill: 'white' }, svg);
  applyBasis();
  frame(svg, r ? r.names.map(vertexName) : ['', '', '']);
  if (!r) return;
  const st = r.settings;
  el('text', { x: 8, y: 16, 'font-family': 'sans-serif', 'font-size': 11, fill: '#4a5260', class: 'caption' }, svg)
    .textContent = `${st.components.join(' / ')}, ${st.pressure} Pa, ${st.method}, ${st.phase} phases, ${st.search} search`;
  const layer = (id) => el('g', { id: `g-${id}`, display: $(`layer-${id}`).checked ? 'inline' : 'none' }, svg);

  const gReg = layer('regions');
  const SHADES = ['#dce8f7', '#f7e3dc', '#e0f2df', '#f3ecd2', '#ebe0f4', '#dff1f1'];
  (r.regions || []).forEach((g, k) => {
    const xy = g.outline.map(toXY);
    if (xy.length < 3) return;
    el('polygon', { points: xy.map(([a, b]) => `${a.toFixed(1)},${b.toFixed(1)}`).join(' '), fill: SHADES[k % SHADES.length],
      'fill-opacity': 0.7, stroke: 'none', class: 'region', 'data-region': k + 1 }, gReg);
    const cx = xy.reduce((s2, p) => s2 + p[0], 0) / xy.length, cy = xy.reduce((s2, p) => s2 + p[1], 0) / xy.length;
    el('text', { x: cx, y: cy, 'font-family': 'sans-serif', 'font-size': 18, 'font-weight': 600, fill: '#55606e',
      'text-anchor': 'middle', class: 'region-number' }, gReg).textContent = String(k + 1);
  });

  const gIso = layer('isovolatility');
  for (const c of r.isovolatility) polyline(c, { stroke: '#e08a00', 'stroke-width': 1.2, 'stroke-dasharray': '2 3', class: 'isovolatility' }, gIso);

  const gRes = layer('residue');
  for (const c of r.residue) {
    polyline(c.points, { stroke: '#7d8aa0', 'stroke-width': 1, class: 'residue' }, gRes);
    arrow(c, '#7d8aa0', gRes);
  }

  const gLle = layer('lle');
  if (r.lle && Array.isArray(r.lle.curves))
    for (const c of r.lle.curves) polyline(c, { stroke: '#1565c0', 'stroke-width': 2, class: 'lle-envelope' }, gLle);
  if (r.lle)
    for (const [a, b] of tiePairs(r.lle.ties)) {
      const [ax, ay] = toXY(a), [bx, by] = toXY(b);
      el('line', { x1: ax, y1: ay, x2: bx, y2: by, stroke: '#1565c0', 'stroke-width': 0.8, class: 'lle-tie' }, gLle);
    }

  const gVlle = layer('vlle');
  if (r.vlle) {
    if (Array.isArray(r.vlle.curves))
      for (const c of r.vlle.curves) polyline(c, { stroke: '#7b1fa2', 'stroke-width': 2, class: 'vlle-envelope' }, gVlle);
    const pairs = tiePairs(r.vlle.ties);
    pairs.forEach(([a, b], k) => {
      const [ax, ay] = toXY(a), [bx, by] = toXY(b);
      el('line', { x1: ax, y1: ay, x2: bx, y2: by, stroke: '#7b1fa2', 'stroke-width': 0.8, class: 'vlle-tie' }, gVlle);
      const y = r.vlle.points && r.vlle.points[k];
      if (y && y[0] >= 0) {
        const [yx, yy] = toXY(y);
        el('circle', { cx: yx, cy: yy, r: 2.5, fill: '#7b1fa2', class: 'vlle-vapour' }, gVlle);
      }
    });
  }

  // Separatrices bold and dashed, apart from the triangle's edges (a
  // boundary along an edge is the edge itself, drawn by the frame).
  const gB = layer('boundaries');
  for (const b of r.boundaries)
    if (!b.edge)
      polyline(b.points, { stroke: '#8b1a1a', 'stroke-width': 2.8, 'stroke-dasharray': '9 4', class: 'boundary' }, gB);

  const gC = layer('clicked');
  state.clicked.forEach((c, k) => drawClicked(c, k, gC));

  legend(svg);

  // Singular points: stability by shape as well as colour, heterogeneous
  // azeotropes with a dark ring, the boiling temperature written beside.
  const gS = layer('singular');
  const cx0 = toXY([1 / 3, 1 / 3, 1 / 3]);
  const marker = (x, t, stab, label, heterogeneous) => {
    const [cx, cy] = toXY(x);
    const attrs = { fill: STABILITY_COLOUR[stab] || '#777', stroke: heterogeneous ? '#111' : 'white',
      'stroke-width': heterogeneous ? 2.5 : 1.5, class: 'singular', 'data-stability': STABILITY[stab] || String(stab),
      'data-kind': heterogeneous ? 'heterogeneous' : 'homogeneous' };
    const m = el(SHAPE[stab] ? 'polygon' : 'circle', SHAPE[stab] ? { points: SHAPE[stab](cx, cy), ...attrs }
      : { cx, cy, r: 6.5, ...attrs }, gS);
    el('title', {}, m).textContent = `${label}: ${fmtT(t)}, ${STABILITY[stab] || stab}` +
      `${heterogeneous ? ', heterogeneous' : ''}`;
    // The label away from the triangle's centre, so edge points keep it
    // clear of the edge.
    let dx = cx - cx0[0], dy = cy - cx0[1];
    const len = Math.hypot(dx, dy) || 1;
    dx /= len; dy /= len;
    // A vertex's name stands above or below it: its temperature to the side.
    if (Math.max(...x) > 0.999) [dx, dy] = [cx >= cx0[0] ? 1 : -1, 0];
    const text = el('text', { x: cx + dx * 16, y: cy + dy * 16 + 4, 'text-anchor': dx > 0.3 ? 'start' : dx < -0.3 ? 'end' : 'middle',
      'font-family': 'sans-serif', 'font-size': 11, fill: '#223047', class: 'singular-label', 'data-t': t.toFixed(4) }, gS);
    text.textContent = fmtT(t, 1);
  };
  r.pure.forEach((p, i) => marker([0, 1, 2].map((k) => (k === i ? 1 : 0)), p.t, p.stability, p.component, false));
  r.azeotropes.forEach((a, k) => marker(a.x, a.t, a.stability, `azeotrope ${k + 1}`, a.phase === 2));
  drawColumn();
  const mc = r.mapClass;
  $('map-class').textContent = mc ? `Class ${mc.name} (structure ${mc.code}); ${r.regions.length} distillation ` +
    `region${r.regions.length === 1 ? '' : 's'}${mc.note ? `. ${mc.note}` : ''}.` : '';
}

// ---------- the column ------------------------------------------------------

// A composition typed as two or three fractions (Top, Left[, Right]); null
// when it is not one.
function parseComposition(text) {
  const v = text.split(/[,;\s]+/).filter((s2) => s2).map(Number);
  if (v.length < 2 || v.length > 3 || v.some((a) => !Number.isFinite(a) || a < -1e-9 || a > 1 + 1e-9)) return null;
  const right = v.length === 3 ? v[2] : 1 - v[0] - v[1];
  if (Math.abs(v[0] + v[1] + right - 1) > 1e-6 || right < -1e-9) return null;
  return [v[0], v[1], Math.max(0, right)];
}

const fmtX = (x) => x.map((a) => a.toFixed(5)).join(', ');

// Where the line from a through b leaves the triangle beyond b.
function edgeBeyond(a, b) {
  let tmax = Infinity;
  for (let i = 0; i < 3; ++i) {
    const d = b[i] - a[i];
    if (d < -1e-15) tmax = Math.min(tmax, -b[i] / d);
  }
  if (!Number.isFinite(tmax)) return null;
  return b.map((bi, i) => Math.max(0, bi + tmax * (bi - a[i])));
}

// The point of the line through a and b nearest to p.
function ontoLine(a, b, p) {
  const d = b.map((bi, i) => bi - a[i]);
  const dd = d.reduce((s2, v) => s2 + v * v, 0);
  const t = dd > 0 ? d.reduce((s2, v, i) => s2 + v * (p[i] - a[i]), 0) / dd : 0;
  const x = a.map((ai, i) => Math.max(0, ai + t * d[i]));
  const s3 = x[0] + x[1] + x[2];
  return x.map((v) => v / s3);
}

function placeColumnPoint(kind, x) {
  $(`col-${kind}`).value = fmtX(x);
  const f = parseComposition($('col-feed').value), d = parseComposition($('col-distillate').value);
  if (f && d && kind !== 'bottoms' && !$('col-bottoms').dataset.typed) {
    const b = edgeBeyond(d, f);
    if (b) $('col-bottoms').value = fmtX(b);
  }
  if (kind === 'bottoms' && f && d) $('col-bottoms').value = fmtX(ontoLine(d, f, x));
  state.column = { feed: f, distillate: d, bottoms: parseComposition($('col-bottoms').value), rect: [], strip: [] };
  drawColumn();
}

function drawColumn() {
  const old = $('g-column');
  if (old) old.remove();
  const c = state.column;
  if (!c || !state.result) return;
  const g = el('g', { id: 'g-column' }, $('map'));
  if (c.distillate && c.bottoms) {
    const [ax, ay] = toXY(c.distillate), [bx, by] = toXY(c.bottoms);
    el('line', { x1: ax, y1: ay, x2: bx, y2: by, stroke: '#555', 'stroke-width': 1.2, 'stroke-dasharray': '5 3',
      class: 'mass-balance' }, g);
  }
  polyline(c.rect, { stroke: '#c62828', 'stroke-width': 1.8, class: 'rectifying' }, g);
  polyline(c.strip, { stroke: '#00796b', 'stroke-width': 1.8, class: 'stripping' }, g);
  for (const [pts, colour] of [[c.rect, '#c62828'], [c.strip, '#00796b']])
    for (const x of pts) { const [px, py] = toXY(x); el('circle', { cx: px, cy: py, r: 2, fill: colour }, g); }
  for (const [x, label, colour] of [[c.feed, 'F', '#111'], [c.distillate, 'D', '#c62828'], [c.bottoms, 'B', '#00796b']]) {
    if (!x) continue;
    const [px, py] = toXY(x);
    el('rect', { x: px - 5, y: py - 5, width: 10, height: 10, fill: colour, transform: `rotate(45 ${px} ${py})`,
      class: `column-${label}` }, g);
    el('text', { x: px + 9, y: py - 7, 'font-family': 'sans-serif', 'font-size': 13, 'font-weight': 700, fill: colour }, g)
      .textContent = label;
  }
}

async function designColumn() {
  setError('column-error', '');
  $('column-result').textContent = '';
  const f = parseComposition($('col-feed').value), d = parseComposition($('col-distillate').value),
    b = parseComposition($('col-bottoms').value);
  const q = Number($('col-q').value.trim()), factor = Number($('col-factor').value.trim());
  const bad = [[f, 'feed'], [d, 'distillate'], [b, 'bottoms']].filter(([x]) => !x).map(([, n]) => n);
  if (bad.length) { setError('column-error', `The ${bad.join(', ')}: not mole fractions of Top and Left (and Right) summing to 1.`); return; }
  if (!Number.isFinite(q) || q < -5 || q > 5) { setError('column-error', 'The feed quality q: a number between -5 and 5.'); return; }
  if (!Number.isFinite(factor) || factor <= 1) { setError('column-error', 'The reflux factor: a number above 1.'); return; }
  if (!mapIsCurrent()) { setError('column-error', 'Compute the map for the settings shown first.'); return; }
  if (state.busy) { setStatus('Wait for the computation to end first.'); return; }
  state.busy = true;
  state.column = { feed: f, distillate: d, bottoms: b, rect: [], strip: [] };
  setStatus('Designing the column…');
  const lastReason = async () => { try { return await state.design.get('LastReason'); } catch (e2) { return ''; } };
  try {
    let split;
    try {
      split = await state.design.call('CheckSplit', f, d, b, q);
    } catch (e) {
      throw new Error((await lastReason()) || describe(e));
    }
    const [feasible, totalReflux, reason] = split;
    if (!feasible) {
      drawColumn();
      $('column-result').textContent = `Not feasible: ${reason}.` +
        (totalReflux ? ' (At total reflux the products can be joined.)' : '');
      $('column-result').className = 'infeasible';
      setStatus('The split is not feasible.');
      return;
    }
    const [rmin, nmin, reason2] = await state.design.call('GetMinimumReflux', f, d, b, q);
    if (!(rmin > 0)) throw new Error(reason2 || 'no minimum reflux found');
    const reflux = factor * rmin;
    const [stages, feedStage, rect, strip, reason3] = await state.design.call('GetColumnProfiles', f, d, b, q, reflux);
    state.column.rect = rect || [];
    state.column.strip = strip || [];
    drawColumn();
    if (!(stages > 0)) throw new Error(reason3 || 'the profiles do not meet');
    $('column-result').className = 'feasible';
    $('column-result').textContent = `Feasible. Minimum reflux ${rmin.toFixed(3)}; minimum stages ${nmin > 0 ? nmin : '—'}` +
      ` (total reflux). At reflux ${reflux.toFixed(3)} (${factor} × minimum): ${stages} stages, feed on stage ${feedStage}.`;
    state.column.figures = { rmin, nmin, reflux, stages, feedStage };
    setStatus('Column designed.');
  } catch (e) {
    setError('column-error', `No column: ${describe(e)}`);
    setStatus('No column.');
  } finally {
    state.busy = false;
  }
}

function drawClicked(c, k, parent) {
  const p = polyline(c.points, { stroke: c.kind === 'residue' ? '#00897b' : '#d81b60', 'stroke-width': 2,
    class: `clicked ${c.kind}`, id: `clicked-${k}` }, parent);
  p.setAttribute('data-points', JSON.stringify(c.points));
  arrow(c, c.kind === 'residue' ? '#00897b' : '#d81b60', parent);
}

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text;
  row.appendChild(td);
}

function fillTables() {
  const r = state.result;
  const pure = $('pure-table').tBodies[0];
  pure.replaceChildren();
  for (const p of r.pure) {
    const tr = pure.insertRow();
    cell(tr, p.component); cell(tr, tValue(p.t).toFixed(2)); cell(tr, STABILITY[p.stability] || String(p.stability));
  }
  r.names.forEach((n, i) => { $(`az-h${i}`).textContent = `${basisLetter()} ${n}`; });
  for (const h of document.querySelectorAll('.t-head')) h.textContent = $('t-unit').value === 'C' ? 'T / °C' : 'T / K';
  const az = $('azeotrope-table').tBodies[0];
  az.replaceChildren();
  r.azeotropes.forEach((a, k) => {
    const tr = az.insertRow();
    cell(tr, String(k + 1));
    for (const v of toBasis(a.x)) cell(tr, v.toFixed(4));
    cell(tr, tValue(a.t).toFixed(2));
    cell(tr, STABILITY[a.stability] || String(a.stability));
    cell(tr, a.phase === 2 ? 'heterogeneous' : 'homogeneous');
    cell(tr, a.status && a.status.length ? a.status.join('; ') : 'ok');
    if (a.status && a.status.length) tr.lastChild.classList.add('status-warning');
  });
  fillClickedList();
}

// Every component's and pair's source, from the file the server opened.
function fillSources() {
  const body = $('sources-table').tBodies[0];
  body.replaceChildren();
  const src = state.sources;
  if (!src) return;
  for (const c of src.components) {
    const tr = body.insertRow();
    cell(tr, c.name !== c.id ? `${c.id} (${c.name})` : c.id); cell(tr, ''); cell(tr, c.source);
  }
  for (const p of src.pairs) {
    const tr = body.insertRow();
    cell(tr, p.a ? `${p.a} / ${p.b}` : 'all pairs'); cell(tr, p.method); cell(tr, p.source);
    if (/estimate|ideal/i.test(p.source)) tr.lastChild.classList.add('status-warning');
  }
}

// Pairs of the map's three components that rest on estimates or on no
// parameters at all, said next to the map.
function flagSources() {
  const box = $('map-sources');
  const r = state.result;
  const pairs = state.sources && r ? state.sources.pairs.filter((p) => p.method === r.settings.method && p.a &&
    r.names.includes(p.a) && r.names.includes(p.b) && /estimate|ideal/i.test(p.source)) : [];
  box.hidden = pairs.length === 0;
  box.textContent = pairs.length ? `Pairs without measured parameters: ${pairs.map((p) =>
    `${p.a} / ${p.b}: ${/ideal/i.test(p.source) ? 'ideal (no parameters)' : 'UNIFAC estimate'}`).join('; ')}.` : '';
}

function fillClickedList() {
  const ul = $('clicked-list');
  ul.replaceChildren();
  state.clicked.forEach((c) => {
    const li = document.createElement('li');
    li.textContent = `${c.kind === 'residue' ? 'residue curve' : 'distillation line'} from (` +
      `${c.start.map((v) => v.toFixed(3)).join(', ')}): ${c.points.length} points`;
    ul.appendChild(li);
  });
}

// ---------- pointer --------------------------------------------------------

function compositionAt(event) {
  const svg = $('map');
  const pt = svg.createSVGPoint();
  pt.x = event.clientX;
  pt.y = event.clientY;
  const p = pt.matrixTransform(svg.getScreenCTM().inverse());
  return fromXY(p.x, p.y);
}

async function hoverQuery() {
  const h = state.hover;
  if (h.pending || !h.next || state.busy || !mapIsCurrent()) return;
  const x = h.next;
  h.next = null;
  h.pending = true;
  try {
    // The bubble point and the tie line through the point in one request.
    const s = state.result.settings;
    const vlle = s.phase === 3 && state.result.vlle;
    const calls = [[state.map, 'GetBoilingPoint', 'method', [x]]];
    if (vlle || state.result.lle) calls.push([state.map, vlle ? 'GetNewTieLineVLLE' : 'GetNewTieLineLLE', 'method', [x]]);
    const [t, ends] = await state.conn.batch(calls);
    $('readout-t').textContent = Number.isFinite(t) && t > 0 && t < 1e30 ? fmtT(t) : 'no bubble point';
    let tie = '—';
    const found = ends && ends[0][0] > -998;
    if (found) {
      const [x1, x2, y] = ends;
      tie = vlle ? `L1 (${fmt(x1)}) – L2 (${fmt(x2)}), vapour (${fmt(y)})`
        : `L1 (${fmt(x1)}) – L2 (${fmt(x2)}) at ${s.temperature} K`;
    }
    drawHoverTie(found ? [ends[0], ends[1]] : null);
    $('readout-tie').textContent = tie;
  } catch (e) {
    $('readout-t').textContent = '—';
  } finally {
    h.pending = false;
    if (h.next) hoverQuery();
  }
}

function fmt(x) { return x.map((v) => v.toFixed(3)).join(', '); }

function drawHoverTie(pair) {
  const old = $('hover-tie');
  if (old) old.remove();
  if (!pair) return;
  const [ax, ay] = toXY(pair[0]), [bx, by] = toXY(pair[1]);
  el('line', { id: 'hover-tie', x1: ax, y1: ay, x2: bx, y2: by, stroke: '#ff6f00', 'stroke-width': 2 }, $('map'));
}

function onMove(event) { readAt(compositionAt(event)); }

// The readout of a composition of the picture (pointer or keyboard cursor).
function readAt(x) {
  if (!x) { $('readout-x').textContent = '—'; return; }
  $('readout-x').textContent = `${basisLetter()} (${fmt(toBasis(x))})`;
  state.hover.next = x;
  hoverQuery();
}

async function onClick(event) {
  // The end of a drag that panned the picture is no click.
  if (state.dragged) { state.dragged = false; return; }
  await clickAt(compositionAt(event));
}

// ---------- zoom and pan -----------------------------------------------------

const WHOLE_VIEW = [0, 0, 640, 620];
function setView(v) {
  state.view = v;
  $('map').setAttribute('viewBox', v.map((a) => a.toFixed(2)).join(' '));
}
// Zooms by `factor` (below 1: closer) about the picture's point (cx, cy).
function zoom(factor, cx, cy) {
  const [x, y, w, h] = state.view || WHOLE_VIEW;
  const nw = Math.min(WHOLE_VIEW[2], Math.max(WHOLE_VIEW[2] / 40, w * factor));
  const nh = nw * WHOLE_VIEW[3] / WHOLE_VIEW[2];
  if (nw >= WHOLE_VIEW[2]) { setView([...WHOLE_VIEW]); return; }
  setView([cx - (cx - x) * nw / w, cy - (cy - y) * nh / h, nw, nh]);
}
function svgPoint(event) {
  const svg = $('map');
  const pt = svg.createSVGPoint();
  pt.x = event.clientX;
  pt.y = event.clientY;
  return pt.matrixTransform(svg.getScreenCTM().inverse());
}
function wireZoom() {
  const svg = $('map');
  svg.addEventListener('wheel', (event) => {
    event.preventDefault();
    const p = svgPoint(event);
    zoom(event.deltaY > 0 ? 1.25 : 0.8, p.x, p.y);
  }, { passive: false });
  let drag = null;
  svg.addEventListener('pointerdown', (event) => {
    if (event.button === 0) drag = { x: event.clientX, y: event.clientY, view: [...(state.view || WHOLE_VIEW)], moved: false };
  });
  svg.addEventListener('pointermove', (event) => {
    if (!drag || !(event.buttons & 1)) return;
    const dx = event.clientX - drag.x, dy = event.clientY - drag.y;
    if (!drag.moved && Math.hypot(dx, dy) < 5) return;
    drag.moved = true;
    const scale = drag.view[2] / svg.getBoundingClientRect().width;
    setView([drag.view[0] - dx * scale, drag.view[1] - dy * scale, drag.view[2], drag.view[3]]);
  });
  svg.addEventListener('pointerup', () => {
    if (drag && drag.moved) state.dragged = true;
    drag = null;
  });
  const centre = () => { const [x, y, w, h] = state.view || WHOLE_VIEW; return [x + w / 2, y + h / 2]; };
  $('zoom-in').addEventListener('click', () => zoom(0.7, ...centre()));
  $('zoom-out').addEventListener('click', () => zoom(1 / 0.7, ...centre()));
  $('zoom-reset').addEventListener('click', () => setView([...WHOLE_VIEW]));
}

// The keyboard's cursor on the map: arrow keys move it (Shift: finer), its
// composition is read as the pointer's is, Enter acts as a click there.
function onMapKey(event) {
  const moves = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
  if (event.key === 'Enter') {
    event.preventDefault();
    if (state.cursor) clickAt(fromXY(...state.cursor));
    return;
  }
  const d = moves[event.key];
  if (!d) return;
  event.preventDefault();
  const step = event.shiftKey ? 1 : 6;
  const [px, py] = state.cursor || toXY([1 / 3, 1 / 3, 1 / 3]);
  const next = [px + d[0] * step, py + d[1] * step];
  if (!fromXY(...next)) return;  // the cursor stays inside the triangle
  state.cursor = next;
  let c = $('cursor');
  if (!c) c = el('circle', { id: 'cursor', r: 5, fill: 'none', stroke: '#ff6f00', 'stroke-width': 2 }, $('map'));
  c.setAttribute('cx', next[0]);
  c.setAttribute('cy', next[1]);
  readAt(fromXY(...next));
}

async function clickAt(x) {
  if (!x) return;
  if (state.busy) { setStatus('Wait for the computation to end (or abandon it) before adding a curve.'); return; }
  if (!mapIsCurrent()) {
    setError('map-error', 'Compute the map for the settings shown before adding curves.');
    return;
  }
  const kind = document.querySelector('input[name=click-kind]:checked').value;
  if ((kind === 'residue' || kind === 'distillation') && Math.max(...x) > 0.995) {
    setError('map-error', `A pure component has no ${kind === 'residue' ? 'residue curve' : 'distillation line'}: ` +
      'click inside the triangle.');
    return;
  }
  if (kind === 'feed' || kind === 'distillate' || kind === 'bottoms') {
    if (kind === 'bottoms') delete $('col-bottoms').dataset.typed;
    placeColumnPoint(kind, x);
    return;
  }
  await addCurve(kind, x);
}

// A residue curve or distillation line through x, added to the picture.
async function addCurve(kind, x) {
  const started = performance.now();
  state.busy = true;
  setStatus(`Computing the ${kind === 'residue' ? 'residue curve' : 'distillation line'}…`);
  try {
    // The curve and its ErrorCode in one request.
    const [[direction, points], err] = await state.conn.batch([
      [state.map, kind === 'residue' ? 'GetResidueCurve' : 'GetDistillationCurve', 'method', [x]],
      [state.map, 'ErrorCode', 'get', []]]);
    const note = codesText(kind === 'residue' ? 'Residue curve' : 'Distillation line', err, 0);
    const curve = { kind, start: x, direction, points: points || [] };
    state.clicked.push(curve);
    // Only the new curve is drawn: the rest of the picture stands.
    drawClicked(curve, state.clicked.length - 1, $('g-clicked'));
    fillClickedList();
    const ms = performance.now() - started;
    state.lastClickMs = ms;
    setError('map-error', note);
    setStatus(`${points ? points.length : 0} points from (${fmt(x)}) in ${ms.toFixed(0)} ms.`);
  } catch (e) {
    setError('map-error', `No curve through (${fmt(x)}): ${describe(e)}`);
  } finally {
    state.busy = false;
    saveState();
  }
}

// ---------- the whole mixture ---------------------------------------------

// Every azeotrope of all the file's components (up to twenty), by the
// server's azeotrope search, in a table of their own.
async function wholeMixture() {
  setError('whole-error', '');
  const s = readSettings();
  if (!s) return;
  if (state.busy) { setStatus('Wait for the computation to end (or abandon it).'); return; }
  const ids = state.ids;
  if (ids.length > 20) { setError('whole-error', `The search takes at most 20 components; the file has ${ids.length}.`); return; }
  state.busy = true;
  setStatus(`Azeotropes of all ${ids.length} components…`);
  let search = null;
  try {
    search = await state.app.call('GetAzeotropeSearch');
    const got = await state.conn.batch([[search, 'SetComponentData', 'method', [ids]],
      [search, 'SetPropertyData', 'method', [s.method, s.method, s.method, s.phase]],
      [search, 'Pressure', 'put', [r8(s.pressure)]], [search, 'ComputeAzeotropes', 'method', []],
      [search, 'GetAzeotropes', 'method', []]]);
    const [n, xs, ts, phases, codes] = got[4];
    const table = $('whole-table');
    const head = table.tHead;
    head.replaceChildren();
    const hr = head.insertRow();
    for (const h of ['#', ...ids.map((c) => `x ${c}`), $('t-unit').value === 'C' ? 'T / °C' : 'T / K', 'kind', 'stability']) {
      const th = document.createElement('th');
      th.textContent = h;
      hr.appendChild(th);
    }
    const body = table.tBodies[0];
    body.replaceChildren();
    for (let a = 0; a < n; ++a) {
      const tr = body.insertRow();
      cell(tr, String(a + 1));
      for (const v of xs[a]) cell(tr, v.toFixed(4));
      cell(tr, tValue(ts[a]).toFixed(2));
      cell(tr, phases[a] === 2 ? 'heterogeneous' : 'homogeneous');
      cell(tr, STABILITY[codes[a]] || String(codes[a]));
    }
    table.hidden = false;
    setStatus(`${n} azeotrope(s) of all ${ids.length} components at ${s.pressure} Pa.`);
  } catch (e) {
    setError('whole-error', `No search: ${describe(e)}`);
  } finally {
    state.busy = false;
    if (search) { try { await search.release(); } catch (e) { /* the server may be gone */ } }
  }
}

// ---------- work that is kept ----------------------------------------------

// The page's state: the problem file itself, the settings as typed, the
// layers shown and the curves added.  Kept in the browser as it changes and
// offered as a session file.
const SAVE_KEY = 'ternival-page';
const SETTING_FIELDS = ['pressure', 'temperature', 'method', 'phase', 'search', 'grid-steps', 't-unit', 'basis', 'top',
  'left', 'right'];
function pageState() {
  const layers = {};
  for (const box of document.querySelectorAll('#layers input')) layers[box.id] = box.checked;
  const fields = {};
  for (const id of SETTING_FIELDS) fields[id] = $(id).value;
  return { kind: 'ternival-session', version: 1, file: state.file, text: state.problemText, sources: state.sources,
    fields, layers, curves: state.clicked.map((c) => ({ kind: c.kind, start: c.start })) };
}
function saveState() {
  if (!state.file || !state.problemText || state.restoring) return;
  try { localStorage.setItem(SAVE_KEY, JSON.stringify(pageState())); } catch (e) { /* storage full or off */ }
}
async function restoreState(saved) {
  if (!saved || saved.kind !== 'ternival-session' || !saved.file || typeof saved.text !== 'string')
    throw new Error('this is not a session file of this page');
  state.restoring = true;
  try {
    const r = await api(`/api/upload?name=${encodeURIComponent(saved.file)}`,
      { method: 'POST', headers: { 'Content-Type': 'application/octet-stream' }, body: saved.text });
    await openFile(r.file, r, false);
    for (const [id, v] of Object.entries(saved.fields || {}))
      if ($(id) && SETTING_FIELDS.includes(id) && (id !== 'method' || [...$(id).options].some((o) => o.value === v))) $(id).value = v;
    for (const [id, on] of Object.entries(saved.layers || {})) if ($(id) && id.startsWith('layer-')) $(id).checked = on;
    await computeMap();
    for (const c of saved.curves || [])
      if (mapIsCurrent() && Array.isArray(c.start) && c.start.length === 3) await addCurve(c.kind === 'distillation' ? 'distillation' : 'residue', c.start);
  } finally {
    state.restoring = false;
  }
  saveState();
  setStatus(`${state.file} restored with ${state.clicked.length} added curve(s).`);
}
function saveSessionFile() {
  if (!state.file) { setStatus('Open a mixture first.'); return; }
  download(`${(state.file || 'ternival').replace(/\.toml$/, '')}.ternival.json`,
    new Blob([JSON.stringify(pageState(), null, 1)], { type: 'application/json' }));
}
async function openSessionFile() {
  const f = $('session-file').files[0];
  if (!f) return;
  clearErrors();
  try {
    await restoreState(JSON.parse(await f.text()));
  } catch (e) {
    setError('mixture-error', `${f.name}: ${describe(e)}`);
  } finally {
    $('session-file').value = '';
  }
}

// ---------- the report -----------------------------------------------------

// One page for the record: the map, the tables, the settings, where the
// numbers come from, the date and the program's version.
function reportHtml() {
  const esc = (t) => String(t).replace(/[&<>"]/g, (ch) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[ch]));
  const c = context();
  const table = (id) => $(id).outerHTML;
  const settings = [['Mixture', `${c.components.join(' / ')} (${c.file})`], ['Pressure', `${c.pressure_Pa} Pa`],
    ['Property method', c.model], ['Phases', c.phases], ['Azeotrope search', c.search],
    ['LLE temperature', `${c.lle_temperature_K} K`], ['Map class', $('map-class').textContent],
    ['Program', `Ternival ${c.version}`], ['Date', c.exported]];
  return `<!doctype html><html lang="en"><head><meta charset="utf-8"><title>Ternival report: ${esc(c.components.join(' / '))}</title>
<style>body{font-family:sans-serif;margin:1.5em;color:#1d2430}table{border-collapse:collapse;margin:0.4em 0 1em}
th,td{border:1px solid #c8ced8;padding:0.15em 0.5em;text-align:right}th:first-child,td:first-child{text-align:left}
svg{max-width:100%;height:auto}@page{size:A4;margin:12mm}</style></head><body>
<h1>Residue-curve map: ${esc(c.components.join(' / '))}</h1>
<table id="report-settings">${settings.map(([k, v]) => `<tr><th>${esc(k)}</th><td>${esc(v)}</td></tr>`).join('')}</table>
${svgText().replace(/^<\?xml[^>]*>\n?/, '')}
<h2>Pure components</h2>${table('pure-table')}<h2>Azeotropes</h2>${table('azeotrope-table')}
<h2>Where the numbers come from</h2>${table('sources-table')}
<p>${esc($('map-sources').textContent)}</p></body></html>`;
}
function exportReport() {
  if (exportable()) download(`${baseName()}-report.html`, new Blob([reportHtml()], { type: 'text/html' }));
}

// ---------- export ---------------------------------------------------------

function download(name, blob) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.appendChild(a);
  a.click();
  setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}

// What every export says about where its numbers come from.
function context() {
  const s = state.result.settings;
  return { program: 'Ternival', version: state.version, file: s.file, components: s.components,
    pressure_Pa: s.pressure, model: s.method, phases: s.phase, search: s.search, lle_temperature_K: s.temperature,
    exported: new Date().toISOString() };
}
function contextLine() {
  const c = context();
  return `${c.components.join(' / ')} (${c.file}), ${c.pressure_Pa} Pa, ${c.model}, ${c.phases} phases, ` +
    `${c.search} search; Ternival ${c.version}, ${c.exported}`;
}

function svgText() {
  const clone = $('map').cloneNode(true);
  clone.removeAttribute('class');
  clone.setAttribute('viewBox', WHOLE_VIEW.join(' '));
  for (const id of ['#hover-tie', '#cursor']) {
    const e = clone.querySelector(id);
    if (e) e.remove();
  }
  const ns = 'http://www.w3.org/2000/svg';
  const desc = document.createElementNS(ns, 'desc');
  desc.textContent = contextLine();
  const meta = document.createElementNS(ns, 'metadata');
  meta.textContent = JSON.stringify(context());
  clone.insertBefore(meta, clone.firstChild);
  clone.insertBefore(desc, clone.firstChild);
  return '<?xml version="1.0" encoding="UTF-8"?>\n' + new XMLSerializer().serializeToString(clone);
}

function exportable() {
  if (!mapIsCurrent()) {
    setError('map-error', 'There is no current map to export; compute it first.');
    return false;
  }
  return true;
}

function baseName() {
  const s = state.result.settings;
  return `ternival-${s.components.join('-')}-${Math.round(s.pressure)}Pa`.replace(/[^A-Za-z0-9_.-]/g, '_');
}

function exportSvg() {
  if (exportable()) download(`${baseName()}.svg`, new Blob([svgText()], { type: 'image/svg+xml' }));
}

function exportPng() {
  if (!exportable()) return;
  const img = new Image();
  img.onload = () => {
    const canvas = document.createElement('canvas');
    canvas.width = 1280;
    canvas.height = 1240;
    const ctx = canvas.getContext('2d');
    ctx.drawImage(img, 0, 0, canvas.width, canvas.height);
    canvas.toBlob((b) => download(`${baseName()}.png`, b), 'image/png');
  };
  img.src = 'data:image/svg+xml;charset=utf-8,' + encodeURIComponent(svgText());
}

function numbers() {
  const r = state.result;
  return { context: context(), settings: r.settings, pure: r.pure, azeotropes: r.azeotropes, boundaries: r.boundaries,
    residue_curves: r.residue, clicked_curves: state.clicked, lle: r.lle, vlle: r.vlle,
    isovolatility: r.isovolatility };
}

function exportJson() {
  if (exportable()) download(`${baseName()}.json`, new Blob([JSON.stringify(numbers(), null, 1)], { type: 'application/json' }));
}

function exportCsv() {
  if (!exportable()) return;
  const r = state.result;
  const [a, b, c] = r.names;
  const rows = Object.entries(context()).map(([k, v]) => `# ${k}: ${Array.isArray(v) ? v.join(' / ') : v}`);
  rows.push(`layer,item,point,x_${a},x_${b},x_${c},T_K,stability,kind`);
  const add = (layer, item, point, x, t = '', stab = '', kind = '') =>
    rows.push([layer, item, point, ...x.map((v) => v.toPrecision(8)), t, stab, kind].join(','));
  r.pure.forEach((p, i) => add('pure', i + 1, 1, [0, 1, 2].map((k) => (k === i ? 1 : 0)), p.t.toFixed(4), STABILITY[p.stability]));
  r.azeotropes.forEach((z, k) => add('azeotrope', k + 1, 1, z.x, z.t.toFixed(4), STABILITY[z.stability],
    z.phase === 2 ? 'heterogeneous' : 'homogeneous'));
  const curves = (layer, list) => list.forEach((pts, k) => pts.forEach((x, p) => { if (x[0] >= 0) add(layer, k + 1, p + 1, x); }));
  curves('boundary', r.boundaries.map((b2) => b2.points));
  curves('residue', r.residue.map((c2) => c2.points));
  curves('clicked', state.clicked.map((c2) => c2.points));
  if (r.lle && Array.isArray(r.lle.curves)) curves('lle', r.lle.curves);
  if (r.lle) curves('lle-tie', tiePairs(r.lle.ties));
  if (r.vlle && Array.isArray(r.vlle.curves)) curves('vlle', r.vlle.curves);
  if (r.vlle) {
    curves('vlle-tie', tiePairs(r.vlle.ties));
    (r.vlle.points || []).forEach((y, k) => { if (y && y[0] >= 0) add('vlle-vapour', k + 1, 1, y); });
  }
  curves('isovolatility', r.isovolatility);
  download(`${baseName()}.csv`, new Blob([rows.join('\n') + '\n'], { type: 'text/csv' }));
}

// ---------- start ----------------------------------------------------------

function wire() {
  $('load-example').addEventListener('click', loadExample);
  $('upload').addEventListener('change', uploadFile);
  $('load-databank').addEventListener('click', loadDatabank);
  $('databank-components').addEventListener('input', suggest);
  $('compute').addEventListener('click', computeMap);
  $('abandon').addEventListener('click', abandon);
  for (const id of ['top', 'left', 'right', 'method', 'phase']) $(id).addEventListener('change', computeMap);
  let timer = null;
  for (const id of ['pressure', 'temperature'])
    $(id).addEventListener('input', () => {
      markStale();
      clearTimeout(timer);
      timer = setTimeout(computeMap, 400);
    });
  for (const box of document.querySelectorAll('#layers input'))
    box.addEventListener('change', () => {
      const group = $(`g-${box.id.replace('layer-', '')}`);
      if (group) group.setAttribute('display', box.checked ? 'inline' : 'none');
    });
  $('clear-clicked').addEventListener('click', () => {
    state.clicked = [];
    if (state.result) { draw(); fillClickedList(); }
    saveState();
  });
  $('whole-search').addEventListener('click', wholeMixture);
  $('download-problem').addEventListener('click', () => {
    if (!state.problemText) { setStatus('No problem file is open.'); return; }
    download(state.file || 'problem.toml', new Blob([state.problemText], { type: 'application/toml' }));
  });
  $('save-session').addEventListener('click', saveSessionFile);
  $('session-file').addEventListener('change', openSessionFile);
  $('export-report').addEventListener('click', exportReport);
  $('print').addEventListener('click', () => window.print());
  $('undo-clicked').addEventListener('click', () => {
    if (!state.clicked.length) { setStatus('No curve to remove.'); return; }
    state.clicked.pop();
    saveState();
    if (state.result) { draw(); fillClickedList(); }
    setStatus('The last curve was removed.');
  });
  for (const id of ['search', 'grid-steps']) $(id).addEventListener('change', computeMap);
  for (const id of ['t-unit', 'basis']) $(id).addEventListener('change', () => { if (state.result) { draw(); fillTables(); } });
  // Enter in a field acts as its panel's button does.
  const enter = (ids, act) => ids.forEach((id) => $(id).addEventListener('keydown', (ev) => {
    if (ev.key === 'Enter') { ev.preventDefault(); act(); }
  }));
  enter(['pressure', 'temperature'], computeMap);
  enter(['databank-components'], loadDatabank);
  enter(['col-feed', 'col-distillate', 'col-bottoms', 'col-q', 'col-factor'], designColumn);
  enter(['screen-pair', 'screen-candidates'], startScreen);
  $('map').addEventListener('mousemove', onMove);
  $('map').addEventListener('click', onClick);
  $('map').addEventListener('keydown', onMapKey);
  wireZoom();
  $('export-svg').addEventListener('click', exportSvg);
  $('export-png').addEventListener('click', exportPng);
  $('export-csv').addEventListener('click', exportCsv);
  $('export-json').addEventListener('click', exportJson);
  $('use-three-phases').addEventListener('click', () => { $('phase').value = '3'; computeMap(); });
  $('fit-file').addEventListener('change', fitMeasurements);
  $('col-design').addEventListener('click', designColumn);
  $('screen-start').addEventListener('click', startScreen);
  $('col-bottoms').addEventListener('input', () => { $('col-bottoms').dataset.typed = '1'; });
  $('fit-use').addEventListener('click', useFit);
  // Leaving (closing or reloading): the session ends soon unless this tab
  // comes back for it.
  window.addEventListener('pagehide', () => postWhileLeaving('/api/session/leave'));
}

// The page is alive while it is open: the web server ends the session of a
// tab it has not heard of for a while.
function startHeartbeat(seconds) {
  const every = Math.max(2, Math.min(15, (seconds || 60) / 4)) * 1000;
  setInterval(() => { postJson('/api/session/heartbeat').catch(() => {}); }, every);
}

async function start() {
  wire();
  draw();
  try {
    const s = await postJson('/api/session');
    setSessionToken(s.session);
    state.app = new Proxy(state.conn, s.application);
    startHeartbeat(s.heartbeat_seconds);
    state.version = s.version || '';
    state.maxUpload = s.max_upload || 0;
    fillSelect($('example'), s.examples, 'acetone_chloroform_methanol.toml');
    try { state.messages = await api('/api/messages'); } catch (e) { state.messages = {}; }
    // The work of the last visit, unless the address asks for a fresh page.
    let saved = null;
    if (new URLSearchParams(location.search).has('fresh')) localStorage.removeItem(SAVE_KEY);
    else try { saved = JSON.parse(localStorage.getItem(SAVE_KEY) || 'null'); } catch (e) { saved = null; }
    if (saved) {
      try {
        await restoreState(saved);
      } catch (e) {
        setError('mixture-error', `The last session could not be restored (${describe(e)}); the example is shown.`);
        await loadExample();
      }
    } else await loadExample();
    document.body.setAttribute('data-ready', 'true');
  } catch (e) {
    setStatus(describe(e));
  }
}

start();
