"""A patch run killed at 20 moments chosen at random and restarted each time ends with an
installation identical to the server's: every file byte-identical, every manifest and
vtgame.ini holding the server's versions, nothing written outside the application directory.
Each kill is aimed through the server: it holds one answer of the run (which one, and before
its head or after how much of its body, drawn from a seeded generator), and the launcher is
killed while that answer is held.

Then the end of a set: a card set of many small files, with a local manifest of 30,000 other
entries, is updated round after round. Each round kills a run while the set's last file is
held one byte short (every record but the last in the journal, the manifest untouched) and
one while the next set's manifest is held (the journal folded into the manifest and deleted);
then it lays out on disk what a kill during the fold leaves (the whole journal not yet
folded; the new manifest half written beside the old; the manifest replaced but the journal
not yet deleted; the last record half appended) and starts the launcher from it: nothing
recorded is fetched again, and the installation ends identical to the server's."""

import os
import random
import shutil
import sys
import tempfile
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

KILLS = int(os.environ.get("VT_RESUME_KILLS", "20"))
FOLD_ROUNDS = int(os.environ.get("VT_RESUME_FOLD_ROUNDS", "8"))
SMALL_FILES = 300
SEED = 20261207
SMALL_SET = "card1"
SMALL_DIR = "resource/data/card1/"
SMALL_MANIFEST = SMALL_DIR + "vtcard1.ini"
SMALL_URL = "/autopatch/" + SMALL_DIR
# The request that follows the fold of the card set: the next set's manifest.
NEXT_SET = "card2"
NEXT_MANIFEST_URL = "/autopatch/resource/data/card2/vtcard2.ini"
# What a kill during the fold leaves on disk.
WHOLE_JOURNAL = "the whole journal, not yet folded"
HALF_WRITTEN = "the new manifest half written beside the old"
REPLACED = "the manifest replaced, the journal not yet deleted"
TORN_RECORD = "the last record half appended"
STATES = [WHOLE_JOURNAL, HALF_WRITTEN, REPLACED, TORN_RECORD]


def journal_record(key, version):
    """A record line as the launcher appends it (sets/RecordJournal.h)."""
    payload = b"%d:" % len(key) + key + version
    return b"v %08x " % zlib.crc32(payload) + payload + b"\n"


def journal_of(entries):
    return b"".join(journal_record(k.encode("cp949"), v.encode()) for k, v in entries)


def same_records(journal, entries):
    """The journal holds exactly the records of `entries`, in any order: files land in the
    order they finish."""
    try:
        lines = journal.read_bytes().splitlines(keepends=True)
    except FileNotFoundError:
        return False
    return sorted(lines) == sorted(journal_of(entries).splitlines(keepends=True))


class Run:
    """One launcher run against `server`, killed on every path out of the with block."""

    def __init__(self, app, server):
        self.app, self.server = app, server
        self.proc = None
        self.since = 0
        self._last_look = 0.0

    def __enter__(self):
        self.since = len(self.server.answers())
        self.proc = self.app.start()
        return self

    def __exit__(self, *exc):
        harness.stop(self.proc)

    def requests(self):
        return self.server.requests(self.since)

    def shown(self):
        """'servers' or 'message' once such a window shows, 'ended' once the run has ended.
        The windows are looked at once a second: a look costs far more than a poll."""
        if self.proc.poll() is not None:
            return "ended"
        if time.monotonic() - self._last_look < 1.0:
            return None
        self._last_look = time.monotonic()
        names = [n for _, n in harness.windows()]
        if harness.SERVER_CAPTION in names:
            return "servers"
        return "message" if harness.message_boxes() else None

    def kill_when_held(self, hold, what, timeout=180, ready=lambda: True):
        """Waits until `hold` holds an answer of this run and `ready()` (what the other
        connections carry meanwhile has landed), or the run gets past everything the hold
        could take (a window shows, it ends); kills the launcher and lets the answer go. What
        was reached: 'held', 'servers', 'message' or 'ended'."""
        reached = harness.wait_until(lambda: "held" if hold.held() and ready() else self.shown(),
                                     timeout,
                                     what, detail=lambda: "windows: %s, requests: %s" % (
                                         harness.windows(), self.requests()[-5:]))
        self.proc.kill()
        self.proc.wait(timeout=30)
        hold.release()
        return reached

    def to_server_window(self, timeout=180):
        reached = harness.wait_until(self.shown, timeout, "the end of the patch run",
                                     detail=lambda: "windows: %s" % harness.windows())
        return reached == "servers"


