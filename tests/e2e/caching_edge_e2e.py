"""vtlauncher_testkey.exe through squid configured as a misconfigured CDN edge that caches every
answer for a year, client reloads and no-cache ignored, in front of nginx: as a reverse proxy
on the patch host, and as WinINet's proxy set in the Wine prefix. In each of 20 runs (and 6 via
the proxy) a player mid-update is held on one payload (which, and how far into it, from a
seeded generator) while the next serial is published into the origin with vtpatch; the run
ends with nothing refused and every set byte-identical to one serial's files, the one the
installation records, and the next run moves on to the new serial. A second player then
installs from the edge's cache alone; the edge serving an older profile than the player kept
is got past by the launcher's fresh request. squid's access log shows the traffic and hits."""

import contextlib
import os
import random
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402
from harness import edge  # noqa: E402

RUNS = int(os.environ.get("VT_EDGE_RUNS", "20"))
PROXY_RUNS = int(os.environ.get("VT_EDGE_PROXY_RUNS", "6"))
SEED = 20261209
PROFILE_FILES = ("vtgame.signed", "vtgame.ini", "vtgame.ini.sig")
ORIGIN_PORT, GATE_PORT, PROXY_PORT = 18110, 18111, 18112


def recorded_serial(app):
    text = harness.read_ini(app.path / "vtgame.ini").get("publish", {}).get("serial")
    return int(text) if text and text.isdigit() else None


class Player:
    """One installation and what its runs saw."""

    def __init__(self, a, name):
        self.app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                            "resource/data/SvrList.dat": b""}, name=name,
                                  exe=harness.SIGNED_EXE)
        self.refusals = []  # (run, log lines) of every run that refused
        self.failures = []  # (run, what went wrong)
        self.runs = []  # the label of each run through the edge

    def run(self, label, while_running=None):
        """One launcher run to its end; `while_running(proc)` acts meanwhile. The run log's
        lines of this run."""
        log = harness.RunLog()
        if label != "direct":
            self.runs.append(label)
        proc = self.app.start()
        try:
            if while_running:
                while_running(proc)
            how = harness.outcome(proc, timeout=180)
        finally:
            harness.stop(proc)
        lines = log.texts()
        refused = [t for t in lines if t.startswith("refused")]
        if how == "refused" or refused:
            self.refusals.append((label, refused))
        elif how != "servers":
            self.failures.append((label, "ended as %s: %s" % (how, lines[-6:])))
        return lines


def one_serial(checks, player, history, candidates, label):
    """Every set of the installation matches one serial of `candidates`, the one recorded."""
    per_set = edge.serials_per_set(player.app.path, history, candidates)
    serial = recorded_serial(player.app)
    mixed = {s: got for s, got in per_set.items() if serial not in got}
    if mixed or (player.app.path / "temp").exists():
        checks.check(False, "%s: recorded serial %s, but sets match %s; temp\\ left: %s"
                     % (label, serial, mixed, (player.app.path / "temp").exists()))
    return serial


def held_runs(a, checks, rng, player, history, gate, squid, runs, label):
    """`runs` times: the player updates to the served serial, held inside one payload while
    the next serial is published and the edge's profile purged. Returns the seconds held."""
    held_for = []
    for i in range(runs):
        start_serial = history.serial
        fetched = history.objects_between(recorded_serial(player.app), start_serial)
        name, target = rng.choice(fetched)
        share = rng.uniform(0.05, 0.6)
        changed = history.prepare(changes=rng.randint(2, 4))
        hold = gate.hold(lambda path, index, t=target: path.endswith(t), share=share)

        def publish_while_held(proc, hold=hold):
            try:
                harness.wait_until(lambda: hold.held() or proc.poll() is not None, 120,
                                   "%s run %d: %s held" % (label, i + 1, name))
                began = time.monotonic()
                history.publish()
                for f in PROFILE_FILES:
                    squid.purge("http://%s:%d/autopatch/%s" % (a.host, a.port, f))
                held_for.append(time.monotonic() - began)
            finally:
                hold.release()

        player.run("%s run %d" % (label, i + 1), publish_while_held)
        serial = one_serial(checks, player, history, [start_serial, history.serial],
                            "%s run %d" % (label, i + 1))
        print("%s run %2d: held %s at %d of %s bytes, published %s (%s): installation at %s"
              % (label, i + 1, name, hold.position or 0, hold.size, history.serial,
                 ", ".join(changed), "the new serial" if serial == history.serial else
                 "the serial it started at" if serial == start_serial else serial), flush=True)
        # The profile comes first: what is held belongs to the serial the run began with.
        checks.check(hold.held() and serial == start_serial,
                     "%s run %d: held inside %s, ended at serial %s, where it began"
                     % (label, i + 1, name, start_serial))
    return held_for


