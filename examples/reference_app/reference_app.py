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
  application the same way), on Linux and macOS alike, and a peer that
  cannot be checked is refused too;
- the socket lies in a private folder (the user's own, mode 0700), is not
  open to others, replaces only a stale socket of this user (never one where
  something listens), and is removed at exit only while it is still this
  server's own;
- one instance at a time: it holds an exclusive lock on PATH.lock while it
  listens (libostrel-app's listen takes the same lock), so that of two
  instances started together exactly one listens;
- one host that stops reading holds up no other: each connection waits for
  its own writes to drain before it reads on.

It answers {"type": "ping"} with {"type": "pong"} carrying what it knows of
that connection, sends {"type": "echo", ...} back unchanged (for
ostrel-app-check --echo echo), and prints one line per event on standard
output.

    reference_app.py [--socket PATH]

PATH defaults to $OSTREL_SOCKET_PATH, else the host's default path below the
home folder ($HOME when it is absolute, else the password database's).
"""

import argparse
import asyncio
import fcntl
import json
import os
import pwd
import signal
import socket
import stat
import struct
import sys

MAX_PAYLOAD = 1024 * 1024
MAX_PATH_BYTES = 103  # what fits a socket address everywhere; the host tries no longer path
DEFAULT_RELATIVE = os.path.join("Library", "Application Support", "ostrel", "browser.sock")
SHOWN = 200  # characters of a message printed


def say(*words):
    print(*words, flush=True)


def home_folder(environ=os.environ):
    """The home folder as the host takes it, or None."""
    home = environ.get("HOME")
    if home and home.startswith("/"):
        return home
    try:
        home = pwd.getpwuid(os.getuid()).pw_dir
    except KeyError:
        return None
    return home if home.startswith("/") else None


def socket_path(environ=os.environ):
    """Where the host connects: OSTREL_SOCKET_PATH as it is, else below the home folder."""
    if "OSTREL_SOCKET_PATH" in environ:
        return environ["OSTREL_SOCKET_PATH"]
    home = home_folder(environ)
    return os.path.join(home, DEFAULT_RELATIVE) if home else None


def peer_uid(sock):
    """The user id of the process at the other end, or None when it cannot be told."""
    try:
        if hasattr(socket, "SO_PEERCRED"):  # Linux: struct ucred {pid, uid, gid}
            creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
            return struct.unpack("3i", creds)[1]
        if sys.platform == "darwin":  # getsockopt(SOL_LOCAL, LOCAL_PEERCRED): struct xucred
            creds = sock.getsockopt(0, 0x001, struct.calcsize("IIh16I"))
            version, uid = struct.unpack_from("II", creds)
            return uid if version == 0 else None
    except OSError:
        pass
    return None


def frame(message):
    payload = json.dumps(message, separators=(",", ":")).encode()
    return struct.pack("<I", len(payload)) + payload


def shown(text):
    return text if len(text) <= SHOWN else f"{text[:SHOWN]}... ({len(text)} characters)"


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
        uid = peer_uid(self.writer.get_extra_info("socket"))
        if uid != os.geteuid():
            say(f"#{self.number} refused: a process of user id {uid}, not {os.geteuid()}")
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
        except (asyncio.IncompleteReadError, ConnectionError):
            pass  # the host went away: its browser closed the port
        except asyncio.CancelledError:
            pass  # the server is stopping
        say(f"#{self.number} gone")
        self.writer.close()

    def handle(self, payload):
        try:
            message = json.loads(payload)
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError):
            # Nested past what Python's parser takes is past the host's limit too.
            say(f"#{self.number} sent something that is not JSON it reads ({len(payload)} bytes)")
            return
        kind = message.get("type") if isinstance(message, dict) else None
        say(f"#{self.number} {shown(json.dumps(message, separators=(',', ':')))}")
        if kind == "hello":
            self.hello = message
        elif kind in ("focus", "blur"):
            self.state = message
        elif kind == "echo":
            self.writer.write(struct.pack("<I", len(payload)) + payload)
        elif kind == "ping":
            # No "hello" needed: a connection the browser's message opened
            # carries no replay.
            reply = {"type": "pong", "connection": self.number, "hello": self.hello,
                     "state": self.state}
            if "n" in message:
                reply["n"] = message["n"]
            self.writer.write(frame(reply))


def private_folder(folder):
    """Makes the socket's folder (each missing one with mode 0700) and checks that it is
    this user's own and closed to others, so that nobody else can place, replace or
    reach a socket in it."""
    missing = []
    while folder and not os.path.lexists(folder):
        missing.append(folder)
        folder = os.path.dirname(folder)
    for made in reversed(missing):
        try:
            os.mkdir(made, 0o700)
            os.chmod(made, 0o700)  # whatever the umask
        except FileExistsError:
            pass  # made by someone else meanwhile: checked below
    folder = missing[0] if missing else folder
    status = os.lstat(folder)
    if stat.S_ISLNK(status.st_mode):
        sys.exit(f"error: the folder {folder} is a symbolic link; give its real path")
    if not stat.S_ISDIR(status.st_mode):
        sys.exit(f"error: {folder} is not a folder")
    if status.st_uid != os.geteuid():
        sys.exit(f"error: the folder {folder} belongs to user id {status.st_uid}, not to you: "
                 "keep the socket in a folder of your own")
    if status.st_mode & 0o077:
        sys.exit(f"error: the folder {folder} is open to others "
                 f"({stat.filemode(status.st_mode)}): make it 0700, or choose a private one")


def clear_stale(path):
    """Removes a stale socket of this user at `path`, and nothing else."""
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISSOCK(status.st_mode):
        sys.exit(f"error: {path} exists and is not a socket; not touching it")
    if status.st_uid != os.geteuid():
        sys.exit(f"error: {path} is a socket of user id {status.st_uid}; not touching it")
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.setblocking(False)
    try:
        probe.connect(path)
    except ConnectionRefusedError:
        os.unlink(path)  # nobody listens: a leftover of a crash
        return
    except BlockingIOError:
        pass  # listening, with a full queue
    except OSError as error:
        sys.exit(f"error: cannot tell whether a program listens on {path}: {error.strerror}")
    finally:
        probe.close()
    sys.exit(f"error: another program listens on {path}")


def take_lock(path):
    """Holds the lock of `path` (PATH.lock) for this instance's life; returns its descriptor."""
    lock_path = path + ".lock"
    for _ in range(16):
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            sys.exit(f"error: another instance of the application listens on {path} "
                     f"(it holds {lock_path})")
        held = os.fstat(fd)
        try:
            named = os.lstat(lock_path)
        except FileNotFoundError:
            named = None
        if named and (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino):
            return fd
        os.close(fd)  # removed by its holder meanwhile: try the new one
    sys.exit(f"error: cannot lock {lock_path}: it keeps being replaced")


def listen(path):
    """A listening socket at `path`, safely; returns it with the identity of its file and
    the descriptor of the lock it holds."""
    if not path or len(os.fsencode(path)) > MAX_PATH_BYTES:
        sys.exit(f"error: the socket path must be 1 to {MAX_PATH_BYTES} bytes long "
                 f"(the host tries no other): {path!r}")
    private_folder(os.path.dirname(os.path.abspath(path)))
    lock = take_lock(path)
    try:
        clear_stale(path)
    except SystemExit:
        release_lock(path, lock)
        raise
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        server.bind(path)
    except OSError as error:
        sys.exit(f"error: cannot bind {path}: {error.strerror}")
    os.chmod(path, 0o600)  # before anyone can connect: listen() comes later
    status = os.lstat(path)
    return server, (status.st_dev, status.st_ino), lock


def remove_own(path, identity):
    """Removes the file at `path` unless another program has replaced it since."""
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        return
    if (status.st_dev, status.st_ino) == identity:
        os.unlink(path)


def release_lock(path, lock):
    """Removes the lock file while still holding it, then lets it go."""
    held = os.fstat(lock)
    remove_own(path + ".lock", (held.st_dev, held.st_ino))
    os.close(lock)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--socket", default=socket_path())
    path = parser.parse_args().socket
    if path is None:
        sys.exit("error: no home folder is known: give --socket PATH or set OSTREL_SOCKET_PATH")
    sock, identity, lock = listen(path)
    try:
        server = await asyncio.start_unix_server(
            lambda reader, writer: Connection(reader, writer).serve(), sock=sock)
        say(f"listening on {path}")
        loop, task = asyncio.get_running_loop(), asyncio.current_task()
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(number, task.cancel)
        async with server:
            await server.serve_forever()
    except asyncio.CancelledError:
        pass
    finally:
        remove_own(path, identity)
        release_lock(path, lock)


if __name__ == "__main__":
    asyncio.run(main())
