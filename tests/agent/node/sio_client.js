// Drives the polling transport with socket.io-client 1.7.4, the page's own
// client, against a server that echoes every event. Prints what it saw as
// JSON on one line.
//   node sio_client.js <port> events   connect, 50 events in a row, Korean, close
//   node sio_client.js <port> idle     connect, 10 s without an event, one event, close
'use strict';
const http = require('http');
const io = require('socket.io-client');

const [port, scenario] = process.argv.slice(2);
const agent = new http.Agent({ keepAlive: true });
const socket = io('http://127.0.0.1:' + port, {
  path: '/tessark.io',
  transports: ['polling'],
  upgrade: false,
  reconnection: false,
  forceNew: true,
  agent,
});

const seen = { connected: false, replies: {}, korean: null, pongs: 0, disconnect: null, errors: [] };

function finish() {
  process.stdout.write(JSON.stringify(seen) + '\n');
  agent.destroy();
  process.exit(0);
}

setTimeout(() => { seen.errors.push('timeout'); finish(); }, 40000);
socket.on('connect_error', (e) => { seen.errors.push('connect_error ' + e); finish(); });
socket.on('error', (e) => { seen.errors.push('error ' + e); });
socket.on('disconnect', (reason) => { seen.disconnect = reason; });
socket.on('echo', (data) => {
  const key = String(data.i);
  seen.replies[key] = (seen.replies[key] || 0) + 1;
});

function ask(event, data) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no reply to ' + event)), 10000);
    socket.once(event, (reply) => { clearTimeout(timer); resolve(reply); });
    socket.emit(event, data);
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function run() {
  seen.connected = true;
  socket.io.engine.on('pong', () => { seen.pongs += 1; });
  if (scenario === 'events') {
    for (let i = 0; i < 50; i += 1)
      await ask('echo', { i });
    seen.korean = await ask('korean', '한국어 인증서 — 서명용 ✓');
  } else {
    await sleep(10000);
    seen.pongsWhileIdle = seen.pongs;
    await ask('echo', { i: 'after' });
  }
  // Give a duplicate reply the chance to show up.
  await sleep(1500);
  socket.close();
  await sleep(500);
  finish();
}

socket.on('connect', () => { run().catch((e) => { seen.errors.push(String(e)); finish(); }); });
