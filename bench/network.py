"""The launcher over a wide-area path (see network.sh): nginx behind delay_proxy.py on the
launcher's patch host, for each round trip a fresh install of a set of many 30 kB files by the
launcher, by curl on one kept-alive connection and by curl on 8 parallel connections; then one
64 MiB vt.exe by the launcher and by curl; then the proxy's own ceiling (no delay, no limit)
against curl straight to nginx.

A launcher run is timed as in many_files.py, from its start until the server window shows; a
run at the same round trip with nothing to fetch (Wine's start, the profile's fetch) is taken
off before comparing it with curl, whose time is its process's from start to end.

Columns of the table, one row per round trip and launcher connections (L, the served profile's
[transfer] connections=): new_ms and next_ms, curl's time to the first byte
of a request on a new connection (handshake and request: two round trips) and of the next one on
it (one); Mbit/s, curl's rate for an 8 MiB body (one request, so a little under the link) - a
proxy that is itself the bottleneck shows there; launch_s, idle_s and net_s, the launcher's run,
its run with nothing to fetch (median of 3), and the difference; curl1_s and curl8_s; net/c1 and
net/c8, the ratios; +ms/file, what the launcher adds per file to curl on one connection; conns,
the connections the proxy accepted from the launcher, curl on one and curl on 8."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
from many_files import SETS_OTHER, median, name, run_launcher  # noqa: E402

FILE_SIZE = 30000
BIG_SIZE = 64 << 20
PROBE_SIZE = 8 << 20  # long enough at 50 Mbit/s for a rate, short enough at 120 ms
SOUND = "autopatch/resource/sound"


def game_ini(vtgame, sound, connections=None):
    pairs = [("game", "1"), ("vtgame", vtgame), ("sound", sound)] + [(s, "1")
                                                                     for s in SETS_OTHER]
    extra = b"" if connections is None else harness.ini_bytes(
        "transfer", [("connections", str(connections))])
    return harness.ini_bytes("game", pairs) + extra


def random_file(path, size):
    with open(path, "wb") as f:
        for at in range(0, size, 1 << 20):
            f.write(os.urandom(min(1 << 20, size - at)))


def make_server(www, files):
    """The patch tree: vt.exe (vtgame 2) and the sound set (2) of `files` files, plus the
    probe files curl measures the path with."""
    sound = www / SOUND
    sound.mkdir(parents=True)
    body = os.urandom(FILE_SIZE)
    for i in range(1, files + 1):
        (sound / name(i)).write_bytes(b"%08d" % i + body[8:])
    pairs = [("count", str(files))] + [(str(i), name(i) + ":1") for i in range(1, files + 1)]
    (sound / "vtsound.ini").write_bytes(harness.ini_bytes("sound", pairs))
    (www / "autopatch" / "vtgame.ini").write_bytes(game_ini("2", "2"))
    random_file(www / "autopatch" / "vt.exe", BIG_SIZE)
    random_file(www / "probe.bin", PROBE_SIZE)
    (www / "tiny.bin").write_bytes(b"x" * 64)


class Proxy:
    """delay_proxy.py on `listen` for the length of a with block."""

    def __init__(self, listen, upstream, rtt_ms, rate_mbit, groups, accepts):
        self.args = [sys.executable, str(Path(__file__).resolve().parent / "delay_proxy.py"),
                     "--listen", listen, "--upstream", upstream, "--rtt-ms", str(rtt_ms),
                     "--rate-mbit", str(rate_mbit), "--accepts", str(accepts)]
        self.groups = groups
        self.accepts = accepts

    def connections(self):
        """Connections accepted so far."""
        return self.accepts.stat().st_size if self.accepts.exists() else 0

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, text=True,
                                     start_new_session=True)
        note_group(self.groups, self.proc.pid)
        if self.proc.stdout.readline().strip() != "ready":
            self.__exit__()
            raise RuntimeError("the delay proxy did not start (%s)" % self.proc.poll())
        return self

    def __exit__(self, *exc):
        harness.end_process(self.proc)
        self.proc.stdout.close()


def note_group(groups, pgid):
    """network.sh ends these process groups should this process be killed past its finally."""
    with open(groups, "a") as f:
        f.write("%d\n" % pgid)


def curl_config(path, base, names, out):
    """A curl config fetching each name below `base` into `out`."""
    path.write_text("".join('url = "%s/%s"\noutput = "%s/%s"\n' % (base, n, out, n)
                            for n in names))
    return path


def timed_curl(args, out, expect):
    """Seconds curl takes; `out` is emptied first and must hold `expect` files after."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    start = time.monotonic()
    subprocess.run(["curl", "-s", "-f", "--no-progress-meter"] + args, check=True)
    took = time.monotonic() - start
    got = sum(1 for _ in out.iterdir())
    if got != expect:
        raise RuntimeError("curl fetched %d of %d files" % (got, expect))
    shutil.rmtree(out)
    return took