def random_kills(checks, app, expected, server, rng):
    """The kills at random moments; returns how many were survived."""
    survived = mid_patch = 0
    torn = []
    last_key = "card5"  # recorded last: once it holds the server's value the patch is done
    for i in range(KILLS):
        # Which answer of the run, and where in it: before the head or inside the body.
        nth = rng.randrange(9)
        share = rng.random() if rng.random() < 0.75 else None
        with server.hold(lambda path, index, nth=nth: index == nth, share=share) as hold, \
                Run(app, server) as run:
            reached = run.kill_when_held(hold, "kill %d: answer %d of the run held" % (i + 1, nth))
        survived += 1
        # A file in place is whole: it is only ever replaced by a complete one.
        torn += ["%s after kill %d" % (rel, i + 1) for rel, data in expected.items()
                 if isinstance(data, bytes) and (app.path / rel).exists() and
                 (app.path / rel).read_bytes() != data]
        local = harness.read_ini(app.path / "vtgame.ini").get("game", {})
        done = local.get(last_key) == expected["vtgame.ini"][last_key]
        mid_patch += not done
        print("kill %2d at answer %d, %s: %s" % (
            i + 1, nth, "held %r" % hold if reached == "held" else "nothing held (%s)" % reached,
            "patch complete" if done else "patch in progress"), flush=True)
    with Run(app, server) as run:
        finished = run.to_server_window()
    checks.check(finished, "the run after %d kills reaches the server window" % KILLS)
    checks.check(mid_patch >= KILLS // 2, "%d of %d kills interrupted the patch" % (mid_patch, KILLS))
    checks.check(not torn, "no installed file was ever partial %s" % torn[:3])
    return survived


def small_set(server_root, expected, base_entries, round_no):
    """Round `round_no` of the card set: its first entries as make_patch made them plus
    SMALL_FILES tiny ones, every version new, vtgame.ini naming the new set version and a new
    version of the next set (whose manifest is then fetched right after the card set)."""
    version = "r%d" % round_no
    base = Path(server_root) / "autopatch"
    entries = [(name, version) for name, _ in base_entries]
    for i in range(SMALL_FILES):
        name = "small%03d" % i
        data = b"%s %d" % (version.encode(), i)
        (base / SMALL_DIR / (name + ".dat")).write_bytes(data)
        expected[SMALL_DIR + name + ".dat"] = data
        entries.append((name, version))
    pairs = [("count", str(len(entries)))] + [(str(i + 1), "%s:%s" % e)
                                              for i, e in enumerate(entries)]
    (base / SMALL_MANIFEST).write_bytes(harness.ini_bytes(SMALL_SET, pairs))
    expected[SMALL_MANIFEST] = dict(entries)
    profile = dict(expected["vtgame.ini"], **{SMALL_SET: version, NEXT_SET: version})
    (base / "vtgame.ini").write_bytes(harness.ini_bytes("game", list(profile.items())))
    expected["vtgame.ini"] = profile
    return entries


def lay_out(state, manifest, journal, old, new, entries):
    """What a kill during the fold leaves: `old` and `new` are the manifest's bytes before
    and after the fold. Returns the files a restart must fetch again."""
    temp = manifest.parent / (manifest.name + ".4242.7.tmp")  # TempNameBeside's shape
    manifest.write_bytes(new if state == REPLACED else old)
    if state == TORN_RECORD:
        last = journal_of(entries[-1:])
        journal.write_bytes(journal_of(entries[:-1]) + last[:len(last) // 2])
    else:
        journal.write_bytes(journal_of(entries))
    if state == HALF_WRITTEN:
        temp.write_bytes(new[:len(new) // 2])
    return [SMALL_URL + entries[-1][0] + ".dat"] if state == TORN_RECORD else []


def set_files_fetched(run):
    return [p for p in run.requests() if p.startswith(SMALL_URL) and
            not p.endswith(".ini")]


def fold_rounds(checks, a, work, app, expected):
    """Kills and laid-out states at the end of the many-file set; returns the kills
    survived."""
    manifest = app.path / SMALL_MANIFEST
    journal = Path(str(manifest) + ".journal")
    vtgame = app.path / "vtgame.ini"
    # Entries of other names make the fold rewrite a large file, as on a real installation.
    records = manifest.read_bytes()
    manifest.write_bytes(records + b"".join(b"old%05d=1\r\n" % i for i in range(30000)))
    base_entries = [(k, v) for k, v in expected[SMALL_MANIFEST].items()]
    hits = {state: 0 for state in STATES}
    kills = {"before the last record": 0, "after the fold": 0}

    def temps():
        return sorted(p.name for p in manifest.parent.glob(manifest.name + ".*.tmp"))

    def manifest_new(entries, r, what):
        local = harness.read_ini(manifest).get(SMALL_SET, {})
        stale = [k for k, v in entries if local.get(k.lower()) != v]
        ok = not stale and local.get("old29999") == "1" and not journal.exists() and not temps()
        checks.check(ok, "round %d, %s: the journal folded into the manifest and deleted, "
                     "every other entry kept%s" % (r, what, "" if ok else " (stale: %s, "
                                                   "temporary files: %s, journal left: %s)" % (
                                                       stale[:3], temps(), journal.exists())))

    # Served at full speed: the point is many short files, each recorded at once.
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0.0,
                               rate=0) as server:
        for r in range(1, FOLD_ROUNDS + 1):
            entries = small_set(work / "server", expected, base_entries, r)
            old_manifest, old_vtgame = manifest.read_bytes(), vtgame.read_bytes()
            last_url = SMALL_URL + entries[-1][0] + ".dat"
            last_size = len(expected[SMALL_DIR + entries[-1][0] + ".dat"])

            # Killed one byte short of the set's last file, once every other file of the set has
            # landed: every record but its own is in the journal, the manifest is as it was.
            with server.hold(lambda path, index: path == last_url, after=last_size - 1) as hold, \
                    Run(app, server) as run:
                reached = run.kill_when_held(hold, "round %d: the set's last file held" % r,
                                             ready=lambda: same_records(journal, entries[:-1]))
            kills["before the last record"] += reached == "held"
            checks.check(reached == "held" and same_records(journal, entries[:-1]) and
                         manifest.read_bytes() == old_manifest and
                         vtgame.read_bytes() == old_vtgame,
                         "round %d, killed before the last record (%s): the journal holds "
                         "every other record, manifest and vtgame.ini untouched" % (r, reached))

            # Killed once the set is done: the next set's manifest is asked for after the fold.
            with server.hold(lambda path, index: path == NEXT_MANIFEST_URL) as hold, \
                    Run(app, server) as run:
                reached = run.kill_when_held(hold, "round %d: the next set's manifest held" % r)
                fetched = set_files_fetched(run)
            kills["after the fold"] += reached == "held"
            checks.check(reached == "held" and fetched == [last_url],
                         "round %d: the run after it fetches the last file alone %s"
                         % (r, fetched[:3]))
            manifest_new(entries, r, "killed after the fold")
            checks.check(harness.read_ini(vtgame)["game"].get(SMALL_SET) == "r%d" % r,
                         "round %d: the set's version is recorded once its journal is folded" % r)
            new_manifest = manifest.read_bytes()

            # A kill during the fold, laid out on disk, and a run from there to the end.
            state = STATES[(r - 1) % len(STATES)]
            vtgame.write_bytes(old_vtgame)
            again = lay_out(state, manifest, journal, old_manifest, new_manifest, entries)
            with Run(app, server) as run:
                finished = run.to_server_window()
                fetched = set_files_fetched(run)
            hits[state] += 1
            checks.check(finished and fetched == again,
                         "round %d, from %s: the run ends, fetching again %s (wanted %s)"
                         % (r, state, fetched[:3], again))
            manifest_new(entries, r, "from %s" % state)
            wrong = harness.differences(app.path, expected)
            checks.check(not wrong, "round %d, from %s: the installation is the server's %s"
                         % (r, state, wrong[:3]))
    print("kills at the set's end: %s" % ", ".join("%s: %d" % kv for kv in kills.items()))
    print("states started from: %s" % ", ".join("%s: %d" % kv for kv in hits.items()))
    checks.check(all(hits.values()), "every state a kill during the fold leaves was started from")
    return sum(kills.values())


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-resume-"))
    expected = harness.make_patch(work / "server", files=40, seed=SEED)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, name="app")
    app_path = app.path
    rng = random.Random(SEED)
    begun = time.monotonic()
    # Bodies trickle, so that a held answer mid-body finds part of it written.
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0,
                               rate=1_000_000) as server:
        survived = random_kills(checks, app, expected, server, rng)
        requests = server.requests()
    print("random kills: %.0f s" % (time.monotonic() - begun), flush=True)
    begun = time.monotonic()
    survived += fold_rounds(checks, a, work, app, expected)
    print("rounds at the set's end: %.0f s" % (time.monotonic() - begun), flush=True)
    print("kills survived: %d" % survived)
    checks.check(survived >= 20, "%d kills survived" % survived)

    for rel, want in expected.items():
        checks.check(harness.installed_as_served(app_path, rel, want),
                     "%s %s" % (rel, "is byte-identical" if isinstance(want, bytes)
                                else "holds the server's versions"))
    checks.check(harness.read_ini(app_path / SMALL_MANIFEST)[SMALL_SET].get("old12345") == "1",
                 "the manifest's other entries survived every fold")
    # The Korean names travel as their code page 949 bytes, percent-encoded.
    korean = "/autopatch/resource/sound/" + "".join("%%%02X" % b for b in "효과음".encode("cp949"))
    checks.check(korean + ".wav" in requests, "a Korean name is requested as %s.wav" % korean)
    checks.check((app_path / "resource/sound/효과음.wav").exists(),
                 "and lands on disk under its Unicode name")
    checks.check(sorted(os.listdir(app.root)) == ["app"], "nothing was written beside the app")
    strays = [str(p.relative_to(app_path)) for p in app_path.rglob("*")
              if p.is_file() and p.name.endswith((".tmp", ".journal"))]
    checks.check(not strays, "no temporary files or journals left behind %s" % strays)
    checks.check(not (app_path / "temp").exists(), "the staging directory is gone")
    shutil.rmtree(work, ignore_errors=True)
    if checks.failed == 0:
        app.remove()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
