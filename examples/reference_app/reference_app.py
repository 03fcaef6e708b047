#!/usr/bin/env python3
"""A reference application server for ostrel-native-host, standard library only.

Listens on the Unix-domain socket the host connects to and serves any number
of hosts at once: a browser starts one host per extension port, so several
ports, profiles and browsers each make their own connection. It shows what
every application must get right:

- frames are a 4-byte little-endian length and that many bytes of UTF-8
  JSON, both ways; a length over 1 MiB is refused by closing the connection
  (the host does the same);
- a connection may begin with a replay ("hello", then "focus" or "blur"),
  but need not: one the host opens because the browser sent a message
  carries that message alone, so nothing may wait for a "hello" first;
- the state of each connection is what its last "hello" and "focus"/"blur"
  said, whenever they came;
- only a host of the application's own user is served (the host checks the
  application the same way).

It answers {"type": "ping"} with {"type": "pong"} carrying what it knows of
that connection, and prints one line per event on standard output.

    reference_app.py [--socket PATH]

PATH defaults to $OSTREL_SOCKET_PATH, else the host's default path.
"""

import argparse
import asyncio
import json
import os
import signal
import socket
import stat
import struct
import sys

MAX_PAYLOAD = 1024 * 1024
DEFAULT_PATH = os.path.join(os.path.expanduser("~"), "Library", "Application Support", "ostrel",
                            "browser.sock")


def say(*words):
    print(*words, flush=True)


def peer_uid(sock):
    """The user id of the process at the other end, or None where unknown."""
    if hasattr(socket, "SO_PEERCRED"):
        creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
        return struct.unpack("3i", creds)[1]
    return None  # macOS: getpeereid is not in Python's standard library


def frame(message):
    payload = json.dumps(message, separators=(",", ":")).encode()
    return struct.pack("<I", len(payload)) + payload


class Connection:
    """One host: one extension port in one browser profile."""

    count = 0

    def __init__(self, reader, writer):
        Connection.count += 1
        self.number = Connection.count
        self.reader, self.writer = reader, writer
        self.hello = None  # the last "hello", replayed or not
        self.state = None  # the last "focus" or "blur"

    async def serve(self):
        sock = self.writer.get_extra_info("socket")
        uid = peer_uid(sock)
        if uid is not None and uid != os.getuid():
            say(f"#{self.number} refused: served to uid {uid}, not {os.getuid()}")
            self.writer.close()
            return
        say(f"#{self.number} connected")
        try:
            while True:
                header = await self.reader.readexactly(4)
                (length,) = struct.unpack("<I", header)
                if length > MAX_PAYLOAD:
                    say(f"#{self.number} sent a frame of {length} bytes, over 1 MiB: closing")
                    break
                self.handle(await self.reader.readexactly(length))
                await self.writer.drain()
        except asyncio.IncompleteReadError:
            pass  # the host went away: its browser closed the port
        except asyncio.CancelledError:
            pass  # the server is stopping
        say(f"#{self.number} gone")
        self.writer.close()

    def handle(self, payload):
        try:
            message = json.loads(payload)
        except (UnicodeDecodeError, json.JSONDecodeError):
            say(f"#{self.number} sent something that is not JSON ({len(payload)} bytes)")
            return
        kind = message.get("type") if isinstance(message, dict) else None
        say(f"#{self.number} {json.dumps(message, separators=(',', ':'))}")
        if kind == "hello":
            self.hello = message
        elif kind in ("focus", "blur"):
            self.state = message
        elif kind == "ping":
            # No "hello" needed: a connection the browser's message opened
            # carries no replay.
            reply = {"type": "pong", "connection": self.number, "hello": self.hello,
                     "state": self.state}
            if "n" in message:
                reply["n"] = message["n"]
            self.writer.write(frame(reply))


def prepare(path):
    """Makes the socket's folder (0700) and clears a stale socket file."""
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, mode=0o700, exist_ok=True)
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return
    if not stat.S_ISSOCK(mode):
        sys.exit(f"error: {path} exists and is not a socket")
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
        sys.exit(f"error: another program listens on {path}")
    except OSError:
        os.unlink(path)  # nobody listens: a leftover of a crash
    finally:
        probe.close()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--socket", default=os.environ.get("OSTREL_SOCKET_PATH", DEFAULT_PATH))
    path = parser.parse_args().socket
    prepare(path)
    server = await asyncio.start_unix_server(
        lambda reader, writer: Connection(reader, writer).serve(), path=path)
    say(f"listening on {path}")
    loop, task = asyncio.get_running_loop(), asyncio.current_task()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, task.cancel)
    try:
        async with server:
            await server.serve_forever()
    except asyncio.CancelledError:
        pass
    finally:
        os.unlink(path)


if __name__ == "__main__":
    asyncio.run(main())