def probe(base):
    """What curl sees of the path: ms to the first byte of a request on a new connection and
    of the next on the same one, and Mbit/s of an 8 MiB body."""
    w = "%{time_starttransfer} %{speed_download}\n"
    out = subprocess.run(["curl", "-s", "-f", "-w", w, "-o", "/dev/null", base + "/tiny.bin",
                          "-o", "/dev/null", base + "/tiny.bin", "-o", "/dev/null",
                          base + "/probe.bin"], capture_output=True, text=True,
                         check=True).stdout.split()
    return float(out[0]) * 1000, float(out[2]) * 1000, float(out[5]) * 8 / 1e6


class Bench:
    def __init__(self, a):
        self.a = a
        self.host, _, port = a.patch_host.partition(":")
        self.port = int(port)
        self.work = Path(tempfile.mkdtemp(prefix="vt-net-"))
        self.www = self.work / "www"
        self.base = "http://%s" % a.patch_host
        self.origin = "http://%s:%d" % (self.host, a.nginx_port)

    def proxy(self, rtt, rate):
        accepts = self.work / "accepts"
        accepts.unlink(missing_ok=True)
        return Proxy(self.a.patch_host, "%s:%d" % (self.host, self.a.nginx_port), rtt, rate,
                     self.a.groups, accepts)

    def launcher(self, vtgame, sound, check, again=True, connections=None):
        """Seconds of one launcher run in a fresh installation, `check`ed after. A run that
        ends before its server window is run once more, and said so: it happened once in
        twenty-odd runs, exit status 3 right after the launcher logged its folder."""
        # The served profile names the pool's connections; the same versions as make_server's.
        (self.www / "autopatch" / "vtgame.ini").write_bytes(game_ini("2", "2", connections))
        app = harness.AppDir(self.a.build, {"vtgame.ini": game_ini(vtgame, sound),
                                            "resource/data/SvrList.dat": b""})
        try:
            t = run_launcher(app, timeout=3600)
            check(app.path)
            return t
        except RuntimeError as e:
            if not again or not str(e).startswith("the launcher ended"):
                raise
            print("note: %s; running it again" % e, flush=True)
        finally:
            app.remove()
        return self.launcher(vtgame, sound, check, again=False, connections=connections)

    def check_files(self, path):
        got = len(list((path / "resource" / "sound").glob("f*.wav")))
        if got != self.a.files:
            raise RuntimeError("the launcher fetched %d of %d files" % (got, self.a.files))

    @staticmethod
    def check_big(path):
        exe = path / "vt.exe"
        if not exe.exists() or exe.stat().st_size != BIG_SIZE:
            raise RuntimeError("the launcher did not fetch vt.exe whole")

    def idle(self):
        """The launcher's run with nothing to fetch: median of 3, as Wine's start varies."""
        return median([self.launcher("2", "2", lambda path: None) for _ in range(3)])

    def files_row(self, rtt):
        names = [name(i) for i in range(1, self.a.files + 1)]
        out = self.work / "out"
        config = curl_config(self.work / "files.curl", "%s/%s" % (self.base, SOUND), names, out)
        with self.proxy(rtt, self.a.rate_mbit) as proxy:
            first, rtt_seen, mbit = probe(self.base)
            idle = self.idle()
            raws, used = [], []
            for n in self.a.connections:
                before = proxy.connections()
                raws.append(self.launcher("2", "1", self.check_files, connections=n))
                used.append(proxy.connections() - before)
            before = proxy.connections()
            one = timed_curl(["-K", str(config)], out, len(names))
            between = proxy.connections()
            eight = timed_curl(["-Z", "--parallel-max", "8", "-K", str(config)], out, len(names))
            curl_used = (between - before, proxy.connections() - between)
        for n, raw, conns in zip(self.a.connections, raws, used):
            net = raw - idle
            extra = (net - one) * 1000 / len(names)
            print("%6d %3d %7.0f %7.0f %6.1f %8.1f %6.1f %7.1f %7.1f %7.1f %6.2f %6.2f %8.1f "
                  "%11s" % (rtt, n, first, rtt_seen, mbit, raw, idle, net, one, eight, net / one,
                            net / eight, extra, "%d/%d/%d" % ((conns,) + curl_used)), flush=True)

    def big_row(self, rtt):
        out = self.work / "out"
        with self.proxy(rtt, self.a.rate_mbit):
            idle = self.idle()
            log = harness.RunLog()
            raw = self.launcher("1", "2", self.check_big)
            one = timed_curl(["-o", str(out / "vt.exe"), self.base + "/autopatch/vt.exe"], out, 1)
        net = raw - idle
        link = self.a.rate_mbit * 1e6 / 8
        print("big_file_rtt_ms %d (64 MiB vt.exe, %g Mbit/s link)" % (rtt, self.a.rate_mbit))
        print("big_launcher_s %.1f (idle run %.1f s taken off: %.1f s)" % (raw, idle, net))
        # The launcher's own time for the request, free of the idle run's spread.
        logged = log.has(r"/autopatch/vt\.exe: status 200, length %d, \d+ ms" % BIG_SIZE)
        if logged:
            ms = int(re.search(r"length \d+, (\d+) ms", logged[-1]).group(1))
            print("big_launcher_logged_s %.2f (its log's time for the request: %.0f%% of the "
                  "link)" % (ms / 1000, 100 * BIG_SIZE / (ms / 1000) / link))
        print("big_curl_s %.1f" % one)
        print("big_launcher_to_curl %.2f" % (net / one))
        print("big_launcher_share_of_link %.0f%% (curl %.0f%%)" % (
            100 * BIG_SIZE / net / link, 100 * BIG_SIZE / one / link), flush=True)

    def ceiling(self):
        """curl through the proxy with no delay and no limit against curl straight to nginx:
        the 64 MiB file's rate (median of 3) and the set on one connection."""
        names = [name(i) for i in range(1, self.a.files + 1)]
        out = self.work / "out"

        def rate(base):
            runs = [float(subprocess.run(
                ["curl", "-s", "-f", "-o", "/dev/null", "-w", "%{speed_download}",
                 base + "/autopatch/vt.exe"], capture_output=True, text=True,
                check=True).stdout) / 1e6 for _ in range(3)]
            return median(runs)

        def files(base):
            config = curl_config(self.work / "ceiling.curl", "%s/%s" % (base, SOUND), names, out)
            return timed_curl(["-K", str(config)], out, len(names))

        direct_rate, direct_files = rate(self.origin), files(self.origin)
        with self.proxy(0, 0):
            proxy_rate, proxy_files = rate(self.base), files(self.base)
        print("ceiling_64MiB_MB_per_s direct %.0f proxy %.0f (%.0f Mbit/s, %.0fx the %g Mbit/s "
              "link)" % (direct_rate, proxy_rate, proxy_rate * 8,
                         proxy_rate * 8 / self.a.rate_mbit, self.a.rate_mbit))
        print("ceiling_%d_files_curl_s direct %.2f proxy %.2f" % (len(names), direct_files,
                                                                  proxy_files), flush=True)

    def run(self):
        if not harness.port_free(self.host, self.port) or \
                harness.accepts(self.host, self.a.nginx_port):
            raise RuntimeError("%s or port %d is taken" % (self.a.patch_host, self.a.nginx_port))
        make_server(self.www, self.a.files)
        nginx = harness.Nginx(self.www, self.host, self.a.nginx_port, workdir=self.work / "nginx")
        with nginx:
            note_group(self.a.groups, nginx.proc.pid)
            print("files %d x %d bytes, link %g Mbit/s each way; launcher: %s" % (
                self.a.files, FILE_SIZE, self.a.rate_mbit, self.a.build), flush=True)
            if self.a.rtts:
                print("%6s %3s %7s %7s %6s %8s %6s %7s %7s %7s %6s %6s %8s %11s" % (
                    "rtt_ms", "L", "new_ms", "next_ms", "Mbit/s", "launch_s", "idle_s", "net_s",
                    "curl1_s", "curl8_s", "net/c1", "net/c8", "+ms/file", "conns L/1/8"),
                      flush=True)
            for rtt in self.a.rtts:
                self.files_row(rtt)
            if self.a.big_rtt is not None:
                self.big_row(self.a.big_rtt)
            if self.a.ceiling:
                self.ceiling()


