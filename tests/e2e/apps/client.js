// The socket.io client: node client.js URL PATH connects, sends 100 messages
// one after another (each answered by a reply) and prints what happened as
// JSON: the replies, the transport it ended on, and when the WebSocket upgrade
// was refused, in milliseconds after the connection opened (1e9: never).
const { io } = require('socket.io-client');

const socket = io(process.argv[2], { path: process.argv[3], reconnection: false });
const result = { replies: [], refusedAfter: 1e9 };
let settled = false;
let opened;
const finish = () => {
  result.transport = socket.io.engine.transport.name;
  console.log(JSON.stringify(result));
  process.exit(0);
};
setTimeout(finish, 30000);
socket.io.on('open', () => {
  opened = Date.now();
  socket.io.engine.on('upgrade', () => { settled = true; });
  socket.io.engine.on('upgradeError', () => {
    settled = true;
    result.refusedAfter = Date.now() - opened;
  });
});
socket.on('connect', () => socket.emit('message', 0));
socket.on('reply', (number) => {
  result.replies.push(number);
  if (number < 99) return socket.emit('message', number + 1);
  setInterval(() => settled && finish(), 50);
});
