"""What stands between a launcher and the origin in the field: squid as a caching edge that
caches hard (as a misconfigured CDN edge does), a gate in front of the origin that holds one
answer while the test acts, and WinINet's proxy in the Wine prefix."""

import contextlib
import hashlib
import http.client
import http.server
import os
import pwd
import signal
import subprocess
import threading
from pathlib import Path

from .inifile import read_ini
from .isolation import end_process, own
from .launcher import wine_env
from .patchtree import installed_as_served
from .poll import wait_until
from .publish import publish, served_expected, write_tree
from .servers import Hold, Background, accepts

# What the edge does with every answer: keep it a year whatever the origin or the client says.
HARD = ("refresh_pattern . 525600 100% 525600 override-expire override-lastmod ignore-reload "
        "ignore-no-store ignore-private")
HOP = {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "te", "trailer",
       "upgrade", "content-length"}


class Squid:
    """squid 5 in the foreground (-N) on host:port from a config, cache, pid file and logs of
    its own below `workdir`. With `origin` ((host, port)) it is a reverse proxy (accel) in
    front of that origin; without, a forward proxy. Every answer is cached as HARD says;
    PURGE from loopback drops one. `extra` is added to the configuration."""

    def __init__(self, workdir, host, port, origin=None, extra=""):
        self.dir = Path(workdir)
        self.host, self.port = host, port
        self.dir.mkdir(parents=True, exist_ok=True)
        # squid will not run as root: it drops to the package's user, who must reach its files.
        # The test's private temporary folders above it are opened for passing through, not
        # for reading; nothing outside the system's temporary folder is touched.
        user = pwd.getpwnam("proxy")
        system_temp = Path(os.environ.get("TMPDIR") or "/tmp").resolve()
        for parent in self.dir.resolve().parents:
            mode = parent.stat().st_mode
            if system_temp in parent.parents and not mode & 0o001:
                parent.chmod(mode | 0o011)
        os.chown(self.dir, user.pw_uid, user.pw_gid)
        self.accelerated = bool(origin)
        if origin:
            front = ("http_port %s:%d accel defaultsite=%s:%d no-vhost\n"
                     "cache_peer %s parent %d 0 no-query no-digest originserver name=origin\n"
                     "cache_peer_access origin allow all\n" % (host, port, host, port, *origin))
        else:
            front = "http_port %s:%d\n" % (host, port)
        d = self.dir
        (d / "squid.conf").write_text(front + """
acl loopback src 127.0.0.0/8
acl purge method PURGE
http_access allow purge loopback
http_access deny purge
http_access allow loopback
http_access deny all
visible_hostname vt-edge
pid_filename %(d)s/squid.pid
cache_log %(d)s/cache.log
logformat edge %%ts.%%03tu %%Ss/%%03>Hs %%<st %%rm %%ru
access_log stdio:%(d)s/access.log edge
strip_query_terms off
coredump_dir %(d)s
cache_dir ufs %(d)s/cache 256 4 16
cache_mem 64 MB
maximum_object_size 256 MB
maximum_object_size_in_memory 16 MB
%(hard)s
icp_port 0
htcp_port 0
pinger_enable off
dns_nameservers 127.0.0.1
netdb_filename none
shutdown_lifetime 0 seconds
%(extra)s
""" % {"d": d, "hard": HARD, "extra": extra})
        self.proc = None

    def _squid(self, *args):
        return ["squid", "-N", "-f", str(self.dir / "squid.conf"), *args]

    def __enter__(self):
        made = subprocess.run(self._squid("-z"), capture_output=True, text=True, timeout=60)
        if made.returncode != 0:
            raise RuntimeError("squid -z failed: %s" % made.stderr[-800:])
        # A group of its own, registered: its helpers go with it on every path out.
        self.proc = own(subprocess.Popen(self._squid(), stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True))
        try:
            wait_until(lambda: self.proc.poll() is not None or accepts(self.host, self.port), 30,
                       "squid listening on %s:%d" % (self.host, self.port))
            if self.proc.poll() is not None:
                raise RuntimeError("squid did not start: " + self.log_tail())
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        if self.proc is None:
            return
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.proc.pid, signal.SIGTERM)
        end_process(self.proc)
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.proc.pid, signal.SIGKILL)  # helpers that outlived it

    def log_tail(self):
        log = self.dir / "cache.log"
        return log.read_text(errors="replace")[-1500:] if log.exists() else "no cache.log"

    def entries(self):
        """(result code, status, method, URL) of each answer in the access log, in order."""
        log = self.dir / "access.log"
        if not log.exists():
            return []
        out = []
        for line in log.read_text(errors="replace").splitlines():
            fields = line.split()
            if len(fields) >= 5 and "/" in fields[1]:
                code, _, status = fields[1].partition("/")
                out.append((code, status, fields[3], fields[4]))
        return out

    def purge(self, url):
        """Drops `url` (as the edge keys it: http://host:port/path) from the cache; the
        status (200 dropped, 404 not held)."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            target = "/" + url.split("/", 3)[3] if self.accelerated else url
            conn.request("PURGE", target, headers={"Host": url.split("/")[2]})
            r = conn.getresponse()
            r.read()
            return r.status
        finally:
            conn.close()


def hits(entries, what=lambda url: True):
    """The answers of `entries` the edge gave from its cache."""
    return [e for e in entries if "HIT" in e[0] and what(e[3])]


class GateHold(Hold):
    """A Hold a Gate takes: held from the moment it trickles, not only once it stops."""

    def holding(self, position):
        self.position = position
        self._held.set()

    def wait(self, seconds):
        """True once released; waits up to `seconds`."""
        return self._released.wait(seconds)


class _GateHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    gate = None

    def log_message(self, *args):
        pass

    def do_GET(self):
        hold = self.gate.seen(self.path)
        if hold is not None and hold.before_head():
            hold.stop_here(None)
        conn = http.client.HTTPConnection(*self.gate.origin, timeout=60)
        try:
            conn.request("GET", self.path, headers={k: v for k, v in self.headers.items()
                                                    if k.lower() not in HOP})
            r = conn.getresponse()
            body = r.read()
        finally:
            conn.close()
        self.send_response(r.status)
        for k, v in r.getheaders():
            if k.lower() not in HOP:
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if hold is None or hold.before_head():
            self.wfile.write(body)
            return
        hold.size, hold.start = len(body), 0
        point = hold.point(len(body))
        self.wfile.write(body[:point])
        self.wfile.flush()
        point = self._trickle(hold, body, point)
        hold.holding(point)
        self.wfile.write(body[point:])

    def _trickle(self, hold, body, point):
        """Until the hold is released, a little of the body every `pace` seconds (but never
        its last byte), so the answer stays within the launcher's rule for slow answers while
        it is held. Returns how far it got."""
        hold.holding(point)
        while not hold.wait(self.gate.pace):  # paces the trickle; decides nothing
            step = min(self.gate.step, len(body) - 1 - point)
            if step > 0:
                self.wfile.write(body[point:point + step])
                self.wfile.flush()
                point += step
                hold.holding(point)
        return point


class Gate(Background):
    """An HTTP server on host:port that passes every GET on to `origin` ((host, port)) and
    back. hold() keeps one answer back, as TrickleServer.hold() does: before its head, or
    inside its body, where it trickles `step` bytes every `pace` seconds (never the last one)
    until released, so a launcher keeps it as a slow answer rather than abandoning it."""

    def __init__(self, host, port, origin, pace=0.4, step=1024):
        self.origin, self.pace, self.step = origin, pace, step
        self.log = []
        self.holds = []
        self.taken = []
        self.lock = threading.Lock()
        handler = type("Handler", (_GateHandler,), {"gate": self})
        self._serve(http.server.ThreadingHTTPServer((host, port), handler))
        self.httpd.handle_error = lambda request, address: None

    def hold(self, match=None, share=None):
        hold = GateHold(match, share=share)
        with self.lock:
            hold.first = len(self.log)
            self.holds.append(hold)
        return hold

    def seen(self, path):
        with self.lock:
            self.log.append(path)
            index = len(self.log) - 1
            for hold in self.holds:
                if hold.match(path, index - hold.first):
                    hold.path, hold.index = path, index - hold.first
                    self.holds.remove(hold)
                    self.taken.append(hold)
                    return hold
        return None

    def requests(self, since=0):
        with self.lock:
            return list(self.log[since:])

    def __exit__(self, *exc):
        with self.lock:
            holds = self.holds + self.taken
        for hold in holds:
            hold.release()
        super().__exit__(*exc)


INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_VALUES = ("ProxyEnable", "ProxyServer", "ProxyOverride")


def _reg(*args):
    return subprocess.run(["wine", "reg", *args], env=wine_env(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)


def _reg_value(name):
    """(type, data) of a value of INTERNET_SETTINGS, or None when it is not there."""
    r = _reg("query", INTERNET_SETTINGS, "/v", name)
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        fields = line.split(None, 2)
        if len(fields) >= 2 and fields[0] == name and fields[1].startswith("REG_"):
            return fields[1], fields[2].strip() if len(fields) > 2 else ""
    return None


def _reg_set(name, value):
    if value is None:
        _reg("delete", INTERNET_SETTINGS, "/v", name, "/f")
        return
    kind, data = value
    if kind == "REG_DWORD":
        data = str(int(data, 0))
    r = _reg("add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", data, "/f")
    if r.returncode != 0:
        raise RuntimeError("wine reg add %s failed: %s" % (name, r.stderr[-300:]))


def proxy_settings():
    """{value name: (type, data) or None} of WinINet's proxy values in the prefix."""
    return {name: _reg_value(name) for name in PROXY_VALUES}


