// The Node application behind the gateway: node app.js HOST [PORT] prints the
// port it listens on (a free one unless PORT). The pages beside it; socket.io, answering each "message" with a
// "reply"; an event stream, an event a second; 1 GiB of numbered blocks; the
// SHA-256 of an upload; /http11: 426 to HTTP/1.0, as servers that refuse it
// answer, and to HTTP/1.1 20 MiB of the blocks in chunks; /log: when each stream's first event went and when a
// page reported it (/got), and who asked how, over which of how many
// connections.
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const path = require('path');
const { Server } = require('socket.io');

// 1 GiB of one MiB block, each copy numbered in its first 8 bytes.
const BLOCK = Buffer.from(Array.from({ length: 1 << 20 }, (_, at) => (at * 31 + 7) % 251));
const BLOCKS = 1024;
const block = (index) => {
  const numbered = Buffer.from(BLOCK);
  numbered.writeBigUInt64BE(BigInt(index));
  return numbered;
};

// Writes blocks 0 to count - 1 as the response drains.
const sendBlocks = (response, count) => {
  let index = 0;
  const pump = () => {
    while (index < count) if (!response.write(block(index++))) return;
    response.end();
  };
  response.on('drain', pump);
  pump();
};

const log = { sent: [], got: [] };
const server = http.createServer((request, response) => {
  const name = path.basename(request.url.split('?')[0]);
  if (request.url.startsWith('/socket.io/')) return;  // socket.io's own
  if (/^[\w-]+\.html$/.test(name)) {
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end(fs.readFileSync(path.join(__dirname, name)));
  } else if (name === 'events') {
    response.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache' });
    let count = 0;
    const timer = setInterval(() => {
      if (count++ === 0) log.sent.push(Date.now());
      response.write('data: event ' + count + '\n\n');
    }, 1000);
    request.on('close', () => clearInterval(timer));
  } else if (name === 'got') {
    log.got.push(Date.now());
    response.end('noted');
  } else if (name === 'large') {
    response.writeHead(200, { 'Content-Length': BLOCKS * BLOCK.length });
    sendBlocks(response, BLOCKS);
  } else if (name === 'http11') {
    if (request.httpVersion === '1.0') {
      response.writeHead(426, { Upgrade: 'HTTP/1.1', Connection: 'Upgrade' });
      return response.end('HTTP/1.1 required');
    }
    response.writeHead(200, { 'Content-Type': 'application/octet-stream' });  // chunked
    sendBlocks(response, 20);
  } else if (name === 'upload') {
    const digest = crypto.createHash('sha256');
    let length = 0;
    request.on('data', (piece) => { length += piece.length; digest.update(piece); });
    request.on('end', () => response.end(JSON.stringify({ length, sha256: digest.digest('hex') })));
  } else {
    response.writeHead(200, { 'Content-Type': 'application/json' });
    response.end(JSON.stringify({ ...log, host: request.headers.host,
                                  from: request.socket.remoteAddress,
                                  fromPort: request.socket.remotePort, connections }));
  }
});
new Server(server).on('connection', (socket) => {
  socket.on('message', (number) => socket.emit('reply', number));
});
let connections = 0;
server.on('connection', () => connections++);
server.listen(Number(process.argv[3] || 0), process.argv[2],
              () => console.log(server.address().port));