def end_marked(tag, spare):
    """Ends every process but `spare` that carries `tag` (network.sh's way out): Wine's
    programs at once, its server with TERM first so it saves the registry. Prints what is
    still running after 30 s."""
    needle = ("VT_E2E_RUN=" + tag).encode()
    spare = set(spare) | {os.getpid()}

    def left():
        found = []
        for e in os.listdir("/proc"):
            if not e.isdigit() or int(e) in spare:
                continue
            try:
                env = Path("/proc/%s/environ" % e).read_bytes().split(b"\0")
                stat = Path("/proc/%s/stat" % e).read_text().rpartition(")")
                comm = Path("/proc/%s/comm" % e).read_text().strip()
            except OSError:
                continue
            if needle in env and stat[2].split()[0] != "Z":
                found.append((int(e), comm))
        return found

    start = time.monotonic()
    while True:
        pids = left()
        if not pids or time.monotonic() - start > 30:
            break
        late = time.monotonic() - start > 10
        for pid, comm in pids:
            gentle = comm.startswith("wineserver") and not late
            try:
                os.kill(pid, signal.SIGTERM if gentle else signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.2)
    if pids:
        print("network: still running: %s" % pids, file=sys.stderr)
    return 1 if pids else 0


def main():
    if sys.argv[1:2] == ["--end-marked"]:
        sys.exit(end_marked(sys.argv[2], [int(p) for p in sys.argv[3:]]))
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", required=True)
    p.add_argument("--patch-host", required=True)
    p.add_argument("--nginx-port", type=int, required=True)
    p.add_argument("--groups", required=True, help="file to note started process groups in")
    p.add_argument("--files", type=int, default=2000)
    p.add_argument("--rtts", default="0,20,60,120", help="round trips in ms; empty: none")
    p.add_argument("--rate-mbit", type=float, default=50)
    p.add_argument("--big-rtt", default="60", help="round trip of the 64 MiB run; empty: none")
    p.add_argument("--ceiling", type=int, default=1)
    p.add_argument("--connections", default="8,1",
                   help="the launcher's connections ([transfer] connections=), a run each")
    a = p.parse_args()
    a.rtts = [int(r) for r in a.rtts.replace(",", " ").split()]
    a.connections = [int(c) for c in a.connections.replace(",", " ").split()]
    a.big_rtt = int(a.big_rtt) if a.big_rtt.strip() else None
    # A TERM (network.sh's trap) runs the finally blocks: nginx and the proxy end with them.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    bench = Bench(a)
    try:
        bench.run()
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)


if __name__ == "__main__":
    main()
