'use strict';
// The end-to-end tests' common ground: a temporary NPKI tree made from the
// committed fixtures, the built agent started on it, the real clients (pinned
// in tests/peers), and the openssl command as the independent reader.

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { createRequire } = require('node:module');

const source = path.resolve(__dirname, '../../..');
const peers = createRequire(path.join(source, 'tests/peers/package.json'));
const keys = path.join(source, 'tests/data/keys');
const certs = path.join(source, 'tests/data/npki');
const KEY_PASSWORD = 'npki-Pass1!';
const PFX_PASSWORD = 'pfx-Pass2?';
// The pass phrase of the agent's certificate file.
const CERT_PASS_PHRASE = '61937';

function run(command, args, options = {}) {
  return childProcess.execFileSync(command, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
}

function openssl(...args) {
  return run('openssl', args).toString();
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Rejects when the promise takes longer than ms.
function within(ms, promise, what) {
  let timer;
  return Promise.race([
    promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
    }),
  ]);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A folder of its own for one test: drives C:, D: and E:, the agent copied
// in (it reads its TLS certificate beside itself), removed at exit.
class Workspace {
  constructor(agentPath) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), 'zc_e2e_'));
    process.on('exit', () => fs.rmSync(this.root, { recursive: true, force: true }));
    for (const drive of ['c', 'd', 'e']) fs.mkdirSync(this.host(drive), { recursive: true });
    fs.mkdirSync(this.host('bin/cert'), { recursive: true });
    this.agent = this.host('bin/zimracert');
    fs.copyFileSync(agentPath, this.agent);
    fs.chmodSync(this.agent, 0o755);
  }

  host(relative) {
    return path.join(this.root, relative);
  }

  // A certificate folder: the certificate file and the fixture key.
  putPair(certFile, folder) {
    fs.mkdirSync(this.host(folder), { recursive: true });
    fs.copyFileSync(certFile, this.host(path.join(folder, 'signCert.der')));
    fs.copyFileSync(path.join(keys, 'signPri.seed.key'), this.host(path.join(folder, 'signPri.key')));
  }

  // The usual tree: two certificates on C:, the fixture pair on D:, E: empty.
  putStandardTree() {
    this.putPair(path.join(certs, 'korean.der'), 'c/Program Files/NPKI/yessign/USER/cn=홍길동()0012345,ou=BANK');
    this.putPair(path.join(certs, 'plain.der'), 'c/Program Files/NPKI/plain/USER/plain1');
    this.putPair(path.join(keys, 'signCert.der'), 'd/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR');
  }

  // The agent's certificate file, made with the project's script when it is
  // there, else by the openssl command: RSA 2048, SHA-256, localhost and
  // 127.0.0.1, the key under the agent's pass phrase.
  makeCertificate() {
    const target = this.host('bin/cert/local.pem');
    const script = path.join(source, 'scripts/make-local-cert.sh');
    if (fs.existsSync(script)) {
      run('bash', [script, this.host('bin')]);
    } else {
      const key = this.host('bin/cert/key.pem');
      const cert = this.host('bin/cert/cert.pem');
      openssl('req', '-x509', '-newkey', 'rsa:2048', '-sha256', '-days', '30', '-subj', '/CN=localhost',
        '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1', '-passout', `pass:${CERT_PASS_PHRASE}`,
        '-keyout', key, '-out', cert);
      fs.writeFileSync(target, Buffer.concat([fs.readFileSync(cert), fs.readFileSync(key)]));
    }
    assert.ok(fs.existsSync(target), 'the certificate file was made');
    return target;
  }

  environment() {
    const env = { ...process.env };
    delete env.APPDATA;
    return {
      ...env,
      ZIMRACERT_DRIVES: `C=${this.host('c')};D=${this.host('d')};E=${this.host('e')}`,
      HOMEDRIVE: 'C:',
      ProgramFiles: 'C:\\Program Files',
      HOME: this.host('c'),
      RANDFILE: this.host('seed.rnd'),
    };
  }

  // Every regular file of the tree, relative to its root.
  files(relative = '') {
    const out = [];
    const walk = (dir) => {
      for (const entry of fs.readdirSync(this.host(dir), { withFileTypes: true })) {
        const name = path.join(dir, entry.name);
        if (entry.isDirectory()) walk(name);
        else out.push(name);
      }
    };
    walk(relative);
    return out.sort();
  }
}

