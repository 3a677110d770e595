'use strict';
// Pages in headless Chromium that leave mid-conversation:
//   node session_browser.js AGENT jsonp|websocket
// The JSONP page (socket.io-client's browser build with forceJSONP) or the
// browser's own WebSocket asks without pause; its tab is closed, or reloaded,
// at a random moment, and a new tab must be served within 5 s. The JSONP page
// keeps socket.io-client's upgrade probe on: refused, it lists over JSONP.
//   node session_browser.js AGENT burst
// The JSONP page emits 300 events at once: every one answered, in order.

const assert = require('node:assert/strict');
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

// Runs in the page: connects over JSONP and emits every event at once (the
// first goes alone, the rest in the next POST); replies gather in window.got.
function burst(port, events) {
  window.got = [];
  const socket = io(`http://127.0.0.1:${port}`, { path: '/tessark.io', transports: ['polling'], forceJSONP: true,
    upgrade: false, reconnection: false, forceNew: true });
  socket.on('zimracert', (reply) => window.got.push(reply));
  return new Promise((resolve, reject) => {
    socket.on('connect', () => resolve(events.forEach(([name, data]) => socket.emit(name, data))));
    socket.on('connect_error', (e) => reject(new Error(`connect_error ${e}`)));
  });
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
  await tab.evaluate(burst, agent.port, events);
  const what = '300 events emitted at once over JSONP';
  const took = await h.awaitCount(what, events.length, () => tab.evaluate(() => window.got.length));
  h.assertInOrder(await tab.evaluate(() => window.got), events.map(([call_back], i) => ({ call_back,
    data: kinds[i % 2][2] })), what);
  console.log(`${what}: all answered in order within ${took} ms`);
  await tab.close();
}

h.main(async (workspace, kind) => {
  assert.ok(['jsonp', 'websocket', 'burst'].includes(kind), 'usage: session_browser.js AGENT jsonp|websocket|burst');
  workspace.putStandardTree();
  const agent = await h.Agent.start(workspace);
  const chromium = await h.chromium();
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
