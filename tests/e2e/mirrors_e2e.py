"""Failover to a mirror, for real: a signed patch published with --mirrors, ROOT served by a
mirror nginx and the patch host a front the test controls (healthy, slow but fast enough,
silent after the profile, trickling at 10 KB/s in all, sending wrong bytes for one object, or
down). A player installed at
the older serial updates; each row checks that the run completes, every file is the new
serial's, the serial is recorded and the mirror named as a source, or for the unkeyed launcher
that it fails without asking the mirror. Last, three publishes and a gc: a player at the older
kept serial updates without a single 404."""

import datetime
import http.server
import os
import random
import re
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402
from harness.servers import Background  # noqa: E402

SEED = 20261209
MIRROR = ("127.0.0.72", 18081)
MIRROR_URL = "http://%s:%d/" % MIRROR
PROFILE = "/autopatch/vtgame.signed"
# Bytes a second of all the front's answers together: under the 32 KiB/s a source must keep
# up over 10 s, and twice that.
RATES = {"trickle": 10_000, "slow": 64_000}
# When, after its first object request there, the launcher leaves a bad primary (seconds). A
# silent one is dropped by the rule for slow answers or at the latest by the 10 s stall rule,
# plus a second of scheduling slack; a trickle under 32 KiB/s only by the stall rule: not
# before its 10 s (less the moment between the launcher's start of the request and the front's
# arrival time), and within 15 s on a busy machine.
LEAVE = {"silent": (0.0, 11.0), "trickle": (9.5, 15.0)}
# Time the silent primary may add to a run against the healthy one's: the 15 s leaving a bad
# source may take, plus 10 s that a busy 2-core machine may add to one of the two runs alone
# (Wine's start, the pool's threads, the front's).
ADDED_AT_MOST = 15.0 + 10.0


class _FrontHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    front = None

    def log_message(self, *args):
        pass

    def _wait_for_client_to_go(self):
        """Holds the request unanswered until the client closes or the front stops."""
        while not self.front.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.2)
            if readable:
                try:
                    if self.connection.recv(1, socket.MSG_PEEK) == b"":
                        return
                except OSError:
                    return

    def do_GET(self):
        raw = self.path.split("?", 1)[0]
        entry = self.front.note(raw, self.headers.get("Range"))
        if self.front.mode == "silent" and raw != PROFILE:
            entry[3] = "silent"
            self._wait_for_client_to_go()
            self.close_connection = True
            return
        rel = urllib.parse.unquote_to_bytes(raw).lstrip(b"/")
        path = os.path.join(self.front.root, rel)
        if b"/../" in b"/" + rel + b"/" or not os.path.isfile(path):
            entry[3] = 404
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        if self.front.mode == "corrupt" and "/objects/" in raw and self.front.corrupt_once(raw):
            middle = len(data) // 2
            data = data[:middle] + bytes([data[middle] ^ 0xFF]) + data[middle + 1:]
        m = re.fullmatch(r"bytes=(\d+)-", (self.headers.get("Range") or "").strip())
        start = int(m.group(1)) if m and int(m.group(1)) < len(data) else None
        entry[3] = 200 if start is None else 206
        self.send_response(entry[3])
        if start is not None:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1,
                                                                  len(data)))
            data = data[start:]
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        try:
            if self.front.mode in RATES:
                for i in range(0, len(data), 512):
                    if self.front.stopping.is_set():
                        break
                    self.front.wait_turn(len(data[i:i + 512]))
                    self.wfile.write(data[i:i + 512])
                    self.wfile.flush()
            else:
                self.wfile.write(data)
        except OSError:  # the launcher gave the answer up
            self.close_connection = True


