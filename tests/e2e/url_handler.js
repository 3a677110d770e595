'use strict';
// The URL handler script, end to end:  node url_handler.js AGENT
// scripts/register-url-handler.sh registers the agent for a fresh user, and
// xdg-open of a lower-case zimracert:// URL (as a browser hands it on)
// starts it; a page then stops it.

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./lib/harness');

const [agentPath] = process.argv.slice(2);
assert.ok(agentPath, 'usage: url_handler.js AGENT');

h.main(async () => {
  const workspace = new h.Workspace(agentPath);
  const home = workspace.host('home');
  fs.mkdirSync(home);
  // xdg-open looks for the handler only with a display named; BROWSER keeps
  // it from trying a web browser should the lookup fail.
  const env = { ...workspace.environment(), HOME: home, DISPLAY: ':0', BROWSER: 'false',
    XDG_DATA_HOME: '', XDG_CONFIG_HOME: '', XDG_CURRENT_DESKTOP: '' };
  h.run('bash', [path.join(h.source, 'scripts/register-url-handler.sh'), workspace.agent], { env });
  const entry = fs.readFileSync(path.join(home, '.local/share/applications/zimracert.desktop'), 'utf8');
  assert.match(entry, new RegExp(`^Exec=${workspace.agent} %u$`, 'm'));
  for (const scheme of ['zimracert', 'zimracerts']) {
    assert.equal(h.run('xdg-mime', ['query', 'default', `x-scheme-handler/${scheme}`], { env }).toString().trim(),
      'zimracert.desktop');
  }

  const port = await h.freePort();
  const opener = childProcess.spawn('xdg-open', [`zimracert://start/?port=${port}`], { env, stdio: 'ignore' });
  const opened = new Promise((resolve) => opener.on('exit', (code) => resolve(code)));
  process.on('exit', () => opener.kill());
  const agent = { port, tls: false };
  let page;
  for (const deadline = Date.now() + 20000; ;) {
    page = new h.WebSocketClient(agent);
    try {
      await page.connect();
      break;
    } catch (error) {
      if (Date.now() > deadline) throw error;
      await h.sleep(100);
    }
  }
  assert.deepEqual(await page.request('zimracert_getExternalDrive', {}),
    { call_back: 'zimracert_getExternalDrive', data: ['D:\\', 'E:\\'] });
  page.send('zimracert_terminate', {});
  // xdg-open waits for the handler it ran: its status is the agent's.
  assert.equal(await h.within(5000, opened, 'xdg-open'), 0);
});
