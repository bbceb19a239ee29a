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
  anything else       a file below --root (trickled over --slow seconds), else 404

Every request line is appended to --log. Run in the foreground, or with --pidfile to detach.
Standard library only.
"""

import argparse
import http.server
import os
import socketserver
import sys
import threading
import time
from pathlib import Path


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
        try:
            os.kill(int(Path(a.pidfile).read_text()), 15)
        except (OSError, ValueError):
            pass
        return 0
    if a.pidfile and Path(a.pidfile).exists():  # a server left over from an aborted run
        try:
            os.kill(int(Path(a.pidfile).read_text()), 15)
            time.sleep(0.3)
        except (OSError, ValueError):
            pass
    server = Server(a.host, a.port, a.root, a.log, slow=a.slow)  # bind before detaching: errors show
    if a.pidfile:
        if os.fork() > 0:
            return 0
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):  # whoever started us must not wait for our output
            os.dup2(null, fd)
        Path(a.pidfile).write_text(str(os.getpid()))
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