class Front(Background):
    """The patch host: serves `root` as `mode` says, noting (arrival wall time, path, Range,
    status) of every request. "healthy"; "silent": only the profile is answered, every other
    request is held unanswered; "trickle", "slow": RATES over all its answers together;
    "corrupt": the first object asked for gets one byte flipped."""

    def __init__(self, root, host, port, mode):
        self.root, self.mode = os.fsencode(Path(root).resolve()), mode
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.log = []
        self.corrupted = None
        self.next_send = 0.0
        handler = type("Handler", (_FrontHandler,), {"front": self})
        self._serve(http.server.ThreadingHTTPServer((host, port), handler))
        self.httpd.handle_error = lambda request, address: None

    def note(self, path, range_header):
        entry = [time.time(), path, range_header, None]
        with self.lock:
            self.log.append(entry)
        return entry

    def corrupt_once(self, path):
        with self.lock:
            if self.corrupted is None:
                self.corrupted = path
            return self.corrupted == path

    def wait_turn(self, n):
        """Paces one chunk so that all answers together keep to the rate; decides nothing. A
        chunk sent late lets the next ones catch up by at most a quarter of a second, so a busy
        machine does not slow the front below its rate."""
        with self.lock:
            at = max(time.monotonic() - 0.25, self.next_send)
            self.next_send = at + n / RATES[self.mode]
        time.sleep(max(0.0, at - time.monotonic()))

    def entries(self):
        with self.lock:
            return [tuple(e) for e in self.log]

    def __exit__(self, *exc):
        self.stopping.set()
        super().__exit__(*exc)


def mirror_answers(nginx):
    """(path, status) of each request in the mirror's access log."""
    log = nginx.dir / "access.log"
    if not log.exists():
        return []
    out = []
    for line in log.read_text(errors="replace").splitlines():
        parts = line.split('"')
        if len(parts) > 2:
            out.append((parts[1].split(" ")[1], int(parts[2].split()[0])))
    return out


def stamp(text):
    """Seconds since 1970 of a log line's UTC stamp."""
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()


def payloads(rng):
    """An installation-shaped tree: a client, one 4 MiB file and 60 small ones."""
    files = {"vt.exe": rng.randbytes(300_000),
             "resource/data/big.bmp": rng.randbytes(4 * 1024 * 1024),
             "resource/sound/효과음.wav": rng.randbytes(rng.randint(2000, 30000))}
    for i in range(24):
        files["resource/sound/s%02d.wav" % i] = rng.randbytes(rng.randint(2000, 30000))
    for i in range(17):
        files["resource/data/g%02d.bmp" % i] = rng.randbytes(rng.randint(2000, 30000))
    for n in (1, 2, 3):
        for i in range(6):
            files["resource/data/card%d/c%d.dat" % (n, i)] = rng.randbytes(
                rng.randint(2000, 30000))
    return files


class Served:
    """A ROOT published with --mirrors: what an installation at each serial holds."""

    def __init__(self, vtpatch, work):
        self.vtpatch, self.work, self.root = vtpatch, Path(work), Path(work) / "root"
        self.expected = {}

    def publish(self, files):
        tree = harness.write_tree(self.work / "tree", files)
        harness.publish(self.vtpatch, tree, self.root, extra=["--mirrors", MIRROR_URL])
        serial = harness.read_ini(self.root / "autopatch" / "vtgame.ini")["publish"]["serial"]
        self.expected[serial] = harness.served_expected(self.root, files)
        return serial

    def objects(self):
        return sorted(p for p in (self.root / "autopatch" / "objects").rglob("*") if p.is_file())


class Run:
    """One launcher run from an installation holding `files`, the primary a Front over `root`
    in `mode` ("down": nothing listens); what it did."""

    def __init__(self, build, files, exe, root, address, mode, nginx):
        self.app = harness.AppDir(build, files, name="app", exe=exe)
        if mode == "down":
            harness.wait_until(lambda: harness.port_free(*address), 60, "%s:%d free" % address)
        self.front = None if mode == "down" else Front(root, *address, mode)
        mirror_before = len(mirror_answers(nginx))
        log = harness.RunLog()
        began = time.monotonic()
        try:
            if self.front is not None:
                self.front.__enter__()
            with self.app.running() as proc:
                self.how = harness.outcome(proc, timeout=300)
            self.took = time.monotonic() - began
        finally:
            if self.front is not None:
                self.front.__exit__()
        self.lines = log.entries()
        self.mirror = mirror_answers(nginx)[mirror_before:]

    def texts(self):
        return [t for _, _, t in self.lines]

    def first_line(self, pattern):
        return next(((s, t) for s, _, t in self.lines if re.search(pattern, t)), (None, None))

    def lead(self, host):
        """Seconds from the first object request at the front to the line dropping it."""
        asked = [e[0] for e in (self.front.entries() if self.front else [])
                 if "/objects/" in e[1]]
        when, _ = self.first_line(r"^source %s (failed|stalled)" % re.escape(host))
        return None if not asked or when is None else stamp(when) - asked[0]


