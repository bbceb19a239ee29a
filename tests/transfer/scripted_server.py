"""An HTTP server on loopback whose paths script the faults the transfer must survive.

  /ok/N               200, HTTP/1.1, Content-Length N, N bytes of the test pattern
  /http10/N           the same with an HTTP/1.0 status line, connection closed after the body
  /status/CODE        that status with a short body
  /nolength/N         200 without Content-Length, body ended by closing the connection
  /zerolength         200 with Content-Length 0
  /chunked/N          200, chunked transfer coding
  /short/A/N          announces A bytes, sends N, closes
  /long/A/N           announces A bytes, sends N (more), closes
  /stallhead/S        reads the request, answers nothing for S seconds, closes
  /stallbody/A/N/S    announces A, sends N, stalls S seconds, closes
  /counter/NAME       a new body on every request ("NAME 1", "NAME 2", ...), marked cacheable
  /trickle/N/S        N bytes spread evenly over S seconds
  /setcookie          200 that sets a cookie for the whole server
  /echocookie[/...]   200 whose body is "cookie:" and the Cookie header the request carried
  /hold/G             reads the request, answers nothing until gate G opens, then 200 with 100
                      bytes of the pattern
  /hold/G/A/N         announces A, sends N, the rest once gate G opens
  /okpeers            the number of connections (client ports) /ok/ answers went to since the
                      last /okpeers
  /open/G             opens gate G; the body is the number of requests that were held at it
  /waiting/G          the number of requests held at gate G now
  anything else       a file below --root (trickled over --slow seconds), else 404

A held request whose client goes away ends there; one still held after HOLD_LIMIT seconds goes
on as if its gate had opened, so a client that never gives up gets a whole answer. A test
names its gates uniquely and opens them when it is done with them.

Every request line is appended to --log. Run in the foreground, or with --pidfile to detach.
Standard library only.
"""

import argparse
import http.server
import os
import select
import signal
import socket
import socketserver
import sys
import threading
import time
from pathlib import Path

HOLD_LIMIT = 60