@contextlib.contextmanager
def wine_proxy(server):
    """WinINet in the prefix uses `server` (host:port) as its proxy for every address for the
    length of the with block; the values it found are put back on every path out."""
    saved = proxy_settings()
    try:
        _reg_set("ProxyServer", ("REG_SZ", server))
        _reg_set("ProxyOverride", None)
        _reg_set("ProxyEnable", ("REG_DWORD", "1"))
        yield saved
    finally:
        for name in reversed(PROXY_VALUES):
            _reg_set(name, saved[name])


class History:
    """A publisher's history into `root`: an installation-shaped tree published with vtpatch
    (test key), each publish giving some files new bytes. Remembers what an installation
    patched to each serial holds (as served_expected describes it) and each file's bytes."""

    def __init__(self, vtpatch, work, root, rng):
        self.vtpatch, self.work, self.root, self.rng = vtpatch, Path(work), Path(root), rng
        self.files = {"vt.exe": rng.randbytes(rng.randint(200_000, 400_000))}
        for name in ["효과음.wav", "b.wav", "sub/c.wav", "d.wav"]:
            self.files["resource/sound/" + name] = self._payload()
        for i in range(3):
            self.files["resource/data/g%d.bmp" % i] = self._payload()
        for n, count in ((1, 2), (2, 2)):
            for i in range(count):
                self.files["resource/data/card%d/c%d.dat" % (n, i)] = self._payload()
        self.by_serial = {}  # serial: expected installation
        self.bytes_by_serial = {}  # serial: {relative path: bytes}
        self.serial = None

    def _payload(self):
        # Large enough for a gate to trickle through it for a while.
        return self.rng.randbytes(self.rng.randint(60_000, 160_000))

    def prepare(self, changes=3, client=0.3):
        """Gives `changes` payloads (and with the chance `client` vt.exe) new bytes and lays
        the tree out; publish() then only runs vtpatch. Returns the names changed."""
        names = [n for n in self.files if n != "vt.exe"]
        changed = self.rng.sample(names, changes)
        if self.rng.random() < client:
            changed.append("vt.exe")
        for name in changed:
            self.files[name] = self._payload()
        self.tree = write_tree(self.work / "tree", self.files)
        return changed

    def publish(self):
        """Publishes the prepared tree; the new serial."""
        publish(self.vtpatch, self.tree, self.root)
        self.serial = int(read_ini(self.root / "autopatch" / "vtgame.ini")["publish"]["serial"])
        self.by_serial[self.serial] = served_expected(self.root, self.files)
        self.bytes_by_serial[self.serial] = dict(self.files)
        return self.serial

    def objects_between(self, old, new):
        """Object paths (autopatch/objects/xx/sha) of the payloads an installation at serial
        `old` (None: nothing installed) fetches to reach `new`."""
        was = self.bytes_by_serial.get(old, {})
        out = []
        for name, data in self.bytes_by_serial[new].items():
            if was.get(name) != data:
                digest = hashlib.sha256(data).hexdigest()
                out.append((name, "autopatch/objects/%s/%s" % (digest[:2], digest)))
        return out


def _group(rel):
    """The content set a file of an installation belongs to, as the profile keys it."""
    if rel == "vt.exe":
        return "vtgame"
    if rel == "vtgame.ini":
        return "profile"
    if rel.startswith("resource/sound/"):
        return "sound"
    parts = rel.split("/")
    if len(parts) > 3 and parts[2].startswith("card"):
        return parts[2]
    return "graphics"


def serials_per_set(app_path, history, candidates):
    """{set: [serials of `candidates` whose files and recorded versions that set matches]}
    for an installation: each file byte-identical, each recorded version the served one."""
    out = {}
    for serial in candidates:
        expected = history.by_serial[serial]
        groups = {}
        for rel, want in expected.items():
            groups.setdefault(_group(rel), []).append(installed_as_served(app_path, rel, want))
        for group, oks in groups.items():
            out.setdefault(group, [])
            if all(oks):
                out[group].append(serial)
    return out
