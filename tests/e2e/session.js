'use strict';
// Which page the agent serves, and for how long:  node session.js AGENT SCENARIO [N]
//   leaving       each way a page leaves, and how soon the next page is let in
//   silent        a page that says nothing is let go after ~61 s, not before
//   keeps         over TLS: a page that polls and pings keeps its place for 70 s,
//                 while idle connections are cut at 60 s and its own are not
//   crowd         62 idle connections: a page still gets in within about a minute
//   kill N        N runs of socket.io-client killed at a random moment
//   hostile       closes, terminates and imports from requests that are not the page's
//   close_header  a page that sends each request on a connection of its own
//   pipeline      answers in order, none lost; batched records, every one acted on
//   defaults      socket.io-client with its default options (the upgrade probe on)
//   burst         socket.io-client emits 1,000 events in one loop, then 20 bursts of
//                 64: every one answered, in order
//   flood         one POST of 20,000 records: every reply in order, other connections
//                 served meanwhile, memory bounded
//   busy [silent] a POST of imports that keeps the agent busy past the page's 61 s:
//                 the page, polling all along or silent till the "ok", keeps its
//                 session and its connections and gets every reply
//   reuse         requests on a connection of the page that are not the page's own
//   idioms        socket.io-client's acknowledgement callbacks, binary data and another
//                 namespace: not acted on, and the page's next event answered at once
//   reset [tls]   the page's held poll reset while an import keeps the agent busy:
//                 the import's reply comes on the page's next poll, 10 times of 10
// Pages are raw HTTP (lib/rawpage.js), ws, or socket.io-client 1.7.4 in a child
// process (this file run as `node session.js --page PORT polling|chatter|defaults|burst`).

const assert = require('node:assert/strict');
const childProcess = require('node:child_process');
const fs = require('node:fs');
const h = require('./lib/harness');
const { Connection, RawPage, POLLING, assertRefused, event, nextPageServed, open, record, replies } =
  require('./lib/rawpage');

const DRIVES = ['zimracert_getExternalDrive', {}];
const D_LISTING = ['zimracert_getCertification', { external: 'D:\\' }];
// An import into D: of a PKCS#12 whose keys take `iterations` rounds to derive, and its reply.
const IMPORTED = { call_back: 'zimracert_ImportCertificationB64', data: { REASON: '', SUCCESS: true } };
const slowImport = (iterations) => event(IMPORTED.call_back, { certPassword: h.PFX_PASSWORD, external: 'D:\\',
  certFile: h.makePfx('/C=KR/O=org1/OU=unit1/CN=name1', iterations) });

const placeHeld = async (agent, what) => assert.equal(await open(agent), undefined, `${what}: another page got in`);

// Connections that each send a GET the agent leaves unanswered, then idle;
// checked later: all cut by the agent, none before `after` ms.
async function idleCrowd(agent, count) {
  const crowd = [];
  for (let i = 0; i < count; i += 1, await h.sleep(20)) { // paced: a burst past the backlog loses connections
    crowd.push(Object.assign(new Connection(agent).write('GET /elsewhere HTTP/1.1\r\nHost: x\r\n\r\n'),
      { sentAt: Date.now() }));
  }
  crowd.assertCut = (after) => {
    assert.equal(crowd.filter((c) => !c.closedByAgent).length, 0, 'idle connections still open');
    assert.deepEqual(crowd.map((c) => c.closedAt - c.sentAt).filter((ms) => ms < after), [], 'cut early');
  };
  return crowd;
}

// socket.io-client in a child process, its output lines in `lines`.
function spawnPage(agent, mode) {
  const child = childProcess.spawn(process.execPath, [__filename, '--page', String(agent.port), mode],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  child.lines = [];
  child.stdout.on('data', (d) => child.lines.push(...d.toString().split('\n').filter(Boolean)));
  const kill = () => child.kill('SIGKILL');
  process.on('exit', kill);
  child.exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    process.off('exit', kill);
    resolve({ code, signal });
  }));
  return child;
}

