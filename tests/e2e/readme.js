'use strict';
// The README's example page, taken out of README.md as it stands and run
// with node against the built agent:
//   node readme.js AGENT
// It lists D:, exports the fixture pair and imports it onto E:, then stops
// the agent. Its printed replies are checked with the openssl command and
// the fixture tool, and so are the files the import wrote.

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const util = require('node:util');
const h = require('./lib/harness');

const execFile = util.promisify(childProcess.execFile);

// The one fenced JavaScript block of the README that begins "// page.js".
function examplePage() {
  const readme = fs.readFileSync(path.join(h.source, 'README.md'), 'utf8');
  const blocks = [...readme.matchAll(/^```js\n(\/\/ page\.js[\s\S]*?)^```$/gm)].map((m) => m[1]);
  assert.equal(blocks.length, 1, 'README.md holds one example page');
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

h.main(async (workspace) => {
  workspace.putStandardTree();
  const page = workspace.host('page.js');
  fs.writeFileSync(page, examplePage());
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
  const decrypted = workspace.host('decrypted.der');
  h.run('python3', [path.join(h.keys, 'npki_keys.py'), 'decrypt', path.join(folder, 'signPri.key'), h.KEY_PASSWORD,
    decrypted]);
  assert.equal(h.openssl('rsa', '-inform', 'DER', '-in', decrypted, '-noout', '-modulus'),
    h.openssl('rsa', '-in', path.join(h.keys, 'key.pem'), '-noout', '-modulus'));
});
