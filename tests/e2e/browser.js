'use strict';
// A real browser page talks to the built agent:  node browser.js AGENT jsonp|websocket
// Headless Chromium opens a page served here on another loopback port: "jsonp"
// uses the browser build of socket.io-client 1.7.4 with forceJSONP,
// "websocket" the browser's own WebSocket. Each lists the certificates
// (checked against the openssl command's reading) and stops the agent.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const h = require('./lib/harness');

// The page's conversation, run in the browser: the listing's reply, and the
// JSONP transport's script callback number (its query key "j").
function converse(port, kind) {
  return new Promise((resolve, reject) => {
    setTimeout(() => reject(new Error('no reply within 30 s')), 30000);
    if (kind === 'jsonp') {
      const socket = io(`http://127.0.0.1:${port}`, { path: '/tessark.io', transports: ['polling'], forceJSONP: true,
        upgrade: false, reconnection: false });
      socket.on('connect', () => socket.emit('zimracert_getCertification', {}));
      socket.on('zimracert', (reply) => {
        socket.emit('zimracert_terminate', {});
        resolve({ reply, j: socket.io.engine.transport.query.j });
      });
      socket.on('connect_error', (e) => reject(new Error(`connect_error ${e}`)));
    } else {
      const ws = new WebSocket(`ws://127.0.0.1:${port}/tessark.io/?EIO=3&transport=websocket`);
      ws.onopen = () => ws.send(JSON.stringify(['zimracert_getCertification', {}]));
      ws.onmessage = (event) => {
        ws.send(JSON.stringify(['zimracert_terminate', {}]));
        resolve({ reply: JSON.parse(event.data)[1] });
      };
      ws.onerror = () => reject(new Error('WebSocket error'));
    }
  });
}

h.main(async (workspace, kind) => {
  assert.ok(['jsonp', 'websocket'].includes(kind), 'usage: browser.js AGENT jsonp|websocket');
  workspace.putStandardTree();
  const agent = await h.Agent.start(workspace);
  const socketIo = fs.readFileSync(path.join(h.source, 'tests/peers/node_modules/socket.io-client/dist/socket.io.js'));
  const server = http.createServer((request, response) => {
    const script = request.url === '/socket.io.js';
    response.writeHead(200, { 'Content-Type': script ? 'application/javascript' : 'text/html; charset=utf-8' });
    response.end(script ? socketIo : '<!DOCTYPE html><meta charset="utf-8"><script src="/socket.io.js"></script>');
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zc_chromium_'));
  process.on('exit', () => fs.rmSync(profile, { recursive: true, force: true }));

  const browser = await h.peers('puppeteer-core').launch({ executablePath: '/usr/bin/chromium', headless: true,
    userDataDir: profile, args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run'] });
  let result;
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    result = await page.evaluate(converse, agent.port, kind);
    // The page's terminate stopped the agent.
    assert.deepEqual(await agent.waitExit(5000), h.STOPPED);
  } finally {
    await browser.close();
    server.close();
  }

  if (kind === 'jsonp') assert.match(String(result.j), /^\d+$/, 'the JSONP transport carried the page');
  assert.equal(result.reply.call_back, 'zimracert_getCertification');
  const shown = result.reply.data.map((r) => `${r['cert.subjectname.CN']} ${r['cert.fingerprint.SHA1']}`);
  const expected = ['korean.der', 'plain.der'].map((file) => {
    const reading = h.opensslReading(path.join(h.certs, file));
    return `${reading.cn} ${reading.sha1}`;
  });
  assert.deepEqual(shown.sort(), expected.sort());
  assert.ok(shown.some((line) => line.startsWith('홍길동()0012345 ')));
});