// The child: "polling" keeps to polling over a keep-alive agent (as the
// harness's page does), the others leave socket.io-client's options alone.
// It asks for the drives, again after each reply; "defaults" instead waits
// for the upgrade probe's outcome and closes (the close packet goes out
// before the process ends); "burst" asks 1,000 times at once, then says so.
function pageProcess(port, mode) {
  const options = { path: '/tessark.io', reconnection: false, forceNew: true, ...(mode === 'polling' && {
    transports: ['polling'], upgrade: false, agent: new (require('node:http').Agent)({ keepAlive: true }) }) };
  const socket = h.peers('socket.io-client')(`http://127.0.0.1:${port}`, options);
  const say = (...words) => { process.stdout.write(`${words.join(' ')}\n`); };
  setTimeout(() => process.exit(4), 15000).unref();
  const probed = new Promise((resolve) => socket.io.on('open', () => {
    socket.io.engine.on('upgradeError', () => resolve('refused')).on('upgrade', () => resolve('upgraded'));
  }));
  socket.on('connect', () => {
    say('connected');
    for (let i = mode === 'burst' ? 1000 : 1; i > 0; i -= 1) socket.emit(...DRIVES);
    if (mode === 'burst') say('burst');
  });
  socket.on('connect_error', (e) => say('refused', e.message) || process.exit(3));
  socket.on('zimracert', async (reply) => {
    say('reply', JSON.stringify(reply));
    if (mode !== 'defaults') return socket.emit(...DRIVES);
    say('probe', await h.within(5000, probed, 'the upgrade probe'), socket.io.engine.transport.name);
    return socket.close();
  });
}

