// The automation server's protocol as the page speaks it: JSON-RPC requests
// relayed by ternival-web to this session's server process, and the
// conversion of automation values (VARIANTs, SAFEARRAYs) to and from
// JavaScript values.

export class AutomationError extends Error {
  constructor(member, hresult) {
    super(`${member} failed (HRESULT 0x${(hresult >>> 0).toString(16).toUpperCase().padStart(8, '0')})`);
    this.member = member;
    this.hresult = hresult >>> 0;
  }
}

export class ProtocolError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

// This tab's session: kept in the tab's own storage, so a reload finds it
// again and another tab never shares it; sent in a header with every
// request (a page of another site can neither read nor send it).
const SESSION_KEY = 'ternival-session';
export function sessionToken() { return sessionStorage.getItem(SESSION_KEY) || ''; }
export function setSessionToken(token) {
  if (token) sessionStorage.setItem(SESSION_KEY, token);
  else sessionStorage.removeItem(SESSION_KEY);
}
function withSession(headers = {}) {
  const token = sessionToken();
  return token ? { ...headers, 'X-Ternival-Session': token } : { ...headers };
}

// A JSON answer of ternival-web, or an Error carrying its one-sentence
// explanation.
export async function api(path, options = {}) {
  let res;
  try {
    res = await fetch(path, { credentials: 'omit', ...options, headers: withSession(options.headers) });
  } catch (e) {
    throw new Error('The web server cannot be reached.');
  }
  let body = null;
  try {
    body = await res.json();
  } catch (e) {
    throw new Error(`The web server answered ${res.status} without an explanation.`);
  }
  if (!res.ok) throw new Error(body && body.error ? body.error : `The web server answered ${res.status}.`);
  return body;
}

export function postJson(path, value = {}) {
  return api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(value) });
}

// A request that must reach the server even as the page goes away.
export function postWhileLeaving(path) {
  try {
    fetch(path, { method: 'POST', keepalive: true, credentials: 'omit',
      headers: withSession({ 'Content-Type': 'application/json' }), body: '{}' });
  } catch (e) { /* the page is going anyway */ }
}

function shape(value) {
  const dims = [];
  while (Array.isArray(value)) {
    dims.push(value.length);
    if (value.length === 0) break;
    value = value[0];
  }
  return dims;
}

// Elements in storage order: first index fastest.
function flatten(value, dims) {
  const out = [];
  const total = dims.reduce((a, b) => a * b, 1);
  for (let k = 0; k < total; ++k) {
    let rest = k;
    const index = dims.map((d) => { const i = rest % d; rest = Math.floor(rest / d); return i; });
    let v = value;
    for (const i of index) v = v[i];
    out.push(v);
  }
  return out;
}

export function toWire(value) {
  if (value && value.handle !== undefined) return { vt: 'DISPATCH', object: value.handle };
  if (value === null || value === undefined) return { vt: 'EMPTY' };
  if (typeof value === 'boolean') return { vt: 'BOOL', value };
  if (typeof value === 'number') return Number.isInteger(value) ? { vt: 'I4', value } : { vt: 'R8', value };
  if (value instanceof Number) return { vt: 'R8', value: Number(value) };
  if (typeof value === 'string') return { vt: 'BSTR', value };
  if (Array.isArray(value)) {
    const dims = shape(value);
    const data = dims.every((d) => d > 0) ? flatten(value, dims) : [];
    let elem = 'VARIANT';
    if (data.every((v) => typeof v === 'string')) elem = 'BSTR';
    else if (data.every((v) => typeof v === 'number' || v instanceof Number)) elem = 'R8';
    return { vt: `ARRAY|${elem}`, bounds: dims.map((d) => [0, d]),
      data: elem === 'VARIANT' ? data.map(toWire) : data.map((v) => (elem === 'R8' ? Number(v) : v)) };
  }
  throw new TypeError(`no automation type for ${value}`);
}

// A double, even when it has no fractional part (101325 is R8, not I4).
export function r8(x) { return new Number(x); }

function nested(data, counts) {
  const build = (prefix) => {
    if (prefix.length === counts.length) {
      let pos = 0, stride = 1;
      prefix.forEach((i, k) => { pos += i * stride; stride *= counts[k]; });
      return data[pos];
    }
    const out = [];
    for (let k = 0; k < counts[prefix.length]; ++k) out.push(build([...prefix, k]));
    return out;
  };
  return build([]);
}

// The [out] values of one call's result, as a member returns them (none:
// undefined; one: the value; several: an array); a failing HRESULT throws.
function unpack(connection, member, result) {
  const outs = result.out.map((v) => connection.fromWire(v));
  if (result.hresult < 0) throw new AutomationError(member, result.hresult);
  if (outs.length === 0) return undefined;
  return outs.length === 1 ? outs[0] : outs;
}

export class Connection {
  constructor() { this.nextId = 1; }

  // Several calls, [proxy, member, kind, args] each, in one request; they
  // run in order in the server.  Resolves to their values, or rejects with
  // the first failure.
  async batch(calls) {
    const requests = calls.map(([proxy, member, kind, args]) => ({ jsonrpc: '2.0', id: this.nextId++,
      method: 'invoke', params: { object: proxy.handle, member, kind, args: args.map(toWire) } }));
    const replies = await postJson('/api/rpc', requests);
    if (!Array.isArray(replies) || replies.length !== calls.length)
      throw new ProtocolError(-32000, 'The web server answered a batch with something else.');
    return replies.map((reply, k) => {
      if (reply.error) throw new ProtocolError(reply.error.code, reply.error.message);
      return unpack(this, calls[k][1], reply.result);
    });
  }

  // A new object of a class whose class object serves many creations
  // (the design extension), in the session's server.
  async create(progId) {
    const result = await this.call('create', { class: progId });
    return new Proxy(this, result.object);
  }

  async call(method, params) {
    const request = { jsonrpc: '2.0', id: this.nextId++, method, params };
    const reply = await postJson('/api/rpc', request);
    if (reply.error) throw new ProtocolError(reply.error.code, reply.error.message);
    return reply.result;
  }

  fromWire(value) {
    const vt = value.vt || 'EMPTY';
    if (vt === 'DISPATCH') return value.object ? new Proxy(this, value.object) : null;
    if (vt.startsWith('ARRAY|')) {
      let data = value.data;
      if (vt === 'ARRAY|VARIANT') data = data.map((v) => this.fromWire(v));
      return nested(data, value.bounds.map((b) => b[1]));
    }
    return value.value;
  }
}

// An object of the server.  Members are called by name with their [in]
// arguments and resolve to their [out] values (none: undefined; one: the
// value; several: an array).
export class Proxy {
  constructor(connection, handle) {
    this.connection = connection;
    this.handle = handle;
  }

  async invoke(member, kind, args) {
    const result = await this.connection.call('invoke',
      { object: this.handle, member, kind, args: args.map(toWire) });
    return unpack(this.connection, member, result);
  }

  call(member, ...args) { return this.invoke(member, 'method', args); }
  get(property) { return this.invoke(property, 'get', []); }
  put(property, value) { return this.invoke(property, 'put', [value]); }
  release() { return this.connection.call('release', { object: this.handle }); }
}
