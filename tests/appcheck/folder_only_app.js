#!/usr/bin/env node
// An application server in Node.js, core modules only, as the application
// developers' page allows a runtime without a peer-credential call to
// write one: it checks no peer, and relies on its private folder (0700,
// checked at every start) to keep other users out. Otherwise it does what
// every application must: removes only a stale socket, makes its socket
// 0600, serves any number of hosts side by side, reads frames of up to
// 1 MiB, queues at most 1 MiB for a host that does not read (and reads no
// more of it meanwhile), and on SIGTERM removes its socket file while it is
// still its own (without server.close(), which would remove whatever is at
// the path).
//
//   folder_only_app.js SOCKET
//
// It answers {"type":"ping"} with {"type":"pong","hello":H,"state":S} (the
// connection's last "hello" and "focus"/"blur"), and sends a message of
// type "echo" back unchanged.
'use strict';

const fs = require('fs');
const net = require('net');
const path = require('path');

const MAX_PAYLOAD = 1024 * 1024;
const MAX_QUEUED = 1024 * 1024;
const socketPath = process.argv[2];

function fail(message) {
  process.stderr.write(`error: ${message}\n`);
  process.exit(1);
}

function privateFolder(folder) {
  fs.mkdirSync(folder, {recursive: true, mode: 0o700});
  const status = fs.lstatSync(folder);
  if (!status.isDirectory()) fail(`${folder} is not a folder`);
  if (status.uid !== process.geteuid()) fail(`the folder ${folder} is not this user's`);
  if ((status.mode & 0o077) !== 0) fail(`the folder ${folder} is open to others: make it 0700`);
}

// Removes a stale socket (a connection is refused), then calls `then`.
function clearStale(then) {
  let status;
  try {
    status = fs.lstatSync(socketPath);
  } catch (error) {
    if (error.code === 'ENOENT') return then();
    throw error;
  }
  if (!status.isSocket()) fail(`${socketPath} exists and is not a socket`);
  if (status.uid !== process.geteuid()) fail(`${socketPath} is another user's socket`);
  const probe = net.connect(socketPath);
  probe.on('connect', () => {
    probe.destroy();
    fail(`another program listens on ${socketPath}`);
  });
  probe.on('error', (error) => {
    if (error.code !== 'ECONNREFUSED') fail(`cannot tell whether a program listens: ${error.code}`);
    fs.unlinkSync(socketPath);
    then();
  });
}

function frame(payload) {
  const header = Buffer.alloc(4);
  header.writeUInt32LE(payload.length);
  return Buffer.concat([header, payload]);
}

function serve(socket) {
  let pending = Buffer.alloc(0);
  let hello = null;
  let state = null;
  socket.on('error', () => {});  // a host killed by its browser resets its end
  const answer = (payload) => {
    if (!socket.write(frame(payload)) && socket.writableLength > MAX_QUEUED) {
      socket.pause();  // read on once the host has read
      socket.once('drain', () => socket.resume());
    }
  };
  const handle = (payload) => {
    let message;
    try {
      message = JSON.parse(payload.toString('utf8'));
    } catch (error) {
      return;  // not JSON: nothing to answer
    }
    const type = message && typeof message === 'object' ? message.type : undefined;
    if (type === 'hello') hello = message;
    if (type === 'focus' || type === 'blur') state = message;
    if (type === 'echo') answer(payload);
    if (type === 'ping') answer(Buffer.from(JSON.stringify({type: 'pong', hello, state})));
  };
  socket.on('data', (bytes) => {
    pending = Buffer.concat([pending, bytes]);
    while (pending.length >= 4) {
      const length = pending.readUInt32LE(0);
      if (length > MAX_PAYLOAD) return socket.destroy();
      if (pending.length < 4 + length) break;
      handle(pending.subarray(4, 4 + length));
      pending = pending.subarray(4 + length);
    }
  });
}

if (!socketPath) fail('usage: folder_only_app.js SOCKET');
privateFolder(path.dirname(path.resolve(socketPath)));
clearStale(() => {
  const server = net.createServer(serve);
  const mask = process.umask(0o177);  // the socket file is made 0600
  server.listen(socketPath, () => {
    process.umask(mask);
    const own = fs.lstatSync(socketPath);
    console.log(`listening on ${socketPath}`);
    process.on('SIGTERM', () => {
      try {
        const now = fs.lstatSync(socketPath);
        if (now.dev === own.dev && now.ino === own.ino) fs.unlinkSync(socketPath);
      } catch (error) {
        // gone already
      }
      process.exit(0);
    });
  });
  server.on('error', (error) => fail(`cannot listen on ${socketPath}: ${error.message}`));
});