def serve(a, work, accel):
    """nginx on ROOT behind the gate; squid on the patch host (accel) or as a proxy."""
    nginx = harness.Nginx(work / "root", a.host, ORIGIN_PORT, workdir=work / "nginx")
    if accel:
        gate = edge.Gate(a.host, GATE_PORT, (a.host, ORIGIN_PORT))
        squid = edge.Squid(work / "squid", a.host, a.port, origin=(a.host, GATE_PORT))
    else:
        gate = edge.Gate(a.host, a.port, (a.host, ORIGIN_PORT))
        squid = edge.Squid(work / "squid", a.host, PROXY_PORT)
    return nginx, gate, squid


def through_edge(a, checks, accel):
    label = "accel" if accel else "proxy"
    rng = random.Random(SEED + accel)
    work = Path(tempfile.mkdtemp(prefix="vt-edge-%s-" % label))
    vtpatch = harness.vtpatch_path(a.build)
    history = edge.History(vtpatch, work, work / "root", rng)
    history.prepare(changes=0, client=0)
    history.publish()
    player = Player(a, "player")
    began = time.monotonic()
    nginx, gate, squid = serve(a, work, accel)
    with nginx, gate, squid:
        with (contextlib.nullcontext() if accel
              else edge.wine_proxy("%s:%d" % (a.host, PROXY_PORT))):
            held_for = held_runs(a, checks, rng, player, history, gate, squid,
                                 RUNS if accel else PROXY_RUNS, label)
            player.run("%s last run" % label)
            checks.check(recorded_serial(player.app) == history.serial,
                         "%s: the run after the last publish moves to it (%s)"
                         % (label, history.serial))
            one_serial(checks, player, history, [history.serial], "%s last run" % label)
            if accel:
                second_player(a, checks, history, gate, squid)
        if not accel:
            older_at_the_edge(a, checks, player, history, squid)
        entries = squid.entries()
    report(checks, label, player, entries, gate, held_for, time.monotonic() - began)


def second_player(a, checks, history, gate, squid):
    """A fresh installation fetches only what the first player had the edge cache."""
    since, seen = len(gate.requests()), len(squid.entries())
    second = Player(a, "second")
    second.run("second player")
    ours = squid.entries()[seen:]
    origin = gate.requests(since)
    hits = edge.hits(ours)
    checks.check(not second.refusals and not second.failures,
                 "a second player installs through the edge %s" % (second.refusals
                                                                   + second.failures))
    one_serial(checks, second, history, [history.serial], "second player")
    checks.check(len(hits) == len(ours) > 0 and not origin,
                 "it got all %d answers from the edge's cache (%d hits); the origin saw %s"
                 % (len(ours), len(hits), origin))


def older_at_the_edge(a, checks, player, history, squid):
    """The edge keeps the profile of the last publish it saw; the player meets a newer one
    directly, then the edge's older one: it asks once more past the cache and stays."""
    history.prepare(changes=2)
    history.publish()
    player.run("direct")  # the proxy settings were put back: straight to the patch host
    checks.check(recorded_serial(player.app) == history.serial,
                 "without the proxy the player reaches serial %s" % history.serial)
    seen = len(squid.entries())
    with edge.wine_proxy("%s:%d" % (a.host, PROXY_PORT)):
        lines = player.run("older at the edge")
    ours = squid.entries()[seen:]
    profile = [e for e in ours if "/autopatch/vtgame.signed" in e[3]]
    fresh = [e for e in profile if "?fresh=" in e[3]]
    checks.check([e[0] for e in profile[:1]] and "HIT" in profile[0][0] and len(fresh) == 1
                 and "MISS" in fresh[0][0],
                 "the edge answered the profile from its cache, then the fresh request from "
                 "the origin: %s" % profile)
    checks.check(any("is older; asking once more" in t for t in lines)
                 and recorded_serial(player.app) == history.serial,
                 "the launcher asked past the cache and kept serial %s" % history.serial)
    one_serial(checks, player, history, [history.serial], "older at the edge")


def report(checks, label, player, entries, gate, held_for, seconds):
    launcher = [e for e in entries if e[2] == "GET"]
    hits = edge.hits(launcher)
    objects = [e for e in launcher if "/autopatch/objects/" in e[3]]
    print("%s: %d requests through squid, %d hits (%d of %d object answers); the origin "
          "saw %d; held %.1f s at most; %.0f s" % (
              label, len(launcher), len(hits), len(edge.hits(objects)), len(objects),
              len(gate.requests()), max(held_for or [0]), seconds), flush=True)
    checks.check(not player.refusals, "%s: no run refused %s" % (label, player.refusals))
    checks.check(not player.failures, "%s: every run ended at the server window %s"
                 % (label, player.failures))
    profile = [e for e in launcher if e[3].split("?")[0].endswith("/autopatch/vtgame.signed")]
    runs = len(player.runs)
    checks.check(len(profile) >= runs,
                 "%s: the launcher's requests went through squid: %d for the profile in %d "
                 "runs" % (label, len(profile), runs))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    for accel in (True, False):
        with harness.case(checks, "accel" if accel else "proxy"):
            before = edge.proxy_settings()
            try:
                through_edge(a, checks, accel)
            finally:
                checks.check(edge.proxy_settings() == before,
                             "the prefix's proxy settings are as they were: %s" % before)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