const scenarios = {
  async leaving(agent) {
    const ways = {
      'closes after its connect': async (page) => page.connection.end(),
      'closes after a ping and a poll on two connections': async (page) => {
        const pings = new Connection(agent);
        await page.post(record(2), pings);
        assert.equal((await page.get()).body, '1:3');
        [page.connection, pings].forEach((c) => c.end());
      },
      'resets every connection, its POSTs waiting at the reply limit': async (page) => {
        const posts = Array.from({ length: 6 }, () => new Connection(agent)
          .write(Connection.bytes('POST', page.query, { body: event(...D_LISTING).repeat(1000) })));
        await h.sleep(500);
        [page.connection, ...posts].forEach((c) => c.reset());
      },
      'closes while its poll is held': async (page) => {
        page.connection.write(Connection.bytes('GET', page.query));
        await h.sleep(300);
        page.connection.end();
      },
    };
    // Each also leaves the agent's descriptors as they were before it.
    for (const [way, leave] of Object.entries(ways)) {
      const files = agent.openFiles();
      const page = await RawPage.connect(agent);
      assert.deepEqual(await page.request(...DRIVES), h.DRIVES);
      await leave(page);
      const left = Date.now();
      console.log(`${way}: next page served after ${await nextPageServed(agent, way, 4500)} ms`);
      for (; agent.openFiles() > files; await h.sleep(50)) {
        assert.ok(Date.now() - left < 4500, `${way}: ${agent.openFiles()} descriptors open, ${files} before the page`);
      }
    }

    // socket.io-client killed a few ms into a burst of 1,000 events.
    for (let run = 0; run < 10; run += 1) {
      const child = spawnPage(agent, 'burst');
      await h.within(10000, new Promise((resolve) => child.stdout.on('data', () => child.lines.includes('burst')
        && resolve())), `run ${run}: the burst`);
      await h.sleep(3 + Math.random() * 27);
      child.kill('SIGKILL');
      const killed = Date.now();
      await child.exited;
      await nextPageServed(agent, `run ${run}, killed within its burst`, 3500, killed);
    }

    // The close packet: the held poll gets "6", and the next page is let in
    // at once though the leaving page's connections stay open.
    const page = await RawPage.connect(agent);
    const held = new Connection(agent).ask('GET', page.query);
    await h.sleep(200);
    await page.post(record(1));
    assert.equal((await held).body, '1:6', 'the held poll answers the close');
    await nextPageServed(agent, 'a page that sent its close packet', 1500);

    for (const leave of ['close', 'terminate']) {
      const ws = await h.Page.open(agent);
      assert.deepEqual(await ws.request(...DRIVES), h.DRIVES);
      ws.socket[leave]();
      await nextPageServed(agent, `a WebSocket page's ${leave}`, 1500);
    }
  },

  async silent(agent) {
    const page = await RawPage.connect(agent);
    const connected = Date.now();
    await h.sleep(55000);
    await placeHeld(agent, 'at 55 s of silence');
    await h.sleep(3000);
    console.log(`next page served ${await nextPageServed(agent, 'a silent page', 64000, connected)} ms after `
      + 'the silent page\'s connect');
    page.connection.end();
  },

  async keeps(agent) {
    const page = await RawPage.connect(agent);
    const pings = new Connection(agent);
    const crowd = await idleCrowd(agent, 40);
    // A poll always held, a ping every second; none may be answered "6".
    let running = true;
    const life = Promise.all([
      (async () => { while (running) assert.notEqual((await page.get()).body, '1:6', 'the session closed'); })(),
      (async () => { for (; running; await h.sleep(1000)) await page.post(record(2), pings); })()]);
    for (const started = Date.now(); Date.now() - started < 70000; await Promise.race([h.sleep(5000), life])) {
      await placeHeld(agent, `after ${Math.round((Date.now() - started) / 1000)} s`);
    }
    running = false;
    await life;
    assert.ok(!page.connection.closedByAgent && !pings.closedByAgent, 'the page\'s own connections were cut');
    crowd.assertCut(55000);
    assert.deepEqual(await page.request(...DRIVES, pings), h.DRIVES);
    await page.leave();
  },

  async crowd(agent) {
    await nextPageServed(agent, 'the first page', 1000); // else the agent would end at 60 s, as no page came
    const crowd = await idleCrowd(agent, 62);
    const started = Date.now();
    for (let page; !page; await h.sleep(1000)) {
      assert.ok(Date.now() - started < 75000, 'no page got in within 75 s');
      const connection = new Connection(agent);
      page = await RawPage.connect(agent, connection).catch(() => connection.end()); // not taken in yet
    }
    console.log(`a page got in after ${Date.now() - started} ms among 62 idle connections`);
    await h.sleep(70000 - (Date.now() - started));
    crowd.assertCut(55000);
  },

  async kill(agent, workspace, runs = '50') {
    const seen = { connected: 0, replies: 0 };
    for (let run = 0; run < Number(runs); run += 1) {
      const child = spawnPage(agent, run % 2 ? 'chatter' : 'polling');
      await h.sleep(Math.random() * (run % 3 ? 3000 : 200)); // a third around the connect
      child.kill('SIGKILL');
      await child.exited;
      assert.deepEqual(child.lines.filter((l) => l.startsWith('refused')), [], `run ${run}: the page was refused`);
      seen.connected += child.lines.includes('connected');
      seen.replies += child.lines.filter((l) => l.startsWith('reply')).length;
      await nextPageServed(agent, `run ${run}, killed after ${child.lines.length} lines`, 5000);
    }
    console.log(`${runs} runs killed: ${seen.connected} after their connect, ${seen.replies} replies in all`);
  },

  async hostile(agent, workspace) {
    const keyFile = workspace.host('d/NPKI/org1/USER/cn=name1,ou=unit1,o=org1,c=KR/signPri.key');
    const key = fs.readFileSync(keyFile);
    const imported = { certFile: h.makePfx('/C=KR/O=org1/OU=unit1/CN=name1'), certPassword: h.PFX_PASSWORD,
      external: 'D:\\' };
    const bodies = { close: record(1), terminate: event('zimracert_terminate'),
      import: event('zimracert_ImportCertificationB64', imported) };
    const old = await RawPage.connect(agent);
    await old.leave();
    const madeUp = 'ab+/cdEFghIJklMNopQR';

    // Each refused and its connection closed, a JSONP close alike; nothing changed.
    const refusedPosts = async (when, ...sids) => {
      for (const sid of [undefined, madeUp, old.sid, ...sids]) {
        const target = `${POLLING}${sid === undefined ? '' : `&sid=${encodeURIComponent(sid)}`}`;
        for (const [name, body] of [...Object.entries(bodies), ['JSONP close', `d=${encodeURIComponent(record(1))}`]]) {
          const connection = new Connection(agent);
          const jsonp = name.startsWith('JSONP') && { 'Content-Type': 'application/x-www-form-urlencoded' };
          const answer = await connection.ask('POST', `${target}${jsonp ? '&j=0' : ''}`, { body, headers: jsonp });
          await assertRefused(connection, answer, `${when}: ${name}, sid ${sid}`);
        }
      }
      assert.equal(agent.child.exitCode, null, `${when}: the agent stopped`);
      assert.deepEqual(fs.readFileSync(keyFile), key, `${when}: the key on D: was replaced`);
    };
    await refusedPosts('before any page');

    for (const transport of ['polling', 'websocket']) {
      const page = await h.Page.open(agent, transport);
      const sid = transport === 'polling' ? page.socket.io.engine.id : ''; // and sids close to the page's own
      await refusedPosts(transport, ...(sid && [sid.slice(0, 19), `${sid.slice(0, 19)}${sid[19] === 'A' ? 'B' : 'A'}`,
        `${sid}x`]));
      const poll = new Connection(agent);
      await assertRefused(poll, await poll.ask('GET', `${POLLING}&sid=${encodeURIComponent(madeUp)}`),
        `${transport}: a poll with a made-up sid`);
      await placeHeld(agent, transport);
      assert.deepEqual(await page.request(...DRIVES), h.DRIVES, `${transport}: the page still served`);
      page.close();
      await nextPageServed(agent, `${transport} page gone`, 3000);
    }

    // The page itself may: the same import replaces the key.
    const page = await RawPage.connect(agent);
    assert.deepEqual((await page.request('zimracert_ImportCertificationB64', imported)).data,
      { REASON: '', SUCCESS: true });
    assert.notDeepEqual(fs.readFileSync(keyFile), key, 'the page\'s own import replaced the key');

    // Its terminate ends the agent, and nothing after it acts, not even the
    // rest of its POST: imports into E:, which has no files.
    const intoE = event('zimracert_ImportCertificationB64', { ...imported, external: 'E:\\' });
    page.connection.write(Connection.bytes('POST', page.query, { body: bodies.terminate + intoE.repeat(30) }));
    assert.deepEqual(await agent.waitExit(10000), h.STOPPED, 'the agent after a terminate');
    assert.deepEqual(workspace.files().filter((file) => file.startsWith('e/')), [], 'imports after a terminate');
  },

  async close_header(agent) {
    const page = new RawPage(agent, await open(agent), () => new Connection(agent, true));
    assert.equal((await page.get()).body, '2:40');
    for (let second = 1; second <= 20; second += 1) {
      await page.post(record(2));
      if (second % 2) assert.deepEqual(await page.request(...DRIVES), h.DRIVES, `second ${second}`);
      else assert.equal((await page.get()).body, '1:3');
      await h.sleep(second === 10 ? 1500 : 500); // halfway, no connection at all for longer
    }
    await placeHeld(agent, 'after 20 s of fresh connections');
    await page.leave();
  },

  async pipeline(agent) {
    const page = await RawPage.connect(agent);
    const get = Connection.bytes('GET', page.query);
    const post = Connection.bytes('POST', page.query, { body: event(...DRIVES) });
    const inOrder = async (what, sentAt) => {
      const [first, second] = [await page.connection.next(`${what}: GET`), await page.connection.next(`${what}: POST`)];
      assert.deepEqual([first.status, first.body, second.status, second.body], [200, '1:3', 200, 'ok'], what);
      assert.ok(Date.now() - sentAt < 800, `${what}: the held GET answered after ${Date.now() - sentAt} ms`);
      assert.deepEqual(await page.reply(), h.DRIVES, `${what}: the reply on the next poll`);
    };
    page.connection.write(get + post);
    await inOrder('GET and POST written at once', Date.now());
    page.connection.write(get);
    await h.sleep(300);
    page.connection.write(post);
    await inOrder('a POST behind a held GET', Date.now());

    // A chunked POST, its event split between two chunks, a trailer field
    // after the last, and a poll right behind it: read whole, both answered in order.
    const chunk = (text) => `${text.length.toString(16)}\r\n${text}\r\n`;
    const drives = event(...DRIVES);
    page.connection.write(`POST ${page.query} HTTP/1.1\r\nHost: 127.0.0.1\r\n`
      + 'Content-Type: text/plain;charset=UTF-8\r\nTransfer-Encoding: chunked\r\n\r\n'
      + `${chunk(drives.slice(0, 20))}${chunk(drives.slice(20))}0\r\nX-Checksum: abc\r\n\r\n${get}`);
    const ack = await page.connection.next('the chunked POST');
    const poll = await page.connection.next('the GET behind it');
    assert.deepEqual([ack?.statusLine, ack?.body, poll?.statusLine, poll && replies(poll.body)],
      ['HTTP/1.1 200 OK', 'ok', 'HTTP/1.1 200 OK', [h.DRIVES]], 'a chunked POST with a trailer, a GET behind it');

    // A POST connection closes at once, with a GET held elsewhere or none:
    // the reply still reaches the page.
    for (const held of [true, false]) {
      const answer = held && page.get();
      const posts = new Connection(agent);
      assert.equal((await posts.write(post).next()).body, 'ok');
      posts.end();
      const [got] = held ? replies((await answer).body) : [];
      assert.deepEqual(got || await page.reply(), h.DRIVES, `POST connection gone, a GET held: ${held}`);
    }

    // Batches: a ping and two events act. Drained until two empty polls.
    const drain = async () => {
      const got = [];
      for (let empty = 0; empty < 2;) {
        const { body } = await page.get();
        got.push(...replies(body));
        empty = body === '1:3' ? empty + 1 : 0;
      }
      return got;
    };
    await page.post(record(2) + event(...DRIVES) + event('zimracert_getexternaldrive'));
    assert.deepEqual((await drain()).map((r) => r.call_back), [DRIVES[0], 'zimracert_getexternaldrive']);
    // Every record of a body acts, in order, before the body's "ok"; one poll
    // then takes all their replies.
    const names = (from, count) => Array.from({ length: count }, (_, i) => h.variant(DRIVES[0], from + i));
    const expected = (batch) => batch.map((call_back) => ({ call_back, data: h.DRIVES.data }));
    const seventy = names(1, 70);
    await page.post(seventy.map((name) => event(name)).join(''));
    h.assertInOrder(replies((await page.get()).body), expected(seventy), 'a body of 70 events, one poll');
    // Three bodies of 64 at once: while 128 replies wait the agent waits for
    // a poll to take them, then goes on; none is lost.
    const many = names(71, 192);
    const posts = new Connection(agent).write([0, 64, 128].map((at) => Connection.bytes('POST', page.query,
      { body: many.slice(at, at + 64).map((name) => event(name)).join('') })).join(''));
    h.assertInOrder(await page.collect(many.length, { stallMs: 3000 }), expected(many), 'three bodies of 64 events');
    for (const body of [1, 2, 3]) assert.equal((await posts.next(`body ${body}`))?.body, 'ok', `body ${body}`);
    assert.equal((await page.get()).body, '1:3', 'no reply past the 192');

    // 300 events and no poll for 3 s: 128 replies wait and the other records
    // with them, the POST unanswered and the agent idle; the first poll takes
    // the 128, and polling on brings the rest, in order, then the "ok".
    const bodyOf = (batch) => batch.map((name) => event(name)).join('');
    const paced = names(263, 300);
    const pacedPost = new Connection(agent).write(Connection.bytes('POST', page.query, { body: bodyOf(paced) }));
    const cpu = agent.cpuSeconds();
    await h.sleep(3000);
    const used = agent.cpuSeconds() - cpu;
    assert.ok(used < 0.3, `${used} s of processor time in 3 s while the replies were at their limit`);
    assert.deepEqual(pacedPost.answers, [], 'the POST of 300 answered before any poll');
    const first = replies((await page.get()).body);
    assert.equal(first.length, 128, 'replies on the first poll after 300 events');
    h.assertInOrder([...first, ...await page.collect(paced.length - first.length)], expected(paced), '300 events');
    assert.equal((await pacedPost.next('the POST of 300'))?.body, 'ok', 'the POST of 300');

    // A POST of 100 events outlasts its first slice, and one behind 100
    // replies not yet taken waits besides at their limit: a GET written with
    // the POST, or 150 ms after it, is read only once the POST has its "ok".
    const hundreds = [563, 663, 763].map((from) => names(from, 100));
    const behind = async (what, taken = []) => {
      const [ack, poll] = [await page.connection.next(`${what}: POST`), await page.connection.next(`${what}: GET`)];
      assert.ok(ack.body === 'ok' && poll.status === 200, `${what}: first answered ${ack.body.slice(0, 40)}`);
      return [...taken, ...replies(poll.body)];
    };
    page.connection.write(Connection.bytes('POST', page.query, { body: bodyOf(hundreds[0]) }) + get);
    const what = 'a GET written with a POST of 100';
    h.assertInOrder(await behind(what), expected(hundreds[0]), what);
    await page.post(bodyOf(hundreds[1]), new Connection(agent));
    page.connection.write(Connection.bytes('POST', page.query, { body: bodyOf(hundreds[2]) }));
    await h.sleep(150);
    page.connection.write(get);
    const taken = replies((await page.get(new Connection(agent))).body);
    const late = 'a GET written 150 ms after a POST at the reply limit';
    h.assertInOrder(await behind(late, taken), expected([...hundreds[1], ...hundreds[2]]), late);

    // 640 pings and no poll held: the loop goes on from slice to slice
    // without waiting in select (a second each).
    await page.post(record(2).repeat(640), undefined, 3000);
    assert.deepEqual(await page.request(...DRIVES), h.DRIVES);
    await page.leave();
  },

  async defaults(agent) {
    // The upgrade probe of a polling page is refused and changes nothing.
    const page = await RawPage.connect(agent);
    const probe = new Connection(agent);
    await assertRefused(probe, await probe.ask('GET', page.query.replace('polling', 'websocket'), { headers: {
      Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': 13,
      'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==' } }), 'the upgrade probe', 400);
    assert.deepEqual(await page.request(...DRIVES), h.DRIVES, 'the page after its probe');
    await page.leave();

    for (let run = 0; run < 20; run += 1) {
      const child = spawnPage(agent, 'defaults');
      assert.deepEqual(await h.within(10000, child.exited, `run ${run}`), { code: 0, signal: null },
        `run ${run}: ${child.lines}`);
      assert.deepEqual(child.lines, ['connected', `reply ${JSON.stringify(h.DRIVES)}`, 'probe refused polling']);
    }
  },

  async burst(agent) {
    // socket.io-client sends the first event of a loop alone and the rest in
    // its next POST; bursts on later turns join whatever POST is next.
    const page = await h.Page.open(agent, 'polling');
    const kinds = [[...D_LISTING, (await page.request(...D_LISTING)).data], [...DRIVES, h.DRIVES.data]];
    for (const [what, bursts] of [['1,000 events in one loop', [1000]], ['20 bursts of 64', Array(20).fill(64)]]) {
      const expected = [];
      for (const size of bursts) {
        for (let i = 0; i < size; i += 1) {
          const [name, data, answer] = kinds[expected.length % 2];
          const call_back = h.variant(name, expected.length >> 1);
          page.send(call_back, data);
          expected.push({ call_back, data: answer });
        }
        await new Promise(setImmediate);
      }
      const took = await h.awaitCount(what, expected.length, () => page.replies.length);
      h.assertInOrder(page.replies.splice(0), expected, what);
      console.log(`${what}: all answered in order within ${took} ms`);
    }
    assert.ok(page.socket.connected, 'the page still connected');
    page.close();
  },

  async flood(agent) {
    // A listing and the drives by turns: in a plain build the C: listing (two
    // certificates, replies large enough to tell on the memory bound), under
    // a sanitizer the quicker D: one.
    const page = await RawPage.connect(agent);
    const kinds = [];
    for (const [name, data] of [h.SANITIZED ? D_LISTING : ['zimracert_getCertification', {}], DRIVES]) {
      kinds.push([name, data, (await page.request(name, data)).data]);
    }
    const idle = agent.rss();
    const expected = Array.from({ length: 20000 }, (_, i) =>
      ({ call_back: h.variant(kinds[i % 2][0], i >> 1), data: kinds[i % 2][2] }));
    const body = expected.map(({ call_back }, i) => event(call_back, kinds[i % 2][1])).join('');
    const started = Date.now();
    let working = true;
    const acked = new Connection(agent).write(Connection.bytes('POST', page.query, { body }))
      .next('the POST of 20,000 records', 100000).finally(() => { working = false; });
    acked.catch(() => {});
    // Meanwhile an open on a connection of its own, refused at once; the
    // agent's memory read beside it.
    const probing = (async () => {
      const [waits, sizes] = [[], []];
      while (working) {
        const connection = new Connection(agent);
        const sent = Date.now();
        const answer = await connection.ask('GET', POLLING);
        waits.push(Date.now() - sent);
        await assertRefused(connection, answer, 'an open while the page\'s records are acted on');
        sizes.push(agent.rss());
        await h.sleep(100);
      }
      return { waits, peak: Math.max(idle, ...sizes) };
    })();
    probing.catch(() => {});
    h.assertInOrder(await page.collect(expected.length, { stallMs: 15000 }), expected, '20,000 records of one POST');
    assert.equal((await acked)?.body, 'ok', 'the POST of 20,000 records');
    const { waits, peak } = await probing;
    console.log(`20,000 records answered in order within ${Date.now() - started} ms; other requests answered`
      + ` within ${Math.max(...waits)} ms (${waits.length} tries); resident memory ${idle} KiB idle,`
      + ` ${peak} KiB at most`);
    assert.ok(waits.length >= 3, `only ${waits.length} tries while the agent worked`);
    const quick = h.SANITIZED ? 2000 : 500;
    assert.ok(Math.max(...waits) < quick, `another connection's request waited ${Math.max(...waits)} ms`);
    if (!h.SANITIZED) assert.ok(peak - idle <= 8192, `resident memory grew by ${peak - idle} KiB`);
    await page.leave();
  },

  async busy(agent, workspace, mode) {
    // Imports of a PKCS#12 whose keys take many rounds to derive; one timed,
    // then as many in one POST as take about 75 s: at most 40, with the
    // fewest rounds (up to the 1,000,000 the agent takes) that fill that time.
    const page = await RawPage.connect(agent);
    const timed = async (body) => {
      let fastest = Infinity;
      for (let run = 0; run < 2; run += 1) {
        const started = Date.now();
        await page.post(body, undefined, 60000);
        assert.deepEqual(await page.reply(undefined, 60000), IMPORTED, 'a timed import');
        fastest = Math.min(fastest, Date.now() - started);
      }
      return fastest;
    };
    const [target, most] = [75000, 40];
    let iterations = 1000000;
    let body = slowImport(iterations);
    let each = await timed(body);
    if (each * most > target) {
      iterations = Math.ceil((iterations * target) / (each * most) / 10000) * 10000;
      body = slowImport(iterations);
      each = await timed(body);
    }
    // The page polls all along, or when silent only once the POST has its
    // "ok"; its ping goes out once the "ok" is back, as socket.io-client's would.
    const busyFor = async (count) => {
      console.log(`${count} imports of ${iterations} rounds, ${each} ms each`);
      const started = Date.now();
      const posts = new Connection(agent);
      const pinged = posts.write(Connection.bytes('POST', page.query, { body: body.repeat(count) }))
        .next('the POST of imports', 300000).then(async (ack) => {
          assert.equal(ack?.body, 'ok', 'the POST of imports');
          const took = Date.now() - started;
          await page.post(record(2), posts);
          return took;
        });
      pinged.catch(() => {});
      if (mode === 'silent') await pinged;
      const got = await page.collect(count, { stallMs: 4 * each + 10000, pollMs: 2 * target });
      const took = await pinged;
      h.assertInOrder(got, Array(count).fill(IMPORTED), 'imports of one POST');
      console.log(`${count} imports acted on in ${took} ms, every reply taken; polls answered within`
        + ` ${got.longestPoll} ms`);
      assert.ok(got.longestPoll < 2 * each + 5000, `a poll of the page waited ${got.longestPoll} ms`);
      assert.ok(!page.connection.closedByAgent && !posts.closedByAgent, 'the page\'s own connections were cut');
      return took;
    };
    // The timing may have run under a load that has gone since: a POST that
    // did not keep the agent busy past 61 s is sent again, longer by its own pace.
    let count = Math.ceil(target / each);
    for (let round = 1, took; (took = await busyFor(count)) <= 62000; round += 1) {
      assert.ok(round < 3, `the imports took ${took} ms: not past the page's 61 s`);
      count = Math.min(2 * most, Math.ceil((count * target) / took));
    }
    assert.deepEqual(await page.request(...DRIVES), h.DRIVES, 'the page after its imports');
    await placeHeld(agent, 'after the imports');
    await page.leave();
  },

  async reset(agent) {
    // An import whose key takes about 400 ms to derive (at most 300,000
    // rounds): its reply is taken for the held poll, whose connection is
    // reset by then, well before the poll would end unanswered.
    const page = await RawPage.connect(agent);
    const started = Date.now();
    await page.post(slowImport(100000));
    assert.deepEqual(await page.reply(), IMPORTED);
    const took = Date.now() - started;
    const iterations = Math.min(300000, Math.max(10000, Math.floor((100000 * 400) / took / 10000) * 10000));
    const body = slowImport(iterations);
    console.log(`imports of ${iterations} rounds (100,000 took ${took} ms)`);
    // A poll answered, and left ahead of the held one: the POST takes it off, not the held poll.
    assert.deepEqual(await page.request(...DRIVES), h.DRIVES);
    for (let run = 0; run < 10; run += 1) {
      const held = new Connection(agent).write(Connection.bytes('GET', page.query));
      await h.sleep(100);
      const posted = page.post(body, page.connection, 60000);
      await h.sleep(20);
      held.reset();
      await posted;
      const reply = await page.reply().catch((error) => assert.fail(`run ${run}: ${error.message}`));
      assert.deepEqual(reply, IMPORTED, `run ${run}: the reply of the import`);
    }
    await page.leave();
  },

  async idioms(agent) {
    // Each odd packet goes out alone in a POST, the plain event in the next
    // one, which the client sends only once the first has its answer.
    const page = await h.Page.open(agent, 'polling');
    let acks = 0;
    const ack = () => { acks += 1; };
    let other;
    const idioms = {
      'a listing with an acknowledgement callback': () => page.socket.emit('zimracert_getCertification', {}, ack),
      'a terminate with an acknowledgement callback': () => page.socket.emit('zimracert_terminate', {}, ack),
      'a listing whose argument holds a Buffer': () => page.socket.emit('zimracert_getCertification',
        { external: 'D:\\', data: Buffer.from([1, 2, 0xff]) }),
      'a terminate on another namespace': () => (other = page.socket.io.socket('/other')).emit('zimracert_terminate', {}),
    };
    for (const [what, emit] of Object.entries(idioms)) {
      emit();
      assert.deepEqual(await h.within(3000, page.request(...DRIVES), `${what}, then the drives`), h.DRIVES, what);
      assert.ok(page.socket.connected, `${what}: the page disconnected`);
      assert.equal(agent.child.exitCode, null, `${what}: the agent stopped`);
    }
    await h.sleep(500);
    assert.deepEqual([acks, page.replies], [0, []], 'an acknowledgement called, or a reply to an odd packet');
    other.close();
    page.close();
  },

  async reuse(agent) {
    // On a connection that carried the page's requests, with a reply of the
    // page waiting: an open and a query-less POST are refused, requests to
    // another path go unanswered (with the page's sid or none); none acts,
    // and the page's replies are its own.
    const page = await RawPage.connect(agent);
    let n = 0;
    const ask = () => {
      const call_back = h.variant(DRIVES[0], n += 1);
      return [event(call_back), { call_back, data: h.DRIVES.data }];
    };
    const strays = [['GET', '/tessark.io/', true], ['POST', '/tessark.io/', true, record(1)], ['GET', '/elsewhere/'],
      ['POST', '/elsewhere/'], ['POST', `/elsewhere/${POLLING.slice(POLLING.indexOf('?'))}`],
      ['POST', page.query.replace('/tessark.io/', '/elsewhere/')]];
    for (const [method, target, refused, body] of strays) {
      const what = `${method} ${target} on a connection of the page`;
      const [waiting, reply] = ask();
      await page.post(waiting);
      const answer = await page.connection.ask(method, target, { body: method === 'POST' ? body || ask()[0] : '',
        ms: 1000 }).catch(() => undefined);
      if (refused) await assertRefused(page.connection, answer, what);
      else assert.ok(!answer, `${what}: answered ${answer?.statusLine} ${answer?.body}`);
      page.connection.end();
      page.connection = new Connection(agent);
      assert.deepEqual(await page.reply(), reply, `${what}: the page's waiting reply`);
      const [next, nextReply] = ask();
      await page.post(next);
      assert.deepEqual(await page.reply(), nextReply, `${what}: the page's next reply`);
      assert.equal((await page.get()).body, '1:3', `${what}: a reply past the page's own`);
    }
    // A stranger's POST left unanswered, then the page's own on the same
    // connection: only the page's body acts.
    const [[stray], [own, ownReply]] = [ask(), ask()];
    await page.post(own, page.connection.write(Connection.bytes('POST', '/elsewhere/', { body: stray })));
    assert.deepEqual(await page.reply(), ownReply, 'the page\'s POST behind a stranger\'s');
    assert.equal((await page.get()).body, '1:3', 'a reply past the page\'s POST behind a stranger\'s');
    await placeHeld(agent, 'after the stray requests');
    await page.leave();
  },
};

if (process.argv[2] === '--page') {
  pageProcess(process.argv[3], process.argv[4]);
} else {
  h.main(async (workspace, scenario, ...args) => {
    assert.ok(scenarios[scenario], `usage: session.js AGENT ${Object.keys(scenarios).join('|')} [N]`);
    workspace.putStandardTree();
    const tls = scenario === 'keeps' || args.includes('tls');
    if (tls) workspace.makeCertificate();
    await scenarios[scenario](await h.Agent.start(workspace, { tls }), workspace, ...args);
  });
}