def check_completed(checks, name, run, expected, serial, host):
    refusals = [t for t in run.texts() if t.startswith("refused")]
    checks.check(run.how == "servers" and not refusals,
                 "[%s] the run ends at the server window, nothing refused (%s %s)"
                 % (name, run.how, refusals))
    wrong = harness.differences(run.app.path, expected)
    checks.check(not wrong, "[%s] every installed file is the new serial's %s" % (name, wrong[:5]))
    got = harness.read_ini(run.app.path / "vtgame.ini").get("publish", {}).get("serial")
    checks.check(got == serial, "[%s] serial %s recorded (%s)" % (name, serial, got))
    placed = [t for t in run.texts() if re.match(r"placed .* from .*%s" % re.escape(
        "%s:%d" % MIRROR), t)]
    checks.check(bool(placed), "[%s] the log names the mirror as a source (%d files)"
                 % (name, len(placed)))
    print("[%s] %.1f s; %d requests at the primary, %d at the mirror" % (
        name, run.took, len(run.front.entries()) if run.front else 0, len(run.mirror)),
        flush=True)


DROPPED = r"^source .* (failed|stalled)"
# name, the primary, lines the log must hold, lines it must not
ROWS = [
    ("healthy primary", "healthy", [], [DROPPED]),
    ("primary at 64 KB/s, slow but enough", "slow", [r"^placed .* from {primary}$"], [DROPPED]),
    ("primary silent after the profile", "silent",
     [r"^source {primary} (failed \(too slow|stalled)"], []),
    ("primary trickling at 10 KB/s", "trickle",
     [r"^source {primary} stalled", r"^placed .* from {primary} and {mirror}"], []),
    ("primary sends wrong bytes for one object", "corrupt",
     [r"^source {primary} failed \(wrong bytes at "], []),
    ("primary down, profile from the kept mirror", "down",
     [r"^asking the mirror {mirror_url}autopatch/ for the signed profile",
      r"^source {primary} failed"], []),
]


def row_checks(checks, name, run, holds, lacks, host):
    subst = {"primary": re.escape(host), "mirror": re.escape("%s:%d" % MIRROR),
             "mirror_url": re.escape(MIRROR_URL)}
    for pattern in holds:
        p = pattern.format(**subst)
        checks.check(any(re.search(p, t) for t in run.texts()),
                     "[%s] the log holds /%s/ (%s)" % (name, p, run.first_line(p)[1]))
    for pattern in lacks:
        p = pattern.format(**subst)
        found = [t for t in run.texts() if re.search(p, t)]
        checks.check(not found, "[%s] the log lacks /%s/ %s" % (name, p, found[:3]))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    rng = random.Random(SEED)
    address = (a.host, a.port)
    host = "%s:%d" % address
    work = Path(tempfile.mkdtemp(prefix="vt-mirrors-"))
    served = Served(harness.vtpatch_path(a.build), work)
    old = served.publish(payloads(rng))
    new_files = payloads(rng)
    fresh = {"vtgame.ini": "[game]\r\ngame=1\r\n", "resource/data/SvrList.dat": b""}
    figures = {}
    with harness.Nginx(served.root, *MIRROR, workdir=work / "nginx") as nginx:
        # The player at the older serial, whose vtgame.ini keeps that profile's mirrors.
        setup = Run(a.build, fresh, harness.SIGNED_EXE, served.root, address, "healthy", nginx)
        if not checks.check(setup.how == "servers" and not harness.differences(
                setup.app.path, served.expected[old]), "a fresh installation is at serial %s"
                % old):
            return checks.finish()
        older = harness.installed_files(setup.app.path)
        checks.check(harness.read_ini(setup.app.path / "vtgame.ini").get("mirrors", {}).get("1")
                     == MIRROR_URL, "the installation keeps the profile's mirror")
        new = served.publish(new_files)
        runs = {}
        for name, mode, holds, lacks in ROWS:
            try:
                run = Run(a.build, older, harness.SIGNED_EXE, served.root, address, mode, nginx)
            except TimeoutError as e:
                checks.check(False, "[%s] %s" % (name, e))
                continue
            runs[mode] = run
            check_completed(checks, name, run, served.expected[new], new, host)
            row_checks(checks, name, run, holds, lacks, host)
        for mode, (earliest, latest) in LEAVE.items():
            lead = runs[mode].lead(host) if mode in runs else None
            figures[mode] = lead
            checks.check(lead is not None and earliest <= lead <= latest,
                         "the launcher leaves the %s primary %s s after its first object request "
                         "(%.1f to %.0f)" % (mode, "%.1f" % lead if lead is not None else "-",
                                             earliest, latest))
        if "healthy" in runs and "silent" in runs:
            added = runs["silent"].took - runs["healthy"].took
            figures["added"] = added
            checks.check(added <= ADDED_AT_MOST, "the silent primary adds %.1f s to the run "
                         "(%.1f against %.1f; at most %.0f)" % (
                             added, runs["silent"].took, runs["healthy"].took, ADDED_AT_MOST))
        trickle = runs.get("trickle")
        if trickle is not None:
            begun = {e[1] for e in trickle.front.entries() if "/objects/" in e[1]}
            continued = [p for p, status in trickle.mirror if status == 206 and p in begun]
            checks.check(bool(continued), "the part begun at the trickling primary goes on at "
                         "the mirror with a range (206 for %s)" % continued)
        corrupt = runs.get("corrupt")
        if corrupt is not None:
            bad = corrupt.front.corrupted
            checks.check(bad is not None and bad in [p for p, _ in corrupt.mirror],
                         "the object sent wrong (%s) comes whole from the mirror" % bad)
        down = runs.get("down")
        if down is not None:
            checks.check(PROFILE in [p for p, _ in down.mirror],
                         "with the primary down the profile comes from the mirror")

        unkeyed_down(checks, a, older, nginx)
        if "healthy" in runs:
            after_gc(checks, a, served, harness.installed_files(runs["healthy"].app.path), nginx,
                     rng)
    print("figures: %s" % {k: None if v is None else round(v, 1) for k, v in figures.items()},
          flush=True)
    return checks.finish()