// The agent as a child process; its output is kept for the checks and
// shown when a test fails.
class Agent {
  constructor(workspace, args) {
    this.stdout = '';
    this.stderr = '';
    this.child = childProcess.spawn(workspace.agent, args, {
      env: workspace.environment(),
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    this.child.stdout.on('data', (d) => { this.stdout += d; });
    this.child.stderr.on('data', (d) => { this.stderr += d; });
    this.exited = new Promise((resolve) => {
      this.child.on('exit', (code, signal) => resolve({ code, signal }));
    });
    process.on('exit', () => this.child.kill('SIGKILL'));
    Agent.started.push(this);
  }

  static async start(workspace, { tls = false, port } = {}) {
    port = port || await freePort();
    const scheme = tls ? 'zimracerts' : 'zimracert';
    const agent = new Agent(workspace, [`${scheme}://start/?port=${port}`]);
    agent.port = port;
    agent.tls = tls;
    await agent.listening();
    return agent;
  }

  async listening() {
    const deadline = Date.now() + 30000;
    while (!this.stdout.includes(`binding ${this.port} port! \n`)) {
      if (this.child.exitCode !== null || Date.now() > deadline) {
        throw new Error(`agent did not start: ${this.stdout} ${this.stderr}`);
      }
      await sleep(20);
    }
  }

  // Exit status as the shell sees it (-1 becomes 255).
  async waitExit(ms) {
    return within(ms, this.exited, 'agent exit');
  }

  get url() {
    return `${this.tls ? 'https' : 'http'}://127.0.0.1:${this.port}`;
  }
}

// What both clients share: replies in arrival order, each to the oldest
// waiter, and a request that sends one event and waits for the next reply.
class Page {
  constructor() {
    this.replies = [];
    this.waiters = [];
  }

  deliver(reply) {
    const waiter = this.waiters.shift();
    if (waiter) waiter(reply);
    else this.replies.push(reply);
  }

  // The next reply: {call_back, data}.
  next(what) {
    if (this.replies.length) return Promise.resolve(this.replies.shift());
    return within(20000, new Promise((resolve) => this.waiters.push(resolve)), what);
  }

  async request(event, data) {
    await this.send(event, data);
    return this.next(event);
  }
}

// One page over socket.io-client 1.7.4 on the polling transport.
class PollingClient extends Page {
  constructor(agent) {
    super();
    const io = peers('socket.io-client');
    const web = agent.tls ? require('node:https') : require('node:http');
    this.socket = io(agent.url, {
      path: '/tessark.io',
      transports: ['polling'],
      upgrade: false,
      reconnection: false,
      forceNew: true,
      rejectUnauthorized: false,
      agent: new web.Agent({ keepAlive: true, rejectUnauthorized: false }),
    });
    this.socket.on('zimracert', (reply) => this.deliver(reply));
  }

  connect() {
    return within(10000, new Promise((resolve, reject) => {
      this.socket.on('connect', resolve);
      this.socket.on('connect_error', reject);
    }), 'connect');
  }

  send(event, data) {
    this.socket.emit(event, data);
  }

  close() {
    this.socket.close();
  }
}

// One page over the ws package: each message one text frame.
class WebSocketClient extends Page {
  constructor(agent) {
    super();
    const WebSocket = peers('ws');
    const scheme = agent.tls ? 'wss' : 'ws';
    this.ws = new WebSocket(`${scheme}://127.0.0.1:${agent.port}/tessark.io/?EIO=3&transport=websocket`,
      { rejectUnauthorized: false });
    this.ws.on('message', (data, isBinary) => {
      assert.equal(isBinary, false, 'replies are text frames');
      const reply = JSON.parse(data.toString());
      assert.equal(reply.length, 2);
      assert.equal(reply[0], 'zimracert');
      this.deliver(reply[1]);
    });
  }

  connect() {
    return within(10000, new Promise((resolve, reject) => {
      this.ws.once('open', resolve);
      this.ws.once('error', reject);
    }), 'connect');
  }

  send(event, data) {
    this.ws.send(JSON.stringify([event, data]));
  }

  close() {
    this.ws.close();
  }
}

// A certificate as the openssl command reads it: SHA-1 and MD5 fingerprints
// in the agent's form and the subject's common name.
function opensslReading(derFile) {
  const fingerprint = (digest) => openssl('x509', '-inform', 'DER', '-in', derFile, '-noout', '-fingerprint',
    `-${digest}`).trim().split('=')[1].replace(/:/g, '');
  const subject = openssl('x509', '-inform', 'DER', '-in', derFile, '-noout', '-subject', '-nameopt',
    'utf8,sname,sep_multiline');
  const cn = /\n\s*CN=(.*)/.exec(subject);
  return { sha1: fingerprint('sha1'), md5: fingerprint('md5'), cn: cn ? cn[1] : undefined };
}

// A PKCS#12 of the fixture key under a certificate with this subject, as
// Base64 text with line feeds.
function makePfx(workspace, subject, password = PFX_PASSWORD) {
  const cert = workspace.host('made.pem');
  const pfx = workspace.host('made.p12');
  openssl('req', '-new', '-x509', '-utf8', '-key', path.join(keys, 'key.pem'), '-days', '30', '-subj', subject,
    '-out', cert);
  openssl('pkcs12', '-export', '-in', cert, '-inkey', path.join(keys, 'key.pem'), '-passout', `pass:${password}`,
    '-out', pfx);
  const base64 = openssl('base64', '-in', pfx);
  fs.rmSync(cert);
  fs.rmSync(pfx);
  return base64;
}

// Runs the named checks in order; the process fails at the first failure.
async function main(steps) {
  try {
    await steps();
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

Agent.started = [];

module.exports = {
  Agent, PollingClient, WebSocketClient, Workspace,
  KEY_PASSWORD, PFX_PASSWORD, certs, keys, source, peers,
  freePort, main, makePfx, openssl, opensslReading, run, sleep, within,
};
