'use strict';
// The README's example pages, taken out of README.md as they stand and run
// against the built agent:
//   node readme.js AGENT
// The node page lists D:, exports the fixture pair and imports it onto E:,
// then stops the agent. Its printed replies are checked with the openssl
// command and the fixture tool, and so are the files the import wrote.
//   node readme.js AGENT browser
// The browser page, served beside socket.io-client's browser build from
// another port, opened in headless Chromium: it shows the drives and the
// listing of the agent's own folder. The same page without forceJSONP never
// connects.

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const util = require('node:util');
const h = require('./lib/harness');

const execFile = util.promisify(childProcess.execFile);

// The one fenced block of the README in this language that names the file
// in its first two lines.
function examplePage(language, file) {
  const readme = fs.readFileSync(path.join(h.source, 'README.md'), 'utf8');
  const blocks = [...readme.matchAll(/^```(\w*)\n([\s\S]*?)^```$/gm)].filter(([, lang, text]) => lang === language
    && text.split('\n').slice(0, 2).some((line) => line.includes(file))).map((m) => m[2]);
  assert.equal(blocks.length, 1, `README.md holds one ${file}`);
  return blocks[0];
}

// Runs the page as the README says, for at most 20 s; resolves with what it printed.
async function runPage(file, args) {
  const env = { ...process.env, NODE_PATH: path.join(h.source, 'tests/peers/node_modules') };
  try {
    return (await execFile(process.execPath, [file, ...args], { env, timeout: 20000, killSignal: 'SIGKILL' })).stdout;
  } catch (error) {
    throw new Error(`the example page ${error.killed ? 'did not end within 20 s' : `failed (${error.code})`}; `
      + `it printed:\n${error.stdout}${error.stderr}`);
  }
}

// The lines the browser page shows.
function shown(tab) {
  return tab.evaluate(() => document.getElementById('replies').textContent.split('\n').filter(Boolean));
}

async function browserPage(workspace) {
  workspace.putStandardTree();
  const page = examplePage('html', 'page.html');
  const withoutJsonp = page.replace(/,\s*forceJSONP: true/, '');
  assert.notEqual(withoutJsonp, page, 'the page connects with forceJSONP: true');
  const agent = await h.Agent.start(workspace);
  const chromium = await h.chromium({ '/page.html': page, '/xhr.html': withoutJsonp });
  try {
    // Over XHR the browser refuses the agent's answers: only connect_error,
    // attempt after attempt.
    const xhr = await chromium.tab(`/xhr.html?port=${agent.port}`);
    await h.awaitCount('lines of the page without forceJSONP', 2, async () => (await shown(xhr)).length);
    assert.deepEqual([...new Set(await shown(xhr))], ['connect_error: xhr poll error']);
    await xhr.close();

    const tab = await chromium.tab(`/page.html?port=${agent.port}`);
    const replies = async () => (await shown(tab)).filter((line) => line.startsWith('{'));
    await h.awaitCount('the page\'s replies', 2, async () => (await replies()).length).catch(async (error) => {
      throw new Error(`${error.message}; the page shows:\n${(await shown(tab)).join('\n')}`);
    });
    const [drives, listing, ...more] = (await replies()).map(JSON.parse);
    assert.deepEqual(more, []);
    assert.deepEqual(drives, h.DRIVES);
    assert.equal(listing.call_back, 'zimracert_getCertification');
    assert.deepEqual(listing.data.map((entry) => entry['cert.fingerprint.SHA1']).sort(),
      ['korean.der', 'plain.der'].map((der) => h.opensslReading(path.join(h.certs, der)).sha1).sort());
  } finally {
    await chromium.close();
  }
}

h.main(async (workspace, kind) => {
  if (kind === 'browser') return browserPage(workspace);
  workspace.putStandardTree();
  const page = workspace.host('page.js');
  fs.writeFileSync(page, examplePage('js', 'page.js'));
  const agent = await h.Agent.start(workspace);

  const printed = await runPage(page, [String(agent.port), 'D:\\', 'E:\\', h.KEY_PASSWORD]);
  assert.deepEqual(await agent.waitExit(5000), h.STOPPED, 'the page\'s terminate stopped the agent');
  const replies = printed.trim().split('\n').map((line) => JSON.parse(line));
  assert.deepEqual(replies.map((r) => r.call_back), ['zimracert_getCertification',
    'zimracert_getExportCertificationB64', 'zimracert_ImportCertificationB64'], printed);
  const [listing, exported, imported] = replies.map((r) => r.data);

  // The listing holds the fixture pair of D:, as openssl reads its certificate.
  const fixtureCert = path.join(h.keys, 'signCert.der');
  const reading = h.opensslReading(fixtureCert);
  assert.deepEqual(listing.map((entry) => [entry['cert.fingerprint.SHA1'], entry['cert.der.path']]),
    [[reading.sha1, `D:\\${h.D_PAIR.slice(2)}\\signCert.der`]], 'a drive\'s paths begin with a doubled separator');

  // The export opens with the key's password and holds that certificate and its key.
  assert.equal(exported.SUCCESS, true, JSON.stringify(exported));
  const p12 = workspace.host('exported.p12');
  fs.writeFileSync(p12, Buffer.from(exported.CONVERT, 'base64'));
  const opened = (...args) => h.openssl('pkcs12', '-in', p12, '-legacy', '-passin', `pass:${h.KEY_PASSWORD}`, ...args);
  const piped = (args, input) => h.run('openssl', args, { input }).toString();
  const certPem = opened('-nokeys');
  assert.equal(piped(['x509', '-noout', '-fingerprint', '-sha1'], certPem),
    h.openssl('x509', '-inform', 'DER', '-in', fixtureCert, '-noout', '-fingerprint', '-sha1'));
  assert.equal(piped(['rsa', '-noout', '-modulus'], opened('-nocerts', '-nodes')),
    piped(['x509', '-noout', '-modulus'], certPem));

  // The import wrote both files under E:'s NPKI folder, the key under the same password.
  assert.deepEqual(imported, { REASON: '', SUCCESS: true });
  const folder = workspace.host('e/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR');
  assert.deepEqual(fs.readFileSync(path.join(folder, 'signCert.der')), fs.readFileSync(fixtureCert));
  workspace.assertFixtureKey(path.join(folder, 'signPri.key'), h.KEY_PASSWORD);
});