def unkeyed_down(checks, a, older, nginx):
    """The launcher without a key knows only its built-in host: with that down it fails and
    never asks the mirror its installation lists."""
    name = "unkeyed launcher, primary down"
    try:
        run = Run(a.build, older, "vtlauncher.exe", None, (a.host, a.port), "down", nginx)
    except TimeoutError as e:
        checks.check(False, "[%s] %s" % (name, e))
        return
    checks.check(run.how == "refused", "[%s] the run fails (%s)" % (name, run.how))
    checks.check(not run.mirror, "[%s] the mirror is never asked %s" % (name, run.mirror[:3]))
    checks.check(harness.installed_files(run.app.path) == older,
                 "[%s] the installation is left as it was" % name)


def after_gc(checks, a, served, at_new, nginx, rng):
    """Three publishes, then gc keeping two: a player at the older kept serial updates from
    primary and mirror without a 404."""
    name = "after gc --keep 2"
    third = served.publish(payloads(rng))
    before = len(served.objects())
    gc = subprocess.run([str(served.vtpatch), "gc", str(served.root), "--keep", "2", "--days",
                         "0"], capture_output=True, text=True, timeout=300)
    print("[%s] gc: %d objects before, %d after" % (name, before, len(served.objects())),
          flush=True)
    checks.check(gc.returncode == 0 and re.search(r"removed [1-9]\d* objects", gc.stdout),
                 "[%s] gc removes the first serial's objects (%d): %s"
                 % (name, gc.returncode, (gc.stdout + gc.stderr).strip()[-300:]))
    try:
        run = Run(a.build, at_new, harness.SIGNED_EXE, served.root, (a.host, a.port), "healthy",
                  nginx)
    except TimeoutError as e:
        checks.check(False, "[%s] %s" % (name, e))
        return
    check_completed(checks, name, run, served.expected[third], third, "%s:%d" % (a.host, a.port))
    missing = [(e[1], e[3]) for e in run.front.entries() if e[3] == 404]
    missing += [(p, s) for p, s in run.mirror if s == 404]
    checks.check(not missing and run.front.entries(),
                 "[%s] no request of the update gets a 404 %s" % (name, missing[:5]))


if __name__ == "__main__":
    sys.exit(harness.run(main))
