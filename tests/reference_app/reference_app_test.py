#!/usr/bin/env python3
"""The reference application server against the real host.

Starts examples/reference_app/reference_app.py on a temporary socket and
real hosts on pipes, as a browser does, and checks that the server serves
several hosts at once, gets the replay after it comes back, and answers a
host whose connection carries no replay; that it never takes a live socket,
another user's, or a file that is no socket, removes at exit only its own
socket, and keeps to the host's rules for the path; that of two instances
started together over a stale socket exactly one listens; that a message
nested 100,000 deep costs it nothing; and, run as root, that it serves
nobody of another user and leaves another user's socket alone.
Frames are read here with this file's own reader, not the host's.

    reference_app_test.py HOST SERVER
"""

import importlib.util
import json
import os
import pwd
import queue
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading

DEADLINE = 10.0  # seconds any one expected event may take


class Host:
    """A host started as a browser starts one. A thread reads its frames: the
    status messages set `app`, every other frame is queued."""

    def __init__(self, binary, socket_path):
        env = dict(os.environ, OSTREL_SOCKET_PATH=socket_path)
        self.process = subprocess.Popen([binary, "chrome-extension://test/"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.frames = queue.Queue()
        self.app = None
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        out = self.process.stdout
        while True:
            header = out.read(4)
            if len(header) < 4:
                return
            (length,) = struct.unpack("<I", header)
            message = json.loads(out.read(length))
            if message.get("type") == "status":
                with self.changed:
                    self.app = message["app"]
                    self.changed.notify_all()
            else:
                self.frames.put(message)

    def send(self, message):
        payload = json.dumps(message).encode()
        self.process.stdin.write(struct.pack("<I", len(payload)) + payload)
        self.process.stdin.flush()

    def wait_app(self, app):
        with self.changed:
            check(self.changed.wait_for(lambda: self.app == app, timeout=DEADLINE),
                  f"the host did not report {app} within {DEADLINE} s")

    def ping(self, n):
        self.send({"type": "ping", "n": n})
        try:
            got = self.frames.get(timeout=DEADLINE)
        except queue.Empty:
            sys.exit(f"FAIL: no pong {n} within {DEADLINE} s")
        check(got.get("type") == "pong" and got.get("n") == n, f"expected pong {n}, got {got}")
        return got

    def close(self):
        self.process.stdin.close()
        status = self.process.wait(timeout=DEADLINE)
        errors = self.process.stderr.read()
        check(status == 0 and not errors, f"host ended with {status}, stderr {errors!r}")


def check(condition, message):
    if not condition:
        sys.exit(f"FAIL: {message}")


class Server:
    def __init__(self, script, socket_path, python=sys.executable, **user):
        self.process = subprocess.Popen([python, script, "--socket", socket_path],
                                        stdout=subprocess.PIPE, text=True, **user)
        line = self.process.stdout.readline()
        check(line.startswith("listening on "), f"the server said {line!r}")

    def stop(self):
        self.process.terminate()
        check(self.process.wait(timeout=DEADLINE) == 0, "the server did not end cleanly")


def refused(script, path, python=sys.executable, **user):
    """Runs the server where it must refuse to listen; what it said."""
    done = subprocess.run([python, script, "--socket", path], capture_output=True,
                          text=True, timeout=DEADLINE, **user)
    check(done.returncode != 0 and "listening" not in done.stdout,
          f"the server listened on {path}: {done.stdout!r}")
    return done.stderr


def listening_socket(path):
    """A socket of this test's own, listening at `path`."""
    own = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    own.bind(path)
    own.listen()
    return own


def accepts(path):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


def check_safety(host_binary, script, folder):
    """Never a live socket, another file, a long path or an open folder; at exit only
    its own socket; the host's rules for the default path."""
    path = os.path.join(folder, "safe", "browser.sock")
    server = Server(script, path)
    check(stat.S_IMODE(os.lstat(path).st_mode) == 0o600, "the socket file is open to others")
    said = refused(script, path)
    check(f"another instance of the application listens on {path}" in said, said)
    host = Host(host_binary, path)
    host.wait_app("connected")
    # Nested past every parser's limit: not JSON to the host, nor to the
    # server, which reads on.
    payload = b"[" * 100000 + b"]" * 100000
    host.process.stdin.write(struct.pack("<I", len(payload)) + payload)
    host.ping(1)
    host.close()

    # Replaced meanwhile by another program's socket: left to it at exit.
    os.unlink(path)
    other = listening_socket(path)
    server.stop()
    check(accepts(path), "the server removed a socket that was no longer its own")
    check(not os.path.lexists(path + ".lock"), "the server left its lock file behind")
    said = refused(script, path)
    check(f"another program listens on {path}" in said, said)
    other.close()

    # Two instances started together over the stale socket: exactly one
    # listens, the other says that one does.
    for round_ in range(10):
        both = [subprocess.Popen([sys.executable, script, "--socket", path], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for _ in range(2)]
        said = [started.stdout.readline() for started in both]
        listening = [line.startswith("listening on ") for line in said]
        errors = [started.stderr.read() if not up else "" for started, up in zip(both, listening)]
        for started in both:
            started.terminate()
            started.wait(timeout=DEADLINE)
        check(listening.count(True) == 1, f"round {round_}: {said} {errors}")
        check("another instance of the application listens" in "".join(errors), errors)
        listening_socket(path).close()  # stale again
    os.unlink(path)

    with open(path, "w") as plain:
        plain.write("mine")
    check("is not a socket" in refused(script, path), "a plain file was taken")
    check(open(path).read() == "mine", "a plain file was changed")
    said = refused(script, os.path.join(folder, "l" * 120))
    check("1 to 103 bytes" in said, said)
    opened = os.path.join(folder, "open")
    os.mkdir(opened)
    os.chmod(opened, 0o755)
    said = refused(script, os.path.join(opened, "browser.sock"))
    check("is open to others" in said, said)

    found = importlib.util.spec_from_file_location("reference_app", script)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    own_home = pwd.getpwuid(os.getuid()).pw_dir
    default = os.path.join("Library", "Application Support", "ostrel", "browser.sock")
    for home in ("", "relative", "~"):
        check(module.socket_path({"HOME": home}) == os.path.join(own_home, default),
              f"HOME={home!r} was taken")
    check(module.socket_path({"HOME": "/h"}) == os.path.join("/h", default), "HOME was not taken")
    check(module.socket_path({"HOME": "/h", "OSTREL_SOCKET_PATH": ""}) == "",
          "OSTREL_SOCKET_PATH was not taken as it is")


def check_other_user(script, folder):
    """Run as root: a server of another user serves no process of root, and neither takes
    nor removes root's live socket in a shared folder."""
    if os.geteuid() != 0:
        print("SKIP: another user's server needs root")
        return
    nobody = pwd.getpwnam("nobody")
    as_nobody = {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}
    # An interpreter that the other user may run (this one may lie in root's home).
    for python in (sys.executable, "/usr/bin/python3"):
        try:
            tried = subprocess.run([python, "-c", ""], capture_output=True, **as_nobody)
        except OSError:
            continue
        if tried.returncode == 0:
            as_nobody["python"] = python
            break
    else:
        print("SKIP: no Python interpreter that nobody may run")
        return
    os.chmod(folder, 0o755)  # so that nobody reaches what lies below
    copy = os.path.join(folder, "reference_app.py")
    shutil.copy(script, copy)
    os.chmod(copy, 0o644)

    shared = os.path.join(folder, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)
    roots = os.path.join(shared, "browser.sock")
    live = listening_socket(roots)
    said = refused(copy, roots, **as_nobody)
    check("belongs to user id 0" in said, said)
    check(accepts(roots), "another user's live socket was taken")
    live.close()
    said = refused(copy, roots, **as_nobody)  # now stale, and still root's
    check("belongs to user id 0" in said, said)
    check(os.path.lexists(roots), "another user's socket was removed")

    own = os.path.join(folder, "nobody")
    os.mkdir(own, 0o700)
    os.chown(own, nobody.pw_uid, nobody.pw_gid)
    path = os.path.join(own, "browser.sock")
    server = Server(copy, path, **as_nobody)
    peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    peer.settimeout(DEADLINE)
    peer.connect(path)  # root passes the folder's permissions; the server's own check decides
    payload = json.dumps({"type": "ping"}).encode()
    try:
        peer.sendall(struct.pack("<I", len(payload)) + payload)
        answer = peer.recv(100)
    except (ConnectionResetError, BrokenPipeError):
        answer = b""  # closed before the message was even written
    peer.close()
    check(answer == b"", f"a process of root was answered: {answer!r}")
    server.stop()
    check(not os.path.lexists(path), "the server left its socket file behind")


def main():
    host_binary, script = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        check_safety(host_binary, script, folder)
    with tempfile.TemporaryDirectory() as folder:
        check_other_user(script, folder)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "app", "browser.sock")

        # Two hosts at once, as two ports or profiles make them.
        server = Server(script, path)
        first, second = Host(host_binary, path), Host(host_binary, path)
        for host, name in ((first, "one"), (second, "two")):
            host.wait_app("connected")
            host.send({"type": "hello", "extension": name})
            host.send({"type": "focus", "tab": name})
        for host, name in ((first, "one"), (second, "two")):
            pong = host.ping(1)
            check(pong["hello"] == {"type": "hello", "extension": name}, f"{name}: {pong}")
            check(pong["state"] == {"type": "focus", "tab": name}, f"{name}: {pong}")
        check(first.ping(2)["connection"] != second.ping(2)["connection"],
              "two hosts shared one connection")
        check(oct(os.stat(os.path.dirname(path)).st_mode & 0o777) == "0o700",
              "the socket's folder is not private")

        # The server goes and comes back: the host's retry replays hello
        # and the latest state, before it reports "connected".
        server.stop()
        first.wait_app("unavailable")
        second.wait_app("unavailable")
        first.send({"type": "blur", "tab": "one"})
        server = Server(script, path)
        first.wait_app("connected")
        pong = first.ping(3)
        check(pong["hello"] == {"type": "hello", "extension": "one"}, f"no replayed hello: {pong}")
        check(pong["state"] == {"type": "blur", "tab": "one"}, f"no replayed blur: {pong}")

        # A host whose connection carried no replay (nothing cached yet, or
        # opened by a browser message) is answered all the same.
        third = Host(host_binary, path)
        third.wait_app("connected")
        pong = third.ping(4)
        check(pong["hello"] is None and pong["state"] is None, f"unexpected state: {pong}")
        third.close()
        first.close()
        second.close()
        server.stop()
        check(not os.path.exists(path), "the server left its socket file behind")
    print("PASS")


if __name__ == "__main__":
    main()
