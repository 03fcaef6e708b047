#!/usr/bin/env python3
"""The reference application server against the real host.

Starts examples/reference_app/reference_app.py on a temporary socket and
real hosts on pipes, as a browser does, and checks that the server serves
several hosts at once, gets the replay after it comes back, and answers a
host whose connection carries no replay. Frames are read here with this
file's own reader, not the host's.

    reference_app_test.py HOST SERVER
"""

import json
import os
import queue
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
    def __init__(self, script, socket_path):
        self.process = subprocess.Popen([sys.executable, script, "--socket", socket_path],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        check(line.startswith("listening on "), f"the server said {line!r}")

    def stop(self):
        self.process.terminate()
        check(self.process.wait(timeout=DEADLINE) == 0, "the server did not end cleanly")


def main():
    host_binary, script = sys.argv[1], sys.argv[2]
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
