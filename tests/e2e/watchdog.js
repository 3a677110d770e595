'use strict';
// The first-page watchdog, by running the built agent:  node watchdog.js AGENT
// Two agents side by side: one that no page ever reaches ends by itself with
// status 0 about 60 seconds after its start; one that a page reaches at
// second 50 keeps running after that page has gone again.

const assert = require('node:assert/strict');
const h = require('./lib/harness');

const [agentPath] = process.argv.slice(2);
assert.ok(agentPath, 'usage: watchdog.js AGENT');

h.main(async () => {
  const workspace = new h.Workspace(agentPath);
  const started = Date.now();
  const alone = await h.Agent.start(workspace);
  const visited = await h.Agent.start(workspace);

  await h.sleep(50000 - (Date.now() - started));
  assert.equal(alone.child.exitCode, null, 'the lone agent is still waiting at second 50');
  const page = new h.WebSocketClient(visited);
  await page.connect();
  await h.sleep(2000);
  page.close();

  const exit = await alone.waitExit(40000);
  const seconds = (Date.now() - started) / 1000;
  assert.deepEqual(exit, { code: 0, signal: null });
  assert.ok(seconds >= 59 && seconds < 75, `the lone agent ended after ${seconds} s`);

  // Well past its own 60 seconds, the visited agent still serves.
  await h.sleep(75000 - (Date.now() - started));
  assert.equal(visited.child.exitCode, null, 'the visited agent kept running');
  const again = new h.WebSocketClient(visited);
  await again.connect();
  assert.deepEqual(await again.request('zimracert_getExternalDrive', {}),
    { call_back: 'zimracert_getExternalDrive', data: ['D:\\', 'E:\\'] });
  again.send('zimracert_terminate', {});
  assert.deepEqual(await visited.waitExit(5000), { code: 0, signal: null });
});
