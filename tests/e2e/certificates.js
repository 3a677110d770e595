'use strict';
// A page's conversation with the built agent through a real client:
//   node certificates.js AGENT polling|websocket [tls]
// socket.io-client 1.7.4 or ws: list (checked against the openssl command),
// drives, export (opened by openssl pkcs12), import to another drive (the key
// read by the fixture tool), the refusals, and terminate.
//   node certificates.js AGENT chromium-jsonp|chromium-websocket
// Headless Chromium, on a page served from another loopback port, with the
// browser build of socket.io-client and forceJSONP or with the browser's own
// WebSocket: list and terminate.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib/harness');

// The standard tree's folders on C:.
const ON_C = ['C:\\Program Files\\NPKI\\yessign\\USER\\cn=홍길동()0012345,ou=BANK',
  'C:\\Program Files\\NPKI\\plain\\USER\\plain1'];

function checkRecords(workspace, records, expectedFolders) {
  assert.ok(Array.isArray(records), `a list of records: ${JSON.stringify(records)}`);
  assert.deepEqual(records.map((r) => r['cert.der.path']).sort(),
    expectedFolders.map((f) => `${f}\\signCert.der`).sort());
  for (const record of records) {
    const reading = h.opensslReading(workspace.host(record['cert.der.path']
      .replace(/^([A-Z]):\\/, (_, d) => `${d.toLowerCase()}/`).replace(/\\/g, '/')));
    assert.equal(record['cert.fingerprint.SHA1'], reading.sha1);
    assert.equal(record['cert.fingerprint.MD5'], reading.md5);
    assert.equal(record['cert.subjectname.CN'], reading.cn);
    assert.equal(record['cert.key.path'], record['cert.der.path'].replace('signCert.der', 'signPri.key'));
  }
}

// The standard tree's listing: the records agree with openssl's reading, Korean name intact.
function checkListing(workspace, reply) {
  assert.equal(reply.call_back, 'zimracert_getCertification');
  checkRecords(workspace, reply.data, ON_C);
  assert.ok(reply.data.some((r) => r['cert.subjectname.CN'] === '홍길동()0012345'));
}

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

async function inChromium(workspace, agent, kind) {
  const chromium = await h.chromium();
  let result;
  try {
    result = await (await chromium.tab()).evaluate(converse, agent.port, kind);
    assert.deepEqual(await agent.waitExit(5000), h.STOPPED, 'the page\'s terminate stopped the agent');
  } finally {
    await chromium.close();
  }
  if (kind === 'jsonp') assert.match(String(result.j), /^\d+$/, 'the JSONP transport carried the page');
  checkListing(workspace, result.reply);
}

h.main(async (workspace, transport, security) => {
  assert.ok(['polling', 'websocket', 'chromium-jsonp', 'chromium-websocket'].includes(transport),
    'usage: certificates.js AGENT polling|websocket [tls] | chromium-jsonp|chromium-websocket');
  const tls = security === 'tls';
  workspace.putStandardTree();
  const certificate = tls && workspace.makeCertificate();
  const agent = await h.Agent.start(workspace, { tls });
  if (transport.startsWith('chromium-')) return inChromium(workspace, agent, transport.slice('chromium-'.length));
  const page = await h.Page.open(agent, transport);

  if (tls) {
    // The agent presents the certificate of its file.
    const served = h.run('sh', ['-c', `openssl s_client -connect 127.0.0.1:${agent.port} </dev/null 2>/dev/null `
      + '| openssl x509 -noout -fingerprint -sha256']).toString();
    assert.equal(served, h.openssl('x509', '-in', certificate, '-noout', '-fingerprint', '-sha256'));
  }

  let reply = await page.request('zimracert_getCertification', {});
  checkListing(workspace, reply);
  assert.deepEqual(await page.request('zimracert_getExternalDrive', {}), h.DRIVES);

  // Export from D: with the key's password; the PKCS#12 holds the pair.
  const exportData = { certPath: `${h.D_PAIR}\\signCert.der`, keyPath: `${h.D_PAIR}\\signPri.key`,
    certPassword: h.KEY_PASSWORD };
  reply = await page.request('zimracert_getExportCertificationB64', exportData);
  assert.equal(reply.data.SUCCESS, true, JSON.stringify(reply));
  assert.equal(reply.data.REASON, '');
  assert.ok(!reply.data.CONVERT.includes('\n'));
  const p12 = workspace.host('exported.p12');
  fs.writeFileSync(p12, Buffer.from(reply.data.CONVERT, 'base64'));
  const pass = ['-legacy', '-passin', `pass:${h.KEY_PASSWORD}`];
  const keyPem = h.openssl('pkcs12', '-in', p12, ...pass, '-nocerts', '-nodes');
  const certPem = h.openssl('pkcs12', '-in', p12, ...pass, '-nokeys');
  const piped = (args, input) => h.run('openssl', args, { input }).toString();
  assert.equal(piped(['rsa', '-noout', '-modulus'], keyPem), piped(['x509', '-noout', '-modulus'], certPem));
  assert.equal(piped(['x509', '-noout', '-fingerprint'], certPem),
    h.openssl('x509', '-inform', 'DER', '-in', path.join(h.keys, 'signCert.der'), '-noout', '-fingerprint'));

  // The refusals: wrong password, a missing member.
  reply = await page.request('zimracert_getExportCertificationB64', { ...exportData, certPassword: 'wrong' });
  assert.deepEqual(reply.data, { REASON: -9997, SUCCESS: false });
  reply = await page.request('zimracert_getExportCertificationB64', { certPath: exportData.certPath });
  assert.deepEqual(reply.data, { REASON: -9999, SUCCESS: false });

  // Import the fixture PKCS#12 (line feeds and all) to E:, then list it there.
  const pfx = h.openssl('base64', '-in', path.join(h.keys, 'aes.p12'));
  reply = await page.request('zimracert_ImportCertificationB64', { certFile: pfx, certPassword: h.PFX_PASSWORD,
    external: 'E:\\' });
  assert.deepEqual(reply, { call_back: 'zimracert_ImportCertificationB64', data: { REASON: '', SUCCESS: true } });
  const imported = workspace.host('e/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR/signPri.key');
  const report = workspace.assertFixtureKey(imported, h.PFX_PASSWORD);
  assert.match(report, /^seed /);
  reply = await page.request('zimracert_getCertification', { external: 'E:\\' });
  checkRecords(workspace, reply.data, ['E:\\\\NPKI\\org1\\USER\\cn=name1,ou=unit1,o=org1,c=KR']);

  // Names from a crafted certificate never leave the NPKI folder.
  const before = workspace.files();
  for (const [subject, reason] of [['/C=KR/O=..\\/x/CN=a', -9997], ['/C=KR/O=org/CN=..\\/..\\/y', -9995]]) {
    reply = await page.request('zimracert_ImportCertificationB64', {
      certFile: h.makePfx(subject), certPassword: h.PFX_PASSWORD, external: 'E:\\' });
    assert.deepEqual(reply.data, { REASON: reason, SUCCESS: false }, subject);
  }
  assert.deepEqual(workspace.files(), before);

  // Terminate: no reply, the agent ends with status 0 within 2 seconds.
  const started = Date.now();
  page.send('zimracert_terminate', {});
  assert.deepEqual(await agent.waitExit(3000), h.STOPPED);
  assert.ok(Date.now() - started < 2000, `stopped after ${Date.now() - started} ms`);
  page.close();
});
