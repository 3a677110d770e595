'use strict';
// The end-to-end tests' common ground: a temporary NPKI tree made from the
// committed fixtures, the built agent started on it, the real clients (pinned
// in tests/peers), and the openssl command as the independent reader.

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const util = require('node:util');
const { createRequire } = require('node:module');

const source = path.resolve(__dirname, '../../..');
const peers = createRequire(path.join(source, 'tests/peers/package.json'));
const keys = path.join(source, 'tests/data/keys');
const certs = path.join(source, 'tests/data/npki');
const KEY_PASSWORD = 'npki-Pass1!';
const PFX_PASSWORD = 'pfx-Pass2?';
const D_PAIR = 'D:\\NPKI\\org1\\USER\\cn=name1,ou=unit1,o=org1,c=KR'; // the fixture pair's folder
const DRIVES = { call_back: 'zimracert_getExternalDrive', data: ['D:\\', 'E:\\'] };
const STOPPED = { code: 0, signal: null };

const run = (command, args, options = {}) => childProcess.execFileSync(command, args, { stdio: 'pipe', ...options });
const openssl = (...args) => run('openssl', args).toString();
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Set by CMake for an agent built with a sanitizer, whose memory figures say nothing.
const SANITIZED = process.env.ZC_E2E_SANITIZED === '1';

// Rejects when the promise takes longer than ms.
function within(ms, promise, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
  });
  return Promise.race([promise.finally(() => clearTimeout(timer)), late]);
}

const freePort = () => new Promise((resolve, reject) => {
  const server = net.createServer().on('error', reject);
  server.listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});

// A folder of its own for one test: drives C:, D: and E:, the agent copied
// in (it reads its TLS certificate beside itself), removed at exit.
class Workspace {
  constructor(agentPath) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'zc_e2e_'));
    process.on('exit', () => fs.rmSync(this.root, { recursive: true, force: true }));
    for (const dir of ['c', 'd', 'e', 'bin/cert']) fs.mkdirSync(this.host(dir), { recursive: true });
    this.agent = this.host('bin/zimracert');
    fs.copyFileSync(agentPath, this.agent);
    fs.chmodSync(this.agent, 0o755);
  }

  host(relative) {
    return path.join(this.root, relative);
  }

  // Two certificates on C:, the fixture pair on D:, E: empty; the fixture key beside each.
  putStandardTree() {
    const onC = 'c/Program Files/NPKI';
    this.putCertificate(path.join(certs, 'korean.der'), `${onC}/yessign/USER/cn=홍길동()0012345,ou=BANK`);
    this.putCertificate(path.join(certs, 'plain.der'), `${onC}/plain/USER/plain1`);
    this.putCertificate(path.join(keys, 'signCert.der'), 'd/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR');
  }

  // A certificate folder: the certificate file and the fixture key.
  putCertificate(cert, folder) {
    fs.mkdirSync(this.host(folder), { recursive: true });
    fs.copyFileSync(cert, this.host(`${folder}/signCert.der`));
    fs.copyFileSync(path.join(keys, 'signPri.seed.key'), this.host(`${folder}/signPri.key`));
  }

  // Checks that a key file the agent wrote is the fixture key under this
  // password, as the fixture tool decrypts it; returns the tool's report.
  assertFixtureKey(keyFile, password) {
    const decrypted = this.host('decrypted.der');
    const report = run('python3', [path.join(keys, 'npki_keys.py'), 'decrypt', keyFile, password, decrypted]);
    assert.equal(openssl('rsa', '-inform', 'DER', '-in', decrypted, '-noout', '-modulus'),
      openssl('rsa', '-in', path.join(keys, 'key.pem'), '-noout', '-modulus'), keyFile);
    return report.toString();
  }

  // The agent's certificate file, made by the project's script.
  makeCertificate() {
    run('bash', [path.join(source, 'scripts/make-local-cert.sh'), this.host('bin')]);
    return this.host('bin/cert/local.pem');
  }

  environment() {
    const { APPDATA, ...env } = process.env; // all but APPDATA
    return { ...env, ZIMRACERT_DRIVES: `C=${this.host('c')};D=${this.host('d')};E=${this.host('e')}`,
      HOMEDRIVE: 'C:', ProgramFiles: 'C:\\Program Files', HOME: this.host('c'), RANDFILE: this.host('seed.rnd') };
  }

  // Every regular file of the tree, relative to its root.
  files() {
    return fs.readdirSync(this.root, { recursive: true }).filter((f) => fs.statSync(this.host(f)).isFile()).sort();
  }
}

// The agent as a child process, started with a start URL (or the given
// arguments) for a port; its output is kept, and shown when a test fails.
class Agent {
  // A port of our choosing may be taken by another test's connection before
  // the agent binds it: then the agent is started again on another.
  static async start(workspace, options = {}) {
    for (let tries = 1; ; tries += 1) {
      try {
        return await Agent.startOnce(workspace, options);
      } catch (error) {
        if (!error.portTaken || options.port || tries === 5) throw error;
        Agent.started.pop();
      }
    }
  }

