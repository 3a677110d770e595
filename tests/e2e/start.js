'use strict';
// How the built agent starts and ends:  node start.js AGENT command_line|url_handler|watchdog

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const h = require('./lib/harness');

async function stopByPage(agent, page) {
  page.send('zimracert_terminate', {});
  assert.deepEqual(await agent.waitExit(5000), h.STOPPED);
  page.close();
}

const checks = {
  // Refused start URLs end at once with status 0 and print nothing; accepted
  // ones (scheme in any case) listen on the URL's port, on loopback only.
  async command_line(workspace) {
    const port = await h.freePort();
    const options = { env: workspace.environment(), timeout: 10000 };
    for (const args of [[], [`http://x/?port=${port}`], [`zimraCert:/x/?port=${port}`], [`zimraCert://x/?Port=${port}`],
      ['zimraCert://x/?'], [`zimraCert://x?port=${port}`], ...['65534', '65535', '0', '-1', '', 'abc', '4294975296',
        '99999999999999999999'].map((p) => [`zimraCert://x/?port=${p}`])]) {
      const result = childProcess.spawnSync(workspace.agent, args, options);
      assert.equal(result.status, 0, `${args}: ${result.stderr}`);
      assert.equal(result.stdout.toString() + result.stderr.toString(), '', `${args} printed something`);
    }

    const outside = Object.values(os.networkInterfaces()).flat().find((i) => i.family === 'IPv4' && !i.internal);
    const reaches = (host, listen) => new Promise((resolve) => {
      const socket = net.connect({ host, port: listen }).on('error', () => resolve(false));
      socket.setTimeout(2000, () => { socket.destroy(); resolve(false); });
      socket.on('connect', () => { socket.destroy(); resolve(true); });
    });
    for (const pattern of [['zimraCert://start/?port=%p'],
      ['ZimraCert://start/?t=1&port=1&port=%p'], // any case; the later key wins
      ['zimraCert://start/?port=%p/'],
      ['"zimracert://start/?port=%p"'], // quoted, as some launchers pass it
      ['--flag', 'zimraCert://start/?port=%p']]) { // arguments joined by spaces
      const listen = await h.freePort();
      const agent = await h.Agent.start(workspace, { port: listen, args: pattern.map((a) => a.replace('%p', listen)) });
      assert.equal(agent.stdout, `start server! \nbinding ${listen} port! \n`);
      if (outside) assert.equal(await reaches(outside.address, listen), false, `reached on ${outside.address}`);
      await stopByPage(agent, await h.Page.open(agent));
    }

    // The highest port accepted; a port taken by another gives status -1.
    const highest = await h.Agent.start(workspace, { port: 65533, args: ['zimraCert://x/?port=65533'] });
    const taken = childProcess.spawnSync(workspace.agent, ['zimraCert://x/?port=65533'], options);
    assert.equal(taken.status, 255);
    assert.doesNotMatch(taken.stdout.toString(), /Bind port/);
    assert.match(taken.stdout.toString(), /bind/);
    highest.child.kill('SIGTERM');
    await highest.waitExit(5000);
  },

  // scripts/register-url-handler.sh registers the agent for a fresh user, and
  // xdg-open of a lower-case zimracert:// URL (as a browser hands it on) starts it.
  async url_handler(workspace) {
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
    const opened = new Promise((resolve) => opener.on('exit', resolve));
    process.on('exit', () => opener.kill());
    let page;
    for (const deadline = Date.now() + 20000; !page;) {
      page = await h.Page.open({ port, tls: false }).catch((error) => {
        if (Date.now() > deadline) throw error;
        return h.sleep(100);
      });
    }
    assert.deepEqual(await page.request('zimracert_getExternalDrive', {}), h.DRIVES);
    page.send('zimracert_terminate', {});
    // xdg-open waits for the handler it ran: its status is the agent's.
    assert.equal(await h.within(5000, opened, 'xdg-open'), 0);
  },

  // Two agents side by side: one that no page reaches ends by itself with
  // status 0 about 60 s after its start; one that a page reaches at second 50
  // keeps running after that page has gone again.
  async watchdog(workspace) {
    const started = Date.now();
    const alone = await h.Agent.start(workspace);
    const visited = await h.Agent.start(workspace);
    await h.sleep(50000 - (Date.now() - started));
    assert.equal(alone.child.exitCode, null, 'the lone agent is still waiting at second 50');
    const page = await h.Page.open(visited);
    await h.sleep(2000);
    page.close();

    const exit = await alone.waitExit(40000);
    const seconds = (Date.now() - started) / 1000;
    assert.deepEqual(exit, h.STOPPED);
    assert.ok(seconds >= 59 && seconds < 75, `the lone agent ended after ${seconds} s`);

    // Well past its own 60 seconds, the visited agent still serves.
    await h.sleep(75000 - (Date.now() - started));
    assert.equal(visited.child.exitCode, null, 'the visited agent kept running');
    const again = await h.Page.open(visited);
    assert.deepEqual(await again.request('zimracert_getExternalDrive', {}), h.DRIVES);
    await stopByPage(visited, again);
  },
};

h.main(async (workspace, check) => {
  assert.ok(checks[check], 'usage: start.js AGENT command_line|url_handler|watchdog');
  await checks[check](workspace);
});
