'use strict';
// Pages in headless Chromium that leave mid-conversation:
//   node session_browser.js AGENT jsonp|websocket
// The JSONP page (socket.io-client's browser build with forceJSONP) or the
// browser's own WebSocket asks without pause; its tab is closed, or reloaded,
// at a random moment, and a new tab must be served within 5 s. The JSONP page
// keeps socket.io-client's upgrade probe on: refused, it lists over JSONP.
//   node session_browser.js AGENT burst
// The JSONP page emits 300 events at once: every one answered, in order.
//   node session_browser.js AGENT texts
// The JSONP page's texts hold line feeds and backslash-n pairs (the paths of
// a home folder /home/nancy, passwords, Base64 in lines): each is acted on as
// written, also in a burst.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib/harness');
const { RawPage } = require('./lib/rawpage');

// Runs in the page: connects, trying again while refused (for up to 10 s),
// and sends `event`. Chattering, it asks again after every reply, for ever,
// counting them in window.replies; otherwise it resolves with the first
// reply (and, over JSONP, the transport and the upgrade probe's outcome once
// the probe is over), then closes.
function talk(port, kind, event, chatter) {
  window.replies = 0;
  const started = Date.now();
  return new Promise((resolve, reject) => {
    let attempt;
    const retry = (why) => (Date.now() - started < 10000 ? setTimeout(attempt, 100) : reject(new Error(why)));
    const answered = (reply, ask, finish) => {
      window.replies += 1;
      return chatter ? ask() : finish(reply);
    };
    attempt = () => {
      if (kind === 'jsonp') {
        const socket = io(`http://127.0.0.1:${port}`, { path: '/tessark.io', forceJSONP: true, reconnection: false,
          forceNew: true });
        let probe;
        socket.io.on('open', () => {
          socket.io.engine.on('upgradeError', () => { probe = 'refused'; });
          socket.io.engine.on('upgrade', () => { probe = 'upgraded'; });
        });
        const ask = () => socket.emit(event, {});
        const finish = (reply) => {
          if (!probe && Date.now() - started < 10000) return setTimeout(finish, 50, reply);
          resolve({ reply, transport: socket.io.engine.transport.name, probe });
          return socket.close();
        };
        socket.on('connect', ask);
        socket.on('connect_error', () => {
          socket.close();
          retry('refused');
        });
        socket.on('zimracert', (reply) => answered(reply, ask, finish));
      } else {
        const ws = new WebSocket(`ws://127.0.0.1:${port}/tessark.io/?EIO=3&transport=websocket`);
        const ask = () => ws.send(JSON.stringify([event, {}]));
        let opened = false;
        ws.onopen = () => {
          opened = true;
          ask();
        };
        ws.onclose = () => opened || retry('refused');
        ws.onmessage = (message) => answered(JSON.parse(message.data)[1], ask, (reply) => {
          resolve({ reply });
          ws.close();
        });
      }
    };
    attempt();
  });
}

// Runs in the page: connects over JSONP; replies gather in window.got.
function openJsonp(port) {
  window.got = [];
  window.socket = io(`http://127.0.0.1:${port}`, { path: '/tessark.io', transports: ['polling'], forceJSONP: true,
    upgrade: false, reconnection: false, forceNew: true });
  window.socket.on('zimracert', (reply) => window.got.push(reply));
  return new Promise((resolve, reject) => {
    window.socket.on('connect', resolve);
    window.socket.on('connect_error', (e) => reject(new Error(`connect_error ${e}`)));
  });
}

// Runs in the page: emits every event at once (the first goes alone, the
// rest in the next POST).
function emitAll(events) {
  events.forEach(([name, data]) => window.socket.emit(name, data));
}

// Emits the events at once from the page and waits for their replies, in
// order; resolves with them and the time taken.
async function burst(tab, events, what) {
  const before = await tab.evaluate(() => window.got.length);
  await tab.evaluate(emitAll, events);
  const took = await h.awaitCount(what, before + events.length, () => tab.evaluate(() => window.got.length));
  return { replies: (await tab.evaluate(() => window.got)).slice(before), took };
}

