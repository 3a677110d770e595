'use strict';
// A real browser page talks to the built agent:
//   node browser.js AGENT jsonp|websocket
// Headless Chromium opens a page served here on another loopback port. The
// "jsonp" page uses the browser build of socket.io-client 1.7.4 with
// forceJSONP, the "websocket" page the browser's own WebSocket. Each lists the
// certificates into its DOM and then stops the agent; the DOM is checked
// against the openssl command's reading of the same files.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const h = require('./lib/harness');

const [agentPath, kind] = process.argv.slice(2);
assert.ok(agentPath && ['jsonp', 'websocket'].includes(kind), 'usage: browser.js AGENT jsonp|websocket');

const socketIo = path.join(h.source, 'tests/peers/node_modules/socket.io-client/dist/socket.io.js');

// The page's own part: it connects, lists, shows and stops the agent.
function pageScript(port) {
  const show = `
    function show(reply) {
      var list = document.getElementById('certs');
      (reply.data || []).forEach(function (r) {
        var item = document.createElement('li');
        item.textContent = r['cert.subjectname.CN'] + ' ' + r['cert.fingerprint.SHA1'];
        list.appendChild(item);
      });
      document.getElementById('status').textContent = 'listed ' + reply.call_back;
    }`;
  if (kind === 'jsonp') {
    return `${show}
    var socket = io('http://127.0.0.1:${port}', { path: '/tessark.io', transports: ['polling'],
      forceJSONP: true, upgrade: false, reconnection: false });
    socket.on('connect', function () {
      // The JSONP transport names its script callback in the query key "j".
      var query = socket.io.engine.transport.query;
      document.getElementById('transport').textContent = query.j !== undefined ? 'jsonp ' + query.j : 'xhr';
      socket.emit('zimracert_getCertification', {});
    });
    socket.on('zimracert', function (reply) { show(reply); socket.emit('zimracert_terminate', {}); });
    socket.on('connect_error', function (e) { document.getElementById('status').textContent = 'error ' + e; });`;
  }
  return `${show}
    var ws = new WebSocket('ws://127.0.0.1:${port}/tessark.io/?EIO=3&transport=websocket');
    ws.onopen = function () { ws.send(JSON.stringify(['zimracert_getCertification', {}])); };
    ws.onmessage = function (event) {
      var reply = JSON.parse(event.data);
      show(reply[1]);
      ws.send(JSON.stringify(['zimracert_terminate', {}]));
    };
    ws.onerror = function () { document.getElementById('status').textContent = 'error'; };`;
}

function servePage(agentPort) {
  const html = `<!DOCTYPE html><html><head><meta charset="utf-8"><title>agent page</title>
    ${kind === 'jsonp' ? '<script src="/socket.io.js"></script>' : ''}</head>
    <body><ul id="certs"></ul><p id="transport"></p><p id="status">waiting</p><script>${pageScript(agentPort)}</script></body></html>`;
  const server = http.createServer((request, response) => {
    if (request.url === '/socket.io.js') {
      response.writeHead(200, { 'Content-Type': 'application/javascript' });
      response.end(fs.readFileSync(socketIo));
    } else if (request.url === '/') {
      response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      response.end(html);
    } else {
      response.writeHead(404);
      response.end();
    }
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

h.main(async () => {
  const workspace = new h.Workspace(agentPath);
  workspace.putStandardTree();
  const agent = await h.Agent.start(workspace);
  const server = await servePage(agent.port);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zc_chromium_'));
  process.on('exit', () => fs.rmSync(profile, { recursive: true, force: true }));

  const puppeteer = h.peers('puppeteer-core');
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
  let dom;
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    await page.waitForFunction(() => document.getElementById('status').textContent !== 'waiting',
      { timeout: 30000 });
    dom = await page.content();
  } finally {
    await browser.close();
    server.close();
  }

  assert.match(dom, /<p id="status">listed zimracert_getCertification<\/p>/, dom);
  if (kind === 'jsonp') assert.match(dom, /<p id="transport">jsonp \d+<\/p>/, dom);
  const shown = [...dom.matchAll(/<li>([^<]*)<\/li>/g)].map((m) => m[1]).sort();
  const expected = ['korean.der', 'plain.der'].map((file) => {
    const reading = h.opensslReading(path.join(h.certs, file));
    return `${reading.cn} ${reading.sha1}`;
  }).sort();
  assert.deepEqual(shown, expected);
  assert.ok(shown.some((line) => line.startsWith('홍길동()0012345 ')));

  // The page's terminate stopped the agent.
  assert.deepEqual(await agent.waitExit(5000), { code: 0, signal: null });
});
