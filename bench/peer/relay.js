'use strict';
// The comparison relay for bench/run: what people write today when they need
// a relay, a few lines of Node.js around the `ws` package. Every message a
// client sends goes to every other open client, text or binary as received.
// The raw mode does the same for plain TCP with Node's `net`, forwarding each
// chunk as it was read.
//
//   node relay.js --port P [--mode ws|wss|raw] [--pem FILE] [--host 127.0.0.1]
//
// wss serves WebSocket over HTTPS with the certificate and key of one PEM
// file. The process runs until it is signalled; bench/run ends it by its PID.

const fs = require('fs');
const http = require('http');
const https = require('https');
const net = require('net');

function parseArgs(argv) {
  const o = { host: '127.0.0.1', port: 0, mode: 'ws', pem: 'relayhub.pem' };
  for (let i = 2; i < argv.length; i++) {
    const a = argv[i];
    const v = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--port') o.port = Number(v());
    else if (a === '--host') o.host = v();
    else if (a === '--mode') o.mode = v();
    else if (a === '--pem') o.pem = v();
    else throw new Error(`unknown option ${a}`);
  }
  if (!(o.port > 0 && o.port < 65536)) throw new Error('--port is required');
  if (!['ws', 'wss', 'raw'].includes(o.mode)) throw new Error(`unknown mode ${o.mode}`);
  return o;
}

const o = parseArgs(process.argv);
const ready = () => console.log(`peer relay (${o.mode}) listening on ${o.host}:${o.port}`);

if (o.mode === 'raw') {
  const clients = new Set();
  const server = net.createServer((sock) => {
    sock.setNoDelay(true);
    clients.add(sock);
    sock.on('data', (chunk) => {
      for (const c of clients) if (c !== sock && !c.destroyed) c.write(chunk);
    });
    sock.on('error', () => {});
    sock.on('close', () => clients.delete(sock));
  });
  server.listen(o.port, o.host, ready);
} else {
  const { WebSocketServer, WebSocket } = require('ws');
  const server = o.mode === 'wss'
    ? https.createServer({ cert: fs.readFileSync(o.pem), key: fs.readFileSync(o.pem) })
    : http.createServer();
  const wss = new WebSocketServer({ server, perMessageDeflate: false });
  wss.on('connection', (ws) => {
    ws.on('error', () => {});
    ws.on('message', (data, isBinary) => {
      for (const c of wss.clients) {
        if (c !== ws && c.readyState === WebSocket.OPEN) c.send(data, { binary: isBinary });
      }
    });
  });
  server.listen(o.port, o.host, ready);
}
