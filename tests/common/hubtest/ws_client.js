// A WebSocket client of Node's ws package, driven over stdin and stdout with
// one JSON object per line, for the end-to-end tests.
//   node ws_client.js ws://127.0.0.1:PORT/
// Commands (stdin):  {"op":"send","text":"..."}  {"op":"send","b64":"..."}
//                    {"op":"close"}
// Events (stdout):   {"event":"open","port":N}  {"event":"message","binary":B,"b64":"..."}
//                    {"event":"close","code":N}  {"event":"error","message":"..."}
'use strict';

const readline = require('readline');
const WebSocket = require('ws');

const url = process.argv[2];
// The hub's certificate is self-signed and made for the test run.
const ws = new WebSocket(url, { rejectUnauthorized: false });

function emit(event) {
  process.stdout.write(JSON.stringify(event) + '\n');
}

ws.on('open', () => emit({ event: 'open', port: ws._socket.localPort }));
ws.on('message', (data, isBinary) => {
  emit({ event: 'message', binary: isBinary, b64: Buffer.from(data).toString('base64') });
});
ws.on('error', (err) => emit({ event: 'error', message: String(err && err.message) }));
ws.on('close', (code) => {
  emit({ event: 'close', code });
  process.exit(0);
});

const input = readline.createInterface({ input: process.stdin });
input.on('line', (line) => {
  const cmd = JSON.parse(line);
  if (cmd.op === 'send') {
    if (cmd.text !== undefined) ws.send(cmd.text);
    else ws.send(Buffer.from(cmd.b64, 'base64'), { binary: true });
  } else if (cmd.op === 'close') {
    ws.close();
  }
});
// Without commands there is nothing more to do once the peer has gone.
input.on('close', () => {
  if (ws.readyState === WebSocket.OPEN) ws.close();
});
