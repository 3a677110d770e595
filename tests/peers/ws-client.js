'use strict';
// Drives a WebSocket test server with the real `ws` client and prints what it
// sees, one line per check. Usage: node ws-client.js <port>
// The server echoes a text message that starts with "echo:" and answers any
// other message with "len=<bytes> sha1=<hex>".

const crypto = require('crypto');
const WebSocket = require('ws');

const url = `ws://127.0.0.1:${process.argv[2]}/`;
const MiB = 1 << 20;

const open = () => new Promise((resolve, reject) => {
  const ws = new WebSocket(url);
  ws.once('open', () => resolve(ws));
  ws.once('unexpected-response', (req, res) => {
    req.destroy();
    reject(new Error(`status ${res.statusCode}`));
  });
  ws.once('error', reject);
});
// A new page may have to wait for the server to let the last one go.
const openAfterClose = (tries = 50) => open().catch(async (e) => {
  if (tries === 0) throw e;
  await new Promise((r) => setTimeout(r, 100));
  return openAfterClose(tries - 1);
});

const next = (ws) => new Promise((resolve) => ws.once('message', (data, isBinary) => resolve({ data, isBinary })));
const closed = (ws) => new Promise((resolve) => ws.once('close', resolve));
const digest = (bytes) => `len=${bytes.length} sha1=${crypto.createHash('sha1').update(bytes).digest('hex')}`;

async function main() {
  let ws = await open();
  const text = (n) => 'echo:' + 'abcdefghijklmnopqrstuvwxyz0123456789'.repeat(Math.ceil(n / 36)).slice(0, n - 5);
  for (const [kind, sizes, make, expect] of [['text', [5, 125, 126, 65535, 65536, MiB], text, (sent) => sent],
    ['binary', [0, 1, 126, 65536, MiB], (n) => crypto.randomBytes(n), digest]]) {
    for (const n of sizes) {
      const sent = make(n);
      ws.send(sent);
      const { data, isBinary } = await next(ws);
      console.log(`${kind} ${n} ${!isBinary && data.toString() === expect(sent) ? 'same' : 'differs'}`);
    }
    if (kind === 'text') {
      const korean = 'echo:한국어 인증서 목록';
      ws.send(korean);
      console.log(`korean ${(await next(ws)).data.toString() === korean ? 'same' : 'differs'}`);
    }
  }

  // One message in three fragments, with a ping between them.
  const pong = new Promise((resolve) => ws.once('pong', (data) => resolve(data.toString())));
  ws.send('echo:first,', { fin: false });
  ws.ping('between');
  ws.send('second,', { fin: false });
  ws.send('third', { fin: true });
  console.log(`fragmented ${(await next(ws)).data.toString()}`);
  console.log(`pong ${await pong}`);

  try {
    (await open()).terminate();
    console.log('second page admitted');
  } catch (e) {
    console.log(`second page ${e.message}`);
  }
  ws.close(4001, 'bye');
  console.log(`close ${await closed(ws)}`);

  ws = await openAfterClose();
  ws.send(crypto.randomBytes(MiB + 1));
  console.log(`one frame above 1 MiB: close ${await closed(ws)}`);
  ws = await openAfterClose();
  ws.send(Buffer.alloc(MiB / 2, 1), { fin: false });
  ws.send(Buffer.alloc(MiB / 2 + 1, 2), { fin: true });
  console.log(`fragments above 1 MiB: close ${await closed(ws)}`);
}

const timer = setTimeout(() => {
  console.log('timed out');
  process.exit(1);
}, 60000);
main().then(() => clearTimeout(timer), (e) => {
  console.log(`failed: ${e.message}`);
  process.exit(1);
});