def pattern(n):
    """The bytes the C++ tests expect: byte i is (i * 131 + i / 256) mod 256."""
    return bytes(((i * 131 + i // 256) & 0xFF) for i in range(n))


_PATTERN_CACHE = {}


def cached_pattern(n):
    if n not in _PATTERN_CACHE:
        _PATTERN_CACHE[n] = pattern(n)
    return _PATTERN_CACHE[n]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    counters = {}
    lock = threading.Lock()

    def log_message(self, fmt, *args):
        pass

    def _log(self):
        if self.server.log_path:
            with self.lock, open(self.server.log_path, "a") as f:
                f.write("%s %s\n" % (self.command, self.path))

    def _raw(self, status_line, headers, body=b"", close=False):
        out = [status_line]
        out += ["%s: %s" % kv for kv in headers]
        if close:
            out.append("Connection: close")
        self.wfile.write(("\r\n".join(out) + "\r\n\r\n").encode("latin-1") + body)
        self.wfile.flush()
        if close:
            self.close_connection = True

    def do_GET(self):
        self._log()
        parts = [p for p in self.path.split("?")[0].split("/") if p]
        kind = parts[0] if parts else ""
        args = parts[1:]
        try:
            handler = getattr(self, "route_" + kind, None)
            if handler is not None:
                return handler(*args)
            return self.route_file()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def route_ok(self, n):
        with self.server.gates_lock:
            self.server.ok_peers.add(self.client_address[1])
        body = cached_pattern(int(n))
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)

    def route_http10(self, n):
        body = cached_pattern(int(n))
        self._raw("HTTP/1.0 200 OK", [("Content-Length", len(body))], body, close=True)

    def route_range(self, n, start_offset="0"):
        # Honours "Range: bytes=<a>-" with 206; the answer starts <start_offset> bytes off the
        # asked position, to play a server that continues at the wrong place.
        body = cached_pattern(int(n))
        asked = self.headers.get("Range", "")
        if asked.startswith("bytes=") and asked.endswith("-") and asked[6:-1].isdigit():
            first = int(asked[6:-1]) + int(start_offset)
            self._raw("HTTP/1.1 206 Partial Content",
                      [("Content-Length", len(body) - first),
                       ("Content-Range", "bytes %d-%d/%d" % (first, len(body) - 1, len(body)))],
                      body[first:])
            return
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)

    def route_redirect(self, n):
        body = b"moved"
        self._raw("HTTP/1.1 302 Found", [("Location", "/ok/%s" % n), ("Content-Length", len(body))],
                  body)

    def route_status(self, code):
        body = b"status " + code.encode()
        self._raw("HTTP/1.1 %s Scripted" % code, [("Content-Length", len(body))], body)

    def route_nolength(self, n):
        self._raw("HTTP/1.1 200 OK", [], cached_pattern(int(n)), close=True)

    def route_peer(self, close=""):
        # The client's port: equal answers mean one connection carried both requests.
        body = str(self.client_address[1]).encode()
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body, close=close == "close")

    def route_zerolength(self):
        self._raw("HTTP/1.1 200 OK", [("Content-Length", 0)])

    def route_chunked(self, n):
        body = cached_pattern(int(n))
        coded = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 700]), body[i:i + 700])
                         for i in range(0, len(body), 700)) + b"0\r\n\r\n"
        self._raw("HTTP/1.1 200 OK", [("Transfer-Encoding", "chunked")], coded)

    def route_short(self, announced, sent):
        self._raw("HTTP/1.1 200 OK", [("Content-Length", announced)],
                  cached_pattern(int(sent)), close=True)

    route_long = route_short

    def _client_gone(self):
        readable, _, _ = select.select([self.connection], [], [], 0)
        if not readable:
            return False
        try:
            return self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True

    def _hold(self, name):
        """Waits at gate `name`: True once it opens (or HOLD_LIMIT passed), False when the
        client went away first."""
        gate = self.server.gate(name)
        self.server.count_waiting(name, 1)
        try:
            end = time.monotonic() + HOLD_LIMIT
            while not gate.wait(0.05):
                if self._client_gone():
                    return False
                if time.monotonic() >= end:
                    return True
            return True
        finally:
            self.server.count_waiting(name, -1)

    def route_hold(self, name, announced=None, sent=None):
        if announced is None:
            if not self._hold(name):
                self.close_connection = True
                return
            body = cached_pattern(100)
            self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)
            return
        body = cached_pattern(int(announced))
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body[:int(sent)])
        if not self._hold(name):
            self.close_connection = True
            return
        self.wfile.write(body[int(sent):])
        self.wfile.flush()

    def route_open(self, name):
        body = str(self.server.open_gate(name)).encode()
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)

    def route_okpeers(self):
        with self.server.gates_lock:
            body = str(len(self.server.ok_peers)).encode()
            self.server.ok_peers.clear()
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)

    def route_waiting(self, name):
        body = str(self.server.count_waiting(name, 0)).encode()
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)

    def route_stallhead(self, seconds):
        time.sleep(float(seconds))
        self.close_connection = True

    def route_stallbody(self, announced, sent, seconds):
        self._raw("HTTP/1.1 200 OK", [("Content-Length", announced)], cached_pattern(int(sent)))
        time.sleep(float(seconds))
        self.close_connection = True

    def route_counter(self, name):
        with self.lock:
            self.counters[name] = self.counters.get(name, 0) + 1
            body = ("%s %d" % (name, self.counters[name])).encode()
        self._raw("HTTP/1.1 200 OK",
                  [("Content-Length", len(body)), ("Cache-Control", "public, max-age=86400"),
                   ("Expires", "Thu, 01 Jan 2099 00:00:00 GMT"),
                   ("Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"), ("ETag", '"same"')],
                  body)

    def route_setcookie(self):
        body = b"cookie set"
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body)),
                                      ("Set-Cookie", "vt=1; Path=/")], body)

    def route_echocookie(self, *_):
        body = ("cookie:" + (self.headers.get("Cookie") or "")).encode("latin-1")
        self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)

    def route_trickle(self, n, seconds):
        self._trickle(cached_pattern(int(n)), float(seconds))

    def _trickle(self, body, seconds):
        n = len(body)
        self._raw("HTTP/1.1 200 OK", [("Content-Length", n)])
        steps = max(1, int(seconds * 20))
        start = time.monotonic()
        for k in range(steps):
            self.wfile.write(body[n * k // steps:n * (k + 1) // steps])
            self.wfile.flush()
            delay = start + seconds * (k + 1) / steps - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def route_file(self):
        root = self.server.root
        target = (root / self.path.split("?")[0].lstrip("/")).resolve() if root else None
        if target and target.is_file() and str(target).startswith(str(root)):
            body = target.read_bytes()
            if self.server.slow:
                return self._trickle(body, self.server.slow)
            self._raw("HTTP/1.1 200 OK", [("Content-Length", len(body))], body)
        else:
            self._raw("HTTP/1.1 404 Not Found", [("Content-Length", 9)], b"not found")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host, port, root=None, log_path=None, slow=0):
        super().__init__((host, port), Handler)
        self.slow = slow  # seconds over which each file below root is trickled
        self.root = Path(root).resolve() if root else None
        self.log_path = log_path
        self.gates_lock = threading.Lock()
        self.gates = {}    # name -> threading.Event, set once the gate is open
        self.waiting = {}  # name -> requests held there now
        self.ok_peers = set()  # client ports of /ok/ answers

    def gate(self, name):
        with self.gates_lock:
            return self.gates.setdefault(name, threading.Event())

    def count_waiting(self, name, change):
        with self.gates_lock:
            self.waiting[name] = self.waiting.get(name, 0) + change
            return self.waiting[name]

    def open_gate(self, name):
        with self.gates_lock:
            held = self.waiting.get(name, 0)
            self.gates.setdefault(name, threading.Event()).set()
            return held


class Background:
    """The server in a thread of the calling Python process."""

    def __init__(self, host, port, **kw):
        self.server = Server(host, port, **kw)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def _ours(pid):
    """Whether process `pid` is a server of this script: a stale pid file may name another."""
    try:
        return Path(__file__).name.encode() in Path("/proc/%d/cmdline" % pid).read_bytes()
    except OSError:
        return False


def _end(pidfile):
    """Ends the server `pidfile` names, if it is still one of ours, and waits until it is gone
    (its port free again)."""
    try:
        pid = int(Path(pidfile).read_text())
    except (OSError, ValueError):
        return
    if _ours(pid):
        os.kill(pid, signal.SIGTERM)
        end = time.monotonic() + 10
        while _ours(pid) and time.monotonic() < end:
            time.sleep(0.05)
    Path(pidfile).unlink(missing_ok=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--root")
    p.add_argument("--log")
    p.add_argument("--slow", type=float, default=0)
    p.add_argument("--pidfile", help="detach and write the process id here")
    p.add_argument("--stop", action="store_true", help="end the server named by --pidfile")
    a = p.parse_args()
    if a.stop:
        _end(a.pidfile)
        return 0
    if a.pidfile:
        _end(a.pidfile)  # a server left over from an aborted run
    server = Server(a.host, a.port, a.root, a.log, slow=a.slow)  # bind before detaching: errors show
    if a.pidfile:
        child = os.fork()
        if child > 0:
            # Written before we return, so a stop that follows at once finds it.
            Path(a.pidfile).write_text(str(child))
            return 0
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):  # whoever started us must not wait for our output
            os.dup2(null, fd)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
