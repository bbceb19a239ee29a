"""Shared helpers of the end-to-end tests: the launcher under Wine, its windows under X,
screenshots, and HTTP servers on loopback. Standard library only."""

import argparse
import functools
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def parse_args(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--build", required=True, help="the Windows build directory")
    p.add_argument("--patch-host", required=True, help="VT_PATCH_HOST of that build")
    p.add_argument("--artefacts", default=None, help="where screenshots go")
    a = p.parse_args()
    a.build = Path(a.build).resolve()
    a.artefacts = Path(a.artefacts or a.build / "artefacts").resolve()
    a.artefacts.mkdir(parents=True, exist_ok=True)
    host, _, port = a.patch_host.partition(":")
    a.host, a.port = host, int(port or 80)
    return a


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env["LC_ALL"] = "ko_KR.UTF-8"
    return env


def x_env():
    env = dict(os.environ)
    env["LC_ALL"] = "C.UTF-8"  # the ko_KR locale is not installed for Linux programs
    return env


class AppDir:
    """A fresh installation directory holding a copy of vtlauncher.exe."""

    def __init__(self, build, files=None):
        self.path = Path(tempfile.mkdtemp(prefix="vt-e2e-"))
        shutil.copy2(Path(build) / "vtlauncher.exe", self.path / "vtlauncher.exe")
        for name, data in (files or {}).items():
            target = self.path / name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data if isinstance(data, bytes) else data.encode("cp949"))

    def start(self):
        return subprocess.Popen(["wine", str(self.path / "vtlauncher.exe")], cwd="/",
                                env=wine_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def _xdotool(*args, check=False):
    r = subprocess.run(["xdotool", *map(str, args)], env=x_env(), capture_output=True,
                       text=True)
    if check and r.returncode != 0:
        raise RuntimeError("xdotool %s: %s" % (args, r.stderr.strip()))
    return r.stdout.strip()


def windows():
    """[(id, name)] of the named, mapped windows on the display."""
    out = []
    for wid in _xdotool("search", "--onlyvisible", "--name", ".").split():
        out.append((int(wid), _xdotool("getwindowname", wid)))
    return out


def wait_window(title, timeout=30.0, gone=False):
    """Waits until a visible window titled exactly `title` exists (or, with gone, none does)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        found = [w for w, n in windows() if n == title]
        if found and not gone:
            return found[0]
        if not found and gone:
            return None
        time.sleep(0.2)
    shown = ", ".join(repr(n) for _, n in windows()) or "none"
    raise TimeoutError("window %r %s after %.0f s (windows shown: %s)"
                       % (title, "still there" if gone else "not shown", timeout, shown))


def geometry(wid):
    """(x, y, width, height); without a window manager the X window is the client area."""
    out = _xdotool("getwindowgeometry", "--shell", wid)
    v = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return int(v["X"]), int(v["Y"]), int(v["WIDTH"]), int(v["HEIGHT"])


def click(wid, x, y):
    """A left click at client coordinates (x, y) of the window."""
    _xdotool("mousemove", "--window", wid, x, y, check=True)
    time.sleep(0.1)
    _xdotool("click", "1", check=True)


def key(wid, *keys):
    """Keys go through XTEST to the focused window (Wine ignores synthetic key events)."""
    _xdotool("windowfocus", "--sync", wid)
    time.sleep(0.1)
    _xdotool("key", *keys, check=True)


def screenshot(wid, path):
    subprocess.run(["import", "-window", str(wid), str(path)], env=x_env(), check=True,
                   capture_output=True)
    return path


def wait_exit(proc, timeout):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class StaticServer:
    """Serves a directory over HTTP/1.1 on host:port in a background thread."""

    def __init__(self, root, host, port):
        handler = functools.partial(_QuietHandler, directory=str(root))
        self.httpd = http.server.ThreadingHTTPServer((host, port), handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()


class Checks:
    """Collects named checks and prints 'N passed, N failed' at the end."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what):
        print(("PASS " if ok else "FAIL ") + what, flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        return 1 if self.failed else 0


class Nginx:
    """nginx serving `root` on host:port from a private config; limit_rate slows every reply
    (bytes per second) so a run can be interrupted part-way."""

    def __init__(self, root, host, port, limit_rate=None, workdir=None):
        self.dir = Path(workdir or tempfile.mkdtemp(prefix="vt-nginx-"))
        self.dir.mkdir(parents=True, exist_ok=True)
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
    }
}
""" % {"d": self.dir, "host": host, "port": port, "root": Path(root).resolve(), "rate": rate,
       "user": user})
        self.proc = None

    def __enter__(self):
        self.proc = subprocess.Popen(["nginx", "-c", str(self.dir / "nginx.conf"), "-p",
                                      str(self.dir)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        if self.proc.poll() is not None:
            raise RuntimeError("nginx did not start: " +
                               (self.dir / "error.log").read_text(errors="replace"))
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


class _TrickleHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = b""
    head_delay = 0.0
    rate = 0
    log = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        import urllib.parse
        raw = self.path.split("?", 1)[0]
        self.log.append(raw)
        # Percent-decoded to bytes, not text: names are stored under their code page 949 bytes.
        rel = urllib.parse.unquote_to_bytes(raw).lstrip(b"/")
        path = os.path.join(self.root, rel)
        if b"/../" in b"/" + rel + b"/" or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        time.sleep(self.head_delay)
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        step = 16384
        for i in range(0, len(data), step):
            self.wfile.write(data[i:i + step])
            self.wfile.flush()
            if self.rate:
                time.sleep(step / self.rate)


class TrickleServer:
    """Serves `root` slowly: each reply waits `head_delay` seconds, then its body trickles at
    about `rate` bytes a second, so a run can be interrupted in the middle of any file."""

    def __init__(self, root, host, port, head_delay=0.1, rate=400_000):
        self.log = []
        handler = type("Handler", (_TrickleHandler,),
                       {"root": os.fsencode(Path(root).resolve()), "head_delay": head_delay,
                        "rate": rate, "log": self.log})
        self.httpd = http.server.ThreadingHTTPServer((host, port), handler)
        self.httpd.daemon_threads = True
        # A client killed mid-body is the point of this server, not an error worth a trace.
        self.httpd.handle_error = lambda request, address: None
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def requests(self):
        return list(self.log)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