  // `env` adds to the workspace's environment; a variable set to undefined is left out.
  static async startOnce(workspace, { tls = false, port, args, env } = {}) {
    const agent = Object.assign(new Agent(), { port: port || await freePort(), tls, stdout: '', stderr: '' });
    args = args || [`zimracert${tls ? 's' : ''}://start/?port=${agent.port}`];
    const child = childProcess.spawn(workspace.agent, args,
      { env: { ...workspace.environment(), ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    agent.child = child;
    child.stdout.on('data', (d) => { agent.stdout += d; });
    child.stderr.on('data', (d) => { agent.stderr += d; });
    agent.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    const outputEnded = new Promise((resolve) => child.on('close', resolve));
    process.on('exit', () => child.kill('SIGKILL'));
    Agent.started.push(agent);
    const listening = `binding ${agent.port} port! \n`;
    for (const deadline = Date.now() + 30000; !agent.stdout.includes(listening); await sleep(20)) {
      if (child.exitCode !== null || Date.now() > deadline) {
        if (child.exitCode !== null) await outputEnded;
        throw Object.assign(new Error(`agent did not start: ${agent.stderr}`),
          { portTaken: agent.stdout.includes('Address already in use') });
      }
    }
    return agent;
  }

  waitExit(ms) {
    return within(ms, this.exited, 'agent exit');
  }

  // Resident memory in KiB.
  rss() {
    return Number(/^VmRSS:\s*(\d+) kB$/m.exec(fs.readFileSync(`/proc/${this.child.pid}/status`, 'utf8'))[1]);
  }

  // Processor time used so far (user and system), in seconds.
  cpuSeconds() {
    const stat = fs.readFileSync(`/proc/${this.child.pid}/stat`, 'utf8');
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' '); // from the third field on
    return (Number(fields[11]) + Number(fields[12])) / 100; // utime and stime, in ticks of 10 ms
  }

  // Its open file descriptors.
  openFiles() {
    return fs.readdirSync(`/proc/${this.child.pid}/fd`).length;
  }
}
Agent.started = [];

// One page over socket.io-client 1.7.4 on the polling transport, or over the
// ws package (each message one text frame). Replies are taken in arrival
// order, each by the oldest request still waiting.
class Page {
  constructor(agent, transport) {
    [this.replies, this.waiters] = [[], []];
    if (transport === 'polling') {
      const web = require(agent.tls ? 'node:https' : 'node:http');
      this.socket = peers('socket.io-client')(`${agent.tls ? 'https' : 'http'}://127.0.0.1:${agent.port}`, {
        path: '/tessark.io', transports: ['polling'], upgrade: false, reconnection: false, forceNew: true,
        rejectUnauthorized: false, agent: new web.Agent({ keepAlive: true, rejectUnauthorized: false }) });
      this.socket.on('zimracert', (reply) => this.deliver(reply));
      this.opened = ['connect', 'connect_error'];
      this.send = (event, data) => this.socket.emit(event, data);
    } else {
      const WebSocket = peers('ws');
      this.socket = new WebSocket(`${agent.tls ? 'wss' : 'ws'}://127.0.0.1:${agent.port}/tessark.io/`
        + '?EIO=3&transport=websocket', { rejectUnauthorized: false });
      this.socket.on('message', (data, isBinary) => {
        assert.equal(isBinary, false, 'replies are text frames');
        const reply = JSON.parse(data.toString());
        assert.equal(reply.length, 2);
        assert.equal(reply[0], 'zimracert');
        this.deliver(reply[1]);
      });
      this.opened = ['open', 'error'];
      this.send = (event, data) => this.socket.send(JSON.stringify([event, data]));
    }
  }

  // A page once connected.
  static async open(agent, transport = 'websocket') {
    const page = new Page(agent, transport);
    await within(10000, new Promise((resolve, reject) => {
      page.socket.once(page.opened[0], resolve);
      page.socket.once(page.opened[1], reject);
    }), 'connect');
    return page;
  }

  close() {
    this.socket.close();
  }

  deliver(reply) {
    (this.waiters.shift() || ((r) => this.replies.push(r)))(reply);
  }

  // Sends one event and waits for the next reply: {call_back, data}.
  request(event, data) {
    this.send(event, data);
    if (this.replies.length) return Promise.resolve(this.replies.shift());
    return within(20000, new Promise((resolve) => this.waiters.push(resolve)), event);
  }
}

// The event name with the case of its letters flipped by the bits of n. The
// agent takes names in any case and its reply carries the name as sent: each
// reply tells which event it answers.
function variant(name, n) {
  const flip = (c) => (c === c.toLowerCase() ? c.toUpperCase() : c.toLowerCase());
  let bit = 0;
  return name.replace(/[a-z]/gi, (c) => ((n >> bit++) & 1 ? flip(c) : c));
}

// Replies against those expected, in order: the count, and the first that differs.
function assertInOrder(got, expected, what) {
  const wrong = expected.findIndex((reply, i) => !util.isDeepStrictEqual(got[i], reply));
  assert.ok(wrong < 0 && got.length === expected.length, `${what}: ${got.length} replies of ${expected.length}`
    + (wrong < 0 ? '' : `, the first wrong at ${wrong}: ${JSON.stringify(got[wrong])}`));
}

// Waits until count() (maybe async) reaches total; fails when it stays put
// for stallMs, or after ms in all. Resolves with the time taken.
async function awaitCount(what, total, count, { stallMs = 10000, ms = 60000 } = {}) {
  const started = Date.now();
  for (let last = started, seen = -1, now; (now = await count()) < total; await sleep(50)) {
    if (now !== seen) [seen, last] = [now, Date.now()];
    if (Date.now() - last > stallMs || Date.now() - started > ms) {
      throw new Error(`${what}: ${now} replies of ${total}, ${Date.now() - last > stallMs
        ? `none for ${stallMs} ms` : `after ${ms} ms`}`);
    }
  }
  return Date.now() - started;
}

// A certificate as the openssl command reads it: SHA-1 and MD5 fingerprints
// in the agent's form and the subject's common name.
function opensslReading(derFile) {
  const read = (...args) => openssl('x509', '-inform', 'DER', '-in', derFile, '-noout', ...args);
  const fingerprint = (digest) => read('-fingerprint', `-${digest}`).trim().split('=')[1].replace(/:/g, '');
  const cn = /\n\s*CN=(.*)/.exec(read('-subject', '-nameopt', 'utf8,sname,sep_multiline'));
  return { sha1: fingerprint('sha1'), md5: fingerprint('md5'), cn: cn ? cn[1] : undefined };
}

// A PKCS#12 of the fixture key under a certificate with this subject, as
// Base64 text with line feeds; its keys derived with `iterations` rounds.
function makePfx(subject, iterations = 2048) {
  const key = path.join(keys, 'key.pem');
  const cert = run('openssl', ['req', '-new', '-x509', '-utf8', '-key', key, '-days', '30', '-subj', subject]);
  const pfx = run('openssl', ['pkcs12', '-export', '-inkey', key, '-iter', String(iterations),
    '-passout', `pass:${PFX_PASSWORD}`], { input: cert });
  return run('openssl', ['base64'], { input: pfx }).toString();
}

// Headless Chromium, and a server on another loopback port of the browser
// build of socket.io-client (/socket.io.js), of the given pages (path to
// HTML) and, at any other path, of a blank page that carries that script;
// `tab(url)` opens one, the blank page by default.
async function chromium(pages = {}) {
  const socketIo = fs.readFileSync(path.join(source, 'tests/peers/node_modules/socket.io-client/dist/socket.io.js'));
  const blank = '<!DOCTYPE html><meta charset="utf-8"><script src="/socket.io.js"></script>';
  const server = http.createServer((request, response) => {
    const where = new URL(request.url, 'http://host').pathname;
    const script = where === '/socket.io.js';
    response.writeHead(200, { 'Content-Type': script ? 'application/javascript' : 'text/html; charset=utf-8' });
    response.end(script ? socketIo : pages[where] || blank);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const browser = await peers('puppeteer-core').launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu'] }); // a profile of its own, removed on close
  return {
    async tab(url = '/') {
      const tab = await browser.newPage();
      // A page that polls over JSONP from the start holds back its load event.
      await tab.goto(`http://127.0.0.1:${server.address().port}${url}`, { waitUntil: 'domcontentloaded' });
      return tab;
    },
    async close() {
      await browser.close();
      server.close();
    },
  };
}

// Runs the checks on a fresh workspace for the agent named first on the
// command line; the process fails at the first failure, with the agents' output.
async function main(steps) {
  const [agentPath, ...args] = process.argv.slice(2);
  try {
    assert.ok(agentPath, `usage: node ${path.basename(process.argv[1])} AGENT ...`);
    await steps(new Workspace(agentPath), ...args);
    process.exit(0);
  } catch (error) {
    console.error(error);
    for (const agent of Agent.started) {
      console.error(`--- agent on port ${agent.port}: standard output ---\n${agent.stdout}`);
      console.error(`--- standard error ---\n${agent.stderr}`);
    }
    process.exit(1);
  }
}

module.exports = { Agent, Page, Workspace, KEY_PASSWORD, PFX_PASSWORD, D_PAIR, DRIVES, SANITIZED, STOPPED, certs, keys,
  source, assertInOrder, awaitCount, chromium, peers, freePort, main, makePfx, openssl, opensslReading, run, sleep,
  variant, within };
