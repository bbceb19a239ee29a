"""HTTP servers on loopback for the launcher to patch from: a plain one, nginx, a slow one
for interrupting runs, and one that never answers."""

import functools
import http.server
import os
import re
import select
import socket
import socketserver
import struct
import subprocess
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

from .isolation import own
from .poll import eventually, wait_until


def port_free(host, port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as nginx: TIME_WAIT is no use
        try:
            s.bind((host, port))
            return True
        except OSError:
            return False


def accepts(host, port):
    """True when something accepts a connection on host:port."""
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


class Background:
    """A socketserver run by a thread of this process for the length of a with block."""

    def _serve(self, httpd):
        self.httpd = httpd
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    gates = {}
    log = None
    held = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.log.append(self.path)
        for suffix, gate in self.gates.items():
            if self.path.endswith(suffix) and not gate.is_set():
                self.held.append(self.path)
                gate.wait()
                self.held.remove(self.path)
        super().do_GET()


class StaticServer(Background):
    """Serves a directory over HTTP/1.1 on host:port. `holds` ({path suffix: threading.Event})
    keeps a matching reply back until its event is set, e.g. to keep the patch window up until
    it has been seen; the server lets every held reply go when it stops."""

    def __init__(self, root, host, port, holds=None):
        self.log = []
        self.held = []
        self.gates = dict(holds or {})
        handler = type("Handler", (_QuietHandler,), {"gates": self.gates, "log": self.log,
                                                     "held": self.held})
        self._serve(http.server.ThreadingHTTPServer(
            (host, port), functools.partial(handler, directory=str(root))))

    def requests(self):
        """The request paths in order (still percent-encoded)."""
        return list(self.log)

    def holding(self):
        """The paths of the replies held back now."""
        return list(self.held)

    def __exit__(self, *exc):
        for gate in self.gates.values():
            gate.set()
        super().__exit__(*exc)


class Nginx:
    """nginx serving `root` on host:port from a private config; limit_rate slows every reply
    (bytes per second) so a run can be interrupted part-way; `server` is added to the server
    block (location blocks an operator would write)."""

    def __init__(self, root, host, port, limit_rate=None, workdir=None, server=""):
        self.dir = Path(workdir or tempfile.mkdtemp(prefix="vt-nginx-"))
        self.dir.mkdir(parents=True, exist_ok=True)
        self.host, self.port = host, port
        rate = "limit_rate %d;" % limit_rate if limit_rate else ""
        # As root, nginx's workers would drop to nobody, who cannot read private temp dirs.
        user = "user root;" if os.geteuid() == 0 else ""
        (self.dir / "nginx.conf").write_text("""
%(user)s
daemon off;
worker_processes 1;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log;
events { worker_connections 256; }
http {
    access_log %(d)s/access.log;
    client_body_temp_path %(d)s/tmp; proxy_temp_path %(d)s/tmp;
    fastcgi_temp_path %(d)s/tmp; uwsgi_temp_path %(d)s/tmp; scgi_temp_path %(d)s/tmp;
    sendfile on;
    default_type application/octet-stream;
    server {
        listen %(host)s:%(port)d;
        root %(root)s;
        %(rate)s
        %(server)s
    }
}
""" % {"d": self.dir, "host": host, "port": port, "root": Path(root).resolve(), "rate": rate,
       "user": user, "server": server})
        self.proc = None

    def __enter__(self):
        # A group of its own: nginx overwrites its environment, and its workers outlive a
        # killed master.
        self.proc = own(subprocess.Popen(["nginx", "-c", str(self.dir / "nginx.conf"), "-p",
                                          str(self.dir)], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True))
        try:
            wait_until(lambda: self.proc.poll() is not None or accepts(self.host, self.port),
                       10, "nginx listening on %s:%d" % (self.host, self.port))
        except TimeoutError:
            self.__exit__()
            raise
        if self.proc.poll() is not None:
            log = self.dir / "error.log"
            raise RuntimeError("nginx did not start: " +
                               (log.read_text(errors="replace") if log.exists() else "no log"))
        return self

    def requests(self):
        """The request paths of the access log, in order (still percent-encoded)."""
        log = self.dir / "access.log"
        if not log.exists():
            return []
        return [line.split('"')[1].split(" ")[1] for line in log.read_text(errors="replace")
                .splitlines() if '"' in line]

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Hold:
    """One answer a TrickleServer keeps back, made by TrickleServer.hold(): the first request
    from then on that `match(path, index)` accepts (path percent-encoded, index: which request
    since the hold was made, from 0) is stopped before its head, or once `after` bytes (or the
    share `share` of its body) are sent, never after its last byte, until release(). A state
    that lasts: a test waits for held(), kills the client, then releases. A released hold
    takes no request any more; the server releases every hold when it stops."""

    def __init__(self, match, after=None, share=None):
        self.match = match or (lambda path, index: True)
        self.after, self.share = after, share
        self.first = 0  # the server's count of requests when the hold was made
        self._held = threading.Event()
        self._released = threading.Event()
        self.path = self.range = self.index = None
        # Where the body began in the file (a range's start, else 0) and where it stopped:
        # that plus the bytes sent; None when held before the head. The file's whole length.
        self.start = self.position = self.size = None

    def before_head(self):
        return self.after is None and self.share is None

    def point(self, length):
        """How many of `length` body bytes go out before the hold: at least one stays back."""
        want = self.after if self.after is not None else int(self.share * length)
        return max(0, min(want, length - 1))

    def held(self):
        return self._held.is_set()

    def released(self):
        return self._released.is_set()

    def release(self):
        self._released.set()

    def stop_here(self, position):
        self.position = position
        self._held.set()
        self._released.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def __repr__(self):
        where = ("before the head" if self.position is None else
                 "at byte %s of %s" % (self.position, self.size))
        return "%s%s %s" % (self.path, " (%s)" % self.range if self.range else "", where)


class _TrickleHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = b""
    head_delay = 0.0
    rate = 0
    spread = 0.0
    server_of = None  # the TrickleServer: its log and holds
    rewrite = None
    announce = None
    pace = None
    fail = None
    ranges = "honour"

    def log_message(self, *args):
        pass

    def _client_gone(self, wait):
        """True once the client has closed the connection; waits up to `wait` seconds."""
        readable, _, _ = select.select([self.connection], [], [], wait)
        if not readable:
            return False
        try:
            return self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True

    def _count(self, index, n):
        with self.server_of.lock:
            self.server_of.sent[index] = self.server_of.sent.get(index, 0) + n

    def _trickle(self, data, per_second, index):
        """One byte at a time, `per_second` of them a second, until the client goes."""
        for i in range(len(data)):
            self.wfile.write(data[i:i + 1])
            self.wfile.flush()
            self._count(index, 1)
            if self._client_gone(1.0 / per_second):  # paces the body; decides nothing
                return

    def _hold_open(self):
        """Keeps an answer that announced more than it sent open until the client goes."""
        while not self.server_of.stopping.is_set() and not self._client_gone(0.05):
            pass

    def _range_start(self, size):
        """Where a "Range: bytes=N-" asks the body to start; None for the whole body."""
        m = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "").strip())
        if not m or self.ranges == "ignore" or int(m.group(1)) >= size:
            return None
        start = int(m.group(1))
        return max(0, start - 1) if self.ranges == "shifted" else start

    def _send(self, data, spread):
        # The sleeps pace the reply; none of them decides a check.
        if spread:
            steps = max(1, int(spread * 20))
            begun = time.monotonic()
            for k in range(steps):
                self.wfile.write(data[len(data) * k // steps:len(data) * (k + 1) // steps])
                self.wfile.flush()
                time.sleep(max(0.0, begun + spread * (k + 1) / steps - time.monotonic()))
            return
        step = 16384
        for i in range(0, len(data), step):
            self.wfile.write(data[i:i + step])
            self.wfile.flush()
            if self.rate:
                time.sleep(step / self.rate)

    def _fails(self, name, data, seen):
        """Answers as `fail(name, attempt)` asks: a status (with its Retry-After) and no body,
        or a connection reset once that many body bytes are out. False for a plain answer."""
        with self.server_of.lock:
            attempt = sum(1 for e in self.server_of.log if e[0] == seen[0]) - 1
        how = self.fail(name, attempt)
        if how is None:
            return False
        if how[0] == "status":
            seen[2] = how[1]
            self.send_response(how[1])
            if how[2] is not None:
                self.send_header("Retry-After", how[2])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return True
        seen[2] = "reset"
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data[:how[1]])
        self.wfile.flush()
        if len(how) > 2:
            # The reset waits for the client to have taken the bytes (how[2]() says so), so it
            # lands in the middle of the body rather than before the head.
            eventually(how[2], 30, step=0.02)
        # A zero linger turns the close into a reset, as a broken path or a dying server does.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        return True

    def do_GET(self):
        raw = self.path.split("?", 1)[0]
        # A request read after its client was killed (a run ended by the test) takes no hold:
        # the hold is meant for the run the test starts next.
        seen, hold = self.server_of.seen(raw, self.headers.get("Range"),
                                         holdable=not self._client_gone(0))
        # Percent-decoded to bytes, not text: names are stored under their code page 949 bytes.
        rel = urllib.parse.unquote_to_bytes(raw).lstrip(b"/")
        path = os.path.join(self.root, rel)
        if hold is not None and (hold.before_head() or not os.path.isfile(path)):
            hold.stop_here(None)
        if b"/../" in b"/" + rel + b"/" or not os.path.isfile(path):
            seen[2] = 404
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        name = rel.decode("cp949")
        if self.fail and self._fails(name, data, seen):
            return
        if self.rewrite:
            data = self.rewrite(name, data)
        announced = self.announce(name, len(data)) if self.announce else None
        per_second = self.pace(name) if self.pace else None
        start = self._range_start(len(data))
        if hold is not None:
            hold.size, hold.start = len(data), start or 0
        time.sleep(self.head_delay)  # paces the reply
        seen[2] = 200 if start is None else 206
        self.send_response(seen[2])
        if start is not None:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
            data = data[start:]
        self.send_header("Content-Length", str(len(data) if announced is None else announced))
        self.end_headers()
        with self.server_of.lock:
            index = next(i for i, e in enumerate(self.server_of.log) if e is seen)
        if announced is not None or per_second:
            if per_second:
                self._trickle(data, per_second, index)
            else:
                self.wfile.write(data)
                self.wfile.flush()
                self._count(index, len(data))
            if announced is not None and announced > len(data):
                self._hold_open()
            self.close_connection = True
            return
        if hold is None or hold.before_head():
            self._send(data, self.spread)
            return
        point = hold.point(len(data))
        share = point / len(data) if data else 0
        self._send(data[:point], self.spread * share)
        hold.stop_here((start or 0) + point)
        self._send(data[point:], self.spread * (1 - share))


class TrickleServer(Background):
    """Serves `root` slowly: each reply waits `head_delay` seconds, then its body trickles at
    about `rate` bytes a second (0: at once), or with `spread` evenly over that many seconds.
    hold() keeps a chosen answer back at a chosen point until the test lets it go, so a client
    can be killed at that very point of its run.

    It also plays the man in the middle: `rewrite(name, data)` returns the body to send for
    a served file (name relative to the root, '/' separated), sent with its true length;
    `announce(name, length)` a Content-Length to send instead (None: the true one), the body
    then sent as it is and the connection held open until the client goes when it announced
    more; `pace(name)` bytes a second to trickle that body at (None: at once); `fail(name,
    attempt)` (attempt counts the earlier requests of that path) None for a plain answer,
    ("status", code, retry_after) for a bodiless status, or ("reset", n[, taken]) for a reset
    after n body bytes (once taken() is true, when given). sent_bytes()
    tells how many body bytes such answers handed to the network.
    "Range: bytes=N-" is answered with 206 from N (`ranges` "honour"), ignored with a 200
    ("ignore"), or answered one byte early ("shifted")."""

    def __init__(self, root, host, port, head_delay=0.1, rate=400_000, spread=None,
                 rewrite=None, ranges="honour", announce=None, pace=None, fail=None):
        self.log = []  # [path, Range header, status] of every request, in order
        self.when = []  # time.monotonic() each request arrived at
        self.sent = {}  # request index: body bytes sent, for answers announced or paced
        self.stopping = threading.Event()
        self.holds = []  # made and not yet taken
        self.taken = []
        self.lock = threading.Lock()
        handler = type("Handler", (_TrickleHandler,),
                       {"root": os.fsencode(Path(root).resolve()), "head_delay": head_delay,
                        "rate": rate, "spread": spread or 0.0, "server_of": self,
                        "rewrite": staticmethod(rewrite) if rewrite else None,
                        "announce": staticmethod(announce) if announce else None,
                        "pace": staticmethod(pace) if pace else None,
                        "fail": staticmethod(fail) if fail else None,
                        "ranges": ranges})
        self._serve(http.server.ThreadingHTTPServer((host, port), handler))
        # A client killed mid-body is the point of this server, not an error worth a trace.
        self.httpd.handle_error = lambda request, address: None

    def hold(self, match=None, after=None, share=None):
        """A Hold for the next request `match(path, index)` accepts (every request when
        None): before its head, or after `after` bytes or the share `share` of its body."""
        hold = Hold(match, after, share)
        with self.lock:
            hold.first = len(self.log)
            self.holds.append(hold)
        return hold

    def seen(self, path, range_header, holdable=True):
        """Logs a request; its log entry and the hold that takes it, if any."""
        with self.lock:
            entry = [path, range_header, None]
            self.log.append(entry)
            self.when.append(time.monotonic())
            index = len(self.log) - 1
            for hold in self.holds if holdable else []:
                if not hold.released() and hold.match(path, index - hold.first):
                    hold.path, hold.range, hold.index = path, range_header, index - hold.first
                    self.holds.remove(hold)
                    self.taken.append(hold)
                    return entry, hold
        return entry, None

    def requests(self, since=0):
        """The request paths in order (still percent-encoded), from the `since`th on."""
        with self.lock:
            return [path for path, _, _ in self.log[since:]]

    def range_requests(self, since=0):
        """(path, Range header) of the requests that asked for part of a file."""
        with self.lock:
            return [(path, r) for path, r, _ in self.log[since:] if r]

    def arrivals(self, path):
        """When each request for `path` arrived (time.monotonic())."""
        with self.lock:
            return [t for e, t in zip(self.log, self.when) if e[0] == path]

    def sent_bytes(self, suffix):
        """Body bytes sent in answers announced or paced, to requests whose path ends so."""
        with self.lock:
            return sum(n for i, n in self.sent.items() if self.log[i][0].endswith(suffix))

    def answers(self, since=0):
        """(path, Range header, status) of every request, the status None while unanswered."""
        with self.lock:
            return [tuple(entry) for entry in self.log[since:]]

    def __exit__(self, *exc):
        self.stopping.set()
        with self.lock:
            holds = self.holds + self.taken
        for hold in holds:
            hold.release()
        super().__exit__(*exc)


class StallingServer(Background):
    """Accepts every connection and holds it open without a reply until stopped."""

    def __init__(self, host, port):
        stop = self.stop = threading.Event()
        self.count = 0
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.count += 1
                stop.wait()

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True

        self._serve(Server((host, port), Handler))

    def __exit__(self, *exc):
        self.stop.set()
        super().__exit__(*exc)
