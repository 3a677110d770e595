'use strict';
// A polling page spoken by hand over node's net (or tls): requests written
// byte for byte, pipelined as a test wishes, answers read back in order. It
// can be the page no client library would be: one that leaves mid-request,
// goes silent, or lies about its sid.

const assert = require('node:assert/strict');
const net = require('node:net');
const tlsModule = require('node:tls');
const h = require('./harness');

const POLLING = '/tessark.io/?EIO=3&transport=polling';

// Body records "<length>:<type><data>"; the agent's replies among a body's records.
const record = (type, data = '') => `${String(type).length + data.length}:${type}${data}`;
const event = (name, data = {}) => record(42, JSON.stringify([name, data]));
function replies(body) {
  const out = [];
  for (let at = 0, colon; (colon = body.indexOf(':', at)) > at; at = colon + 1 + Number(body.slice(at, colon))) {
    const packet = body.substr(colon + 1, Number(body.slice(at, colon)));
    if (packet.startsWith('42')) out.push(JSON.parse(packet.slice(2)));
  }
  out.forEach(([name]) => assert.equal(name, 'zimracert', body));
  return out.map(([, reply]) => reply);
}

// One connection. `ask` writes a request and resolves with its answer
// ({status, statusLine, headers, body}), or null when the connection closes
// first. With `once`, the request says "Connection: close" and the
// connection ends after its answer.
class Connection {
  constructor(agent, once = false) {
    // TLS runs over a TCP socket of its own, which `reset` can reset.
    this.tcp = net.connect(agent.port, '127.0.0.1');
    this.socket = agent.tls ? tlsModule.connect({ socket: this.tcp, rejectUnauthorized: false }) : this.tcp;
    Object.assign(this, { once, input: Buffer.alloc(0), answers: [], waiters: [], ended: false });
    [this.tcp, this.socket].forEach((socket) => socket.on('error', () => {}));
    this.socket.on('data', (data) => this.read(data));
    this.closed = new Promise((resolve) => this.socket.on('close', () => {
      [this.closedByAgent, this.closedAt] = [!this.ended, Date.now()];
      this.waiters.splice(0).forEach((w) => w(null));
      resolve();
    }));
  }

  static bytes(method, target, { body = '', headers = {} } = {}) {
    const fields = { Host: '127.0.0.1', ...(method === 'POST' ? { 'Content-Type': 'text/plain;charset=UTF-8',
      'Content-Length': Buffer.byteLength(body) } : {}), ...headers };
    return `${method} ${target} HTTP/1.1\r\n${Object.entries(fields).map(([k, v]) => `${k}: ${v}\r\n`).join('')}\r\n${body}`;
  }

  write(text) {
    this.socket.write(text);
    return this;
  }

  async ask(method, target, options = {}) {
    const headers = this.once ? { ...options.headers, Connection: 'close' } : options.headers;
    const answer = await this.write(Connection.bytes(method, target, { ...options, headers }))
      .next(`${method} ${target}`, options.ms);
    if (this.once) this.end();
    return answer;
  }

  // The next answer in order.
  next(what = 'answer', ms = 5000) {
    if (this.answers.length) return Promise.resolve(this.answers.shift());
    if (this.socket.destroyed) return Promise.resolve(null);
    return h.within(ms, new Promise((resolve) => this.waiters.push(resolve)), what);
  }

  read(data) {
    this.input = Buffer.concat([this.input, data]);
    for (let end; (end = this.input.indexOf('\r\n\r\n')) >= 0;) {
      const [statusLine, ...lines] = this.input.subarray(0, end).toString('latin1').split('\r\n');
      const headers = Object.fromEntries(lines.map((l) => [l.slice(0, l.indexOf(':')).toLowerCase(),
        l.slice(l.indexOf(':') + 1).trim()]));
      const length = Number(headers['content-length'] || 0);
      if (this.input.length < end + 4 + length) return;
      const body = this.input.subarray(end + 4, end + 4 + length).toString();
      this.input = this.input.subarray(end + 4 + length);
      const answer = { status: Number(statusLine.split(' ')[1]), statusLine, headers, body };
      (this.waiters.shift() || ((a) => this.answers.push(a)))(answer);
    }
  }

  // Closed from this side.
  end() {
    this.ended = true;
    this.socket.destroy();
  }

  // Reset from this side (TCP RST), as when the page's machine drops it.
  reset() {
    this.ended = true;
    this.tcp.resetAndDestroy();
    this.socket.destroy();
  }
}

