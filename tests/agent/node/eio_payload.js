// Reads a polling answer body the way engine.io-client 1.x does and prints
// its packets as JSON, or encodes packets into a POST body.
//   node eio_payload.js decode <file> [jsonp]
//   node eio_payload.js encode <json array of message data strings or packets>
'use strict';
const fs = require('fs');
const vm = require('vm');
const parser = require('engine.io-parser');

const [mode, arg, jsonp] = process.argv.slice(2);
if (mode === 'decode') {
  // The response is read as UTF-8 text, as XMLHttpRequest and script tags do.
  let text = fs.readFileSync(arg).toString('utf8');
  if (jsonp) {
    let seen = null;
    vm.runInNewContext(text, { ___eio: [function (s) { seen = s; }] });
    text = seen;
  }
  const packets = [];
  parser.decodePayload(text, (packet) => { packets.push(packet); });
  process.stdout.write(JSON.stringify(packets));
} else if (mode === 'encode') {
  // A string is a message's data; an object is a whole packet ({"type": "ping"}).
  const packets = JSON.parse(arg).map((p) => (typeof p === 'string' ? { type: 'message', data: p } : p));
  parser.encodePayload(packets, false, (body) => {
    // XMLHttpRequest sends the string as UTF-8.
    process.stdout.write(Buffer.from(body, 'utf8').toString('hex'));
  });
}