async function burstOfJsonp(agent, chromium) {
  // The D: listing and the drives by turns; the listing as a raw page gets
  // it, which then leaves.
  const raw = await RawPage.connect(agent);
  const listing = ['zimracert_getCertification', { external: 'D:\\' }];
  const kinds = [[...listing, (await raw.request(...listing)).data], ['zimracert_getExternalDrive', {}, h.DRIVES.data]];
  await raw.leave();
  const events = Array.from({ length: 300 }, (_, i) => [h.variant(kinds[i % 2][0], i >> 1), kinds[i % 2][1]]);
  const tab = await chromium.tab();
  await tab.evaluate(openJsonp, agent.port);
  const what = '300 events emitted at once over JSONP';
  const { replies, took } = await burst(tab, events, what);
  h.assertInOrder(replies, events.map(([call_back], i) => ({ call_back, data: kinds[i % 2][2] })), what);
  console.log(`${what}: all answered in order within ${took} ms`);
  await tab.close();
}

// The own folder of a user whose home is /home/nancy: its paths hold
// backslash-n, which the JSONP transport escapes.
const NANCY = 'C:\\home\\nancy\\NPKI\\org1\\USER\\cn=name1,ou=unit1,o=org1,c=KR';
// A line feed, a backslash-n pair, and a backslash before a line feed.
const LF_PASSWORD = 'line\nfeed \\n \\\n.';

async function textsOverJsonp(workspace, chromium) {
  const fixtureCert = path.join(h.keys, 'signCert.der');
  workspace.putCertificate(fixtureCert, 'c/home/nancy/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR');
  const agent = await h.Agent.start(workspace, { env: { HOME: '/home/nancy', ProgramFiles: undefined } });
  const tab = await chromium.tab();
  await tab.evaluate(openJsonp, agent.port);
  const ask = async (event, data) => (await burst(tab, [[event, data]], event)).replies[0].data;

  // List the own folder, export with the key's password, import the export
  // onto E: as Base64 wrapped at 64 columns.
  const listing = await ask('zimracert_getCertification', {});
  assert.deepEqual(listing.map((r) => [r['cert.der.path'], r['cert.key.path'], r['cert.fingerprint.SHA1']]),
    [[`${NANCY}\\signCert.der`, `${NANCY}\\signPri.key`, h.opensslReading(fixtureCert).sha1]]);
  const ownExport = { certPath: listing[0]['cert.der.path'], keyPath: listing[0]['cert.key.path'],
    certPassword: h.KEY_PASSWORD };
  const exported = await ask('zimracert_getExportCertificationB64', ownExport);
  assert.equal(exported.SUCCESS, true, JSON.stringify(exported));
  const wrapped = `${exported.CONVERT.match(/.{1,64}/g).join('\n')}\n`;
  assert.deepEqual(await ask('zimracert_ImportCertificationB64',
    { certFile: wrapped, certPassword: h.KEY_PASSWORD, external: 'E:\\' }), { REASON: '', SUCCESS: true });
  assert.deepEqual(fs.readFileSync(workspace.host('e/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR/signCert.der')),
    fs.readFileSync(fixtureCert));

  // A PKCS#12 made by openssl under a password of line feeds and
  // backslash-n pairs, imported onto D:: the key written opens with that
  // password, as the fixture tool reads it.
  const certPem = h.openssl('x509', '-inform', 'DER', '-in', fixtureCert);
  const pfx = h.run('openssl', ['pkcs12', '-export', '-inkey', path.join(h.keys, 'key.pem'), '-passout',
    'env:ZC_PASSWORD'], { input: certPem, env: { ...process.env, ZC_PASSWORD: LF_PASSWORD } });
  assert.deepEqual(await ask('zimracert_ImportCertificationB64', { certFile: h.run('openssl', ['base64'],
    { input: pfx }).toString(), certPassword: LF_PASSWORD, external: 'D:\\' }), { REASON: '', SUCCESS: true });
  workspace.assertFixtureKey(workspace.host('d/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR/signPri.key'), LF_PASSWORD);

  // A burst of such texts: exports from the own folder, exports under that
  // password and under the same with its line feed written as backslash-n,
  // and drives asked with an argument of such texts.
  const dExport = { certPath: `${h.D_PAIR}\\signCert.der`, keyPath: `${h.D_PAIR}\\signPri.key` };
  const made = { CONVERT: 'a PKCS#12', REASON: '', SUCCESS: true };
  const kinds = [['zimracert_getExportCertificationB64', ownExport, made],
    ['zimracert_getExportCertificationB64', { ...dExport, certPassword: LF_PASSWORD }, made],
    ['zimracert_getExportCertificationB64', { ...dExport, certPassword: LF_PASSWORD.replace('\n', '\\n') },
      { REASON: -9997, SUCCESS: false }],
    ['zimracert_getExternalDrive', { [NANCY]: LF_PASSWORD }, h.DRIVES.data]];
  const events = Array.from({ length: 40 }, (_, i) => [h.variant(kinds[i % 4][0], i >> 2), kinds[i % 4][1]]);
  const what = '40 events with line feeds and backslash-n pairs emitted at once over JSONP';
  const { replies, took } = await burst(tab, events, what);
  const anyPkcs12 = (data) => (data.CONVERT ? { ...data, CONVERT: made.CONVERT } : data);
  h.assertInOrder(replies.map((r) => ({ ...r, data: anyPkcs12(r.data) })),
    events.map(([call_back], i) => ({ call_back, data: kinds[i % 4][2] })), what);
  console.log(`${what}: all answered in order within ${took} ms`);
  await tab.close();
}