// 403 Forbidden with "Connection: close" and no body (or 400 Bad Request),
// and the agent closes the connection.
async function assertRefused(connection, answer, what, status = 403) {
  assert.ok(answer, `${what}: connection closed without an answer`);
  assert.equal(answer.statusLine, `HTTP/1.1 ${status} ${status === 403 ? 'Forbidden' : 'Bad Request'}`, what);
  if (status === 403) assert.deepEqual([answer.headers.connection, answer.body], ['close', ''], what);
  await h.within(3000, connection.closed, `${what}: the agent closes the connection`);
}

// An open: the sid when accepted, else the refusal checked and no sid.
async function open(agent, connection = new Connection(agent)) {
  const answer = await connection.ask('GET', POLLING);
  if (answer && answer.status === 200) {
    const handshake = /^96:0\{"pingInterval":1000,"pingTimeout":60000,"sid":"(.{20})","upgrades":\["websocket"\]\}$/;
    return (handshake.exec(answer.body) || assert.fail(`handshake ${answer.body}`))[1];
  }
  return assertRefused(connection, answer, 'an open while a page is connected');
}

// A page by its sid. Its requests go on `connection`, or on the one a call
// names; a function there gives each request a connection of its own.
class RawPage {
  constructor(agent, sid, connection) {
    Object.assign(this, { agent, sid, connection, query: `${POLLING}&sid=${encodeURIComponent(sid)}` });
  }

  // Opened and connected on one connection; null when the open is refused.
  static async connect(agent, connection = new Connection(agent)) {
    const sid = await open(agent, connection);
    if (!sid) return null;
    const page = new RawPage(agent, sid, connection);
    assert.equal((await page.get()).body, '2:40', 'the connect');
    return page;
  }

  async ask(method, body, connection = this.connection, ms = undefined) {
    const on = typeof connection === 'function' ? connection() : connection;
    const answer = await on.ask(method, this.query, { body, ms });
    assert.equal(answer && answer.statusLine, 'HTTP/1.1 200 OK',
      `${method} of the page${answer ? '' : ': the connection closed unanswered'}`);
    return answer;
  }

  get(connection, ms) {
    return this.ask('GET', '', connection, ms);
  }

  // Polls until `count` replies came, each poll answered within pollMs and
  // never "6"; fails when none comes for stallMs. The replies, with the
  // longest wait for an answer as `longestPoll`.
  async collect(count, { stallMs = 10000, pollMs, connection } = {}) {
    const got = Object.assign([], { longestPoll: 0 });
    for (let last = Date.now(); got.length < count;) {
      const sent = Date.now();
      const { body } = await this.get(connection, pollMs);
      got.longestPoll = Math.max(got.longestPoll, Date.now() - sent);
      assert.notEqual(body, '1:6', `the session closed after ${got.length} replies`);
      const more = replies(body);
      if (more.length) last = Date.now();
      else if (Date.now() - last > stallMs) {
        throw new Error(`${got.length} replies of ${count}, none for ${stallMs} ms`);
      }
      got.push(...more);
    }
    return got;
  }

  async post(body, connection, ms) {
    const answer = await this.ask('POST', body, connection, ms);
    assert.equal(answer.body, 'ok');
    assert.match(answer.headers['content-type'], /^text\/html\b/);
  }

  // Polls until a reply comes.
  async reply(connection, ms = 5000) {
    for (const deadline = Date.now() + ms; Date.now() < deadline;) {
      const got = replies((await this.get(connection, ms)).body);
      if (got.length) return got[0];
    }
    throw new Error(`no reply within ${ms} ms`);
  }

  async request(name, data, connection) {
    await this.post(event(name, data), connection);
    return this.reply(connection);
  }

  // Leaves by its close packet: the next page is welcome at once.
  async leave(connection = this.connection) {
    await this.post(record(1), connection);
    if (connection.end) connection.end();
  }
}

// The next page, opened again and again until the agent lets it in, then
// served an event and gone again: it must be served within ms of `since`.
async function nextPageServed(agent, what, ms, since = Date.now()) {
  for (;;) {
    const page = await RawPage.connect(agent);
    if (page) {
      assert.deepEqual(await page.request('zimracert_getExternalDrive', {}), h.DRIVES);
      await page.leave();
      const took = Date.now() - since;
      assert.ok(took <= ms, `${what}: the next page was served after ${took} ms`);
      return took;
    }
    if (Date.now() - since > ms) throw new Error(`${what}: the next page was not let in within ${ms} ms`);
    await h.sleep(100);
  }
}

module.exports = { Connection, RawPage, POLLING, assertRefused, event, nextPageServed, open, record, replies };
