'use strict';
// The start URL, by running the built agent:  node command_line.js AGENT
// Refused starts end at once with status 0 and print nothing; accepted ones
// listen on the URL's port, on the loopback interface only.

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const net = require('node:net');
const os = require('node:os');
const h = require('./lib/harness');

const [agentPath] = process.argv.slice(2);
assert.ok(agentPath, 'usage: command_line.js AGENT');

function connects(host, port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host, port });
    socket.setTimeout(2000, () => { socket.destroy(); resolve(false); });
    socket.on('connect', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

h.main(async () => {
  const workspace = new h.Workspace(agentPath);
  const port = await h.freePort();
  const options = { env: workspace.environment(), timeout: 10000 };

  for (const args of [[], [`http://x/?port=${port}`], [`zimraCert:/x/?port=${port}`], [`zimraCert://x/?Port=${port}`],
    ['zimraCert://x/?'], [`zimraCert://x?port=${port}`], ['zimraCert://x/?port=65534'],
    ['zimraCert://x/?port=65535'], ['zimraCert://x/?port=0'], ['zimraCert://x/?port=-1'], ['zimraCert://x/?port='],
    ['zimraCert://x/?port=abc'], ['zimraCert://x/?port=4294975296'], ['zimraCert://x/?port=99999999999999999999']]) {
    const result = childProcess.spawnSync(workspace.agent, args, options);
    assert.equal(result.status, 0, `${args}: ${result.stderr}`);
    assert.equal(result.stdout.toString() + result.stderr.toString(), '', `${args} printed something`);
  }

  // Accepted forms: each listens on the expected port, then is stopped by a page.
  const cases = [
    [['zimraCert://start/?port=%p'], 0],
    [['ZimraCert://start/?t=1&port=1&port=%p'], 0], // any case; the later key wins
    [['zimraCert://start/?port=%p/'], 0],
    [['"zimracert://start/?port=%p"'], 0], // quoted, as some launchers pass it
    [['--flag', 'zimraCert://start/?port=%p'], 0], // arguments joined by spaces
  ];
  for (const [pattern] of cases) {
    const listen = await h.freePort();
    const agent = new h.Agent(workspace, pattern.map((a) => a.replace('%p', listen)));
    agent.port = listen;
    await agent.listening();
    assert.equal(agent.stdout, `start server! \nbinding ${listen} port! \n`);
    // Bound to the loopback interface only.
    const outside = Object.values(os.networkInterfaces()).flat()
      .find((i) => i.family === 'IPv4' && !i.internal);
    if (outside) assert.equal(await connects(outside.address, listen), false, `reached on ${outside.address}`);
    const page = new h.WebSocketClient(agent);
    await page.connect();
    page.send('zimracert_terminate', {});
    assert.deepEqual(await agent.waitExit(5000), { code: 0, signal: null });
    page.close();
  }

  // The highest port accepted; a port taken by another gives status -1.
  const highest = new h.Agent(workspace, ['zimraCert://x/?port=65533']);
  highest.port = 65533;
  await highest.listening();
  const taken = childProcess.spawnSync(workspace.agent, ['zimraCert://x/?port=65533'], options);
  assert.equal(taken.status, 255);
  assert.doesNotMatch(taken.stdout.toString(), /Bind port/);
  assert.match(taken.stdout.toString(), /bind/);
  highest.child.kill('SIGTERM');
  await highest.waitExit(5000);
});