h.main(async (workspace, kind) => {
  assert.ok(['jsonp', 'websocket', 'burst', 'texts'].includes(kind),
    'usage: session_browser.js AGENT jsonp|websocket|burst|texts');
  const chromium = await h.chromium();
  if (kind === 'texts') return textsOverJsonp(workspace, chromium).finally(() => chromium.close());
  workspace.putStandardTree();
  const agent = await h.Agent.start(workspace);
  try {
    if (kind === 'burst') return await burstOfJsonp(agent, chromium);
    if (kind === 'jsonp') {
      const tab = await chromium.tab();
      const { reply, transport, probe } = await tab.evaluate(talk, agent.port, kind, 'zimracert_getCertification');
      assert.equal(reply.call_back, 'zimracert_getCertification');
      assert.deepEqual(reply.data.map((r) => r['cert.subjectname.CN']).sort(), ['plain1', '홍길동()0012345']);
      assert.deepEqual({ transport, probe }, { transport: 'polling', probe: 'refused' });
      await tab.close();
    }

    for (let round = 0; round < 3; round += 1) {
      for (const leave of ['close', 'reload']) {
        const tab = await chromium.tab();
        tab.evaluate(talk, agent.port, kind, 'zimracert_getExternalDrive', true).catch(() => {}); // ends with the page
        await tab.waitForFunction(() => window.replies >= 3, { timeout: 10000 });
        await h.sleep(Math.random() * 500);
        const left = Date.now();
        await tab[leave]();
        const next = await chromium.tab();
        const { reply } = await next.evaluate(talk, agent.port, kind, 'zimracert_getExternalDrive');
        const took = Date.now() - left;
        assert.deepEqual(reply, h.DRIVES);
        assert.ok(took <= 5000, `after a tab's ${leave}, the next page was served after ${took} ms`);
        console.log(`${kind} tab's ${leave}: the next page served after ${took} ms`);
        await next.close();
        if (leave === 'reload') await tab.close();
      }
    }
  } finally {
    await chromium.close();
  }
});
