"""A patch run killed at random moments and restarted each time ends with an installation
identical to the server's: every file byte-identical, every manifest and vtgame.ini holding
the server's versions, nothing written outside the application directory.

Then kills aimed at the end of a set: a card set of many small files, with a local manifest of
30,000 other entries, is updated again and again, and each run is killed as soon as the set's
last record is in its journal, that is while the journal is being folded into the manifest.
Every manifest left behind must read as a whole one, with old or new versions only."""

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
FOLD_KILLS = int(os.environ.get("VT_RESUME_FOLD_KILLS", "6"))
SMALL_FILES = 300
SEED = 20261207
SMALL_SET = "card1"
SMALL_DIR = "resource/data/card1/"
SMALL_MANIFEST = SMALL_DIR + "vtcard1.ini"


def journal_record(key, version):
    """A record line as the launcher appends it (sets/RecordJournal.h)."""
    payload = b"%d:" % len(key) + key + version
    return b"v %08x " % zlib.crc32(payload) + payload + b"\n"


def small_set(server_root, expected, base_entries, round_no):
    """Round `round_no` of the card set: its first entries as make_patch made them plus
    SMALL_FILES tiny ones, every version new, vtgame.ini naming the new set version."""
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
    profile = dict(expected["vtgame.ini"], **{SMALL_SET: version})
    (base / "vtgame.ini").write_bytes(harness.ini_bytes("game", list(profile.items())))
    expected["vtgame.ini"] = profile
    return entries


def fold_kills(checks, a, work, app, expected):
    """Kills at the end of the many-file set; returns how many were survived."""
    last_look = [0.0]

    def message_shown():
        # A look at the windows costs far more than one at the journal: once a second.
        if time.monotonic() - last_look[0] < 1.0:
            return False
        last_look[0] = time.monotonic()
        return bool(harness.message_boxes())

    app_path = app.path
    manifest = app_path / SMALL_MANIFEST
    journal = Path(str(manifest) + ".journal")
    # Entries of other names make the fold rewrite a large file, as on a real installation.
    records = manifest.read_bytes()
    manifest.write_bytes(records + b"".join(b"old%05d=1\r\n" % i for i in range(30000)))
    base_entries = [(k, v) for k, v in expected[SMALL_MANIFEST].items()]
    survived = in_fold = between = writing = 0
    rng = random.Random(SEED + 1)
    previous = dict(expected[SMALL_MANIFEST])
    # Served at full speed: the point is many short files, each recorded at once.
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0.0, rate=0):
        for r in range(FOLD_KILLS):
            entries = small_set(work / "server", expected, base_entries, r + 1)
            last = journal_record(entries[-1][0].encode("cp949"), entries[-1][1].encode())
            proc = app.start()

            # The kills aim in turn at the last record, at the new manifest being written, and
            # at a random moment of the fold's first tenth of a second.
            aim = r % 3
            reached = []

            def moment():
                try:
                    if last in journal.read_bytes():
                        reached.append(True)
                except FileNotFoundError:
                    pass
                # Aiming at the new manifest, a fold that ended unseen still counts as reached.
                if reached and (aim != 1 or not journal.exists() or
                                any(manifest.parent.glob(manifest.name + ".*.tmp"))):
                    return "set's end"
                if proc.poll() is not None:
                    return "ended"
                return "message" if message_shown() else None

            seen = harness.wait_until(moment, 180, "the last record of round %d in the journal"
                                      % (r + 1), detail=harness.windows, step=0.001)
            if aim == 2:
                time.sleep(rng.uniform(0.0, 0.1))  # the random moment of the kill
            proc.kill()
            proc.wait(timeout=30)
            if seen != "set's end":
                checks.check(False, "round %d: the run %s before the set's end" % (r + 1, seen))
                break
            survived += 1
            # Whatever the moment, the manifest is a whole one that a launcher knowing nothing
            # of journals reads: every entry of the set with its old or its new version.
            local = harness.read_ini(manifest).get(SMALL_SET, {})
            wrong = [k for k, v in dict(entries).items()
                     if local.get(k.lower()) not in (previous.get(k), v, None)]
            checks.check(not wrong and local.get("old29999") == "1",
                         "round %d: the manifest left by the kill reads whole, old or new "
                         "versions only %s" % (r + 1, wrong[:3]))
            folded = all(local.get(k.lower()) == v for k, v in entries)
            temps = list(manifest.parent.glob(manifest.name + ".*.tmp"))
            if journal.exists():
                in_fold += 1
                between += folded
                writing += bool(temps)
            print("fold kill %d: journal %s, manifest %s%s" % (
                r + 1, "left" if journal.exists() else "gone",
                "folded" if folded else "not yet folded",
                ", its new copy half written" if temps else ""), flush=True)
            previous = dict(entries)
        checks.check(in_fold >= 1, "%d of %d kills at a set's end hit its journal before the "
                     "fold had deleted it (%d while the new manifest was written, %d after it "
                     "replaced the old one)" % (in_fold, FOLD_KILLS, writing, between))
        proc = app.start()
        try:
            harness.wait_window(harness.SERVER_CAPTION, timeout=180)
            finished = True
        except TimeoutError as e:
            print(e)
            finished = False
        proc.kill()
        proc.wait(timeout=30)
    checks.check(finished, "the run after the kills at the set's end reaches the server window")
    checks.check(not journal.exists(), "no journal is left once the set is done")
    return survived


def main():
    a = harness.parse_args(__doc__)
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-resume-"))
    expected = harness.make_patch(work / "server", files=40, seed=SEED)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, name="app")
    app_path = app.path

    rng = random.Random(SEED)
    survived = mid_patch = 0
    last_key = "card5"  # recorded last: once it holds the server's value the patch is done
    # Each reply is held back and trickles, so a run makes a little progress before its kill
    # and kills land in the middle of files as well as between them.
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0.2,
                               rate=100_000) as server:
        for i in range(KILLS):
            proc = app.start()
            time.sleep(rng.uniform(0.5, 4.0))  # the random moment of the kill
            proc.kill()
            proc.wait(timeout=30)
            survived += 1
            local = harness.read_ini(app_path / "vtgame.ini").get("game", {})
            done = local.get(last_key) == expected["vtgame.ini"][last_key]
            mid_patch += not done
            print("kill %2d after %3d requests: %s" % (i + 1, len(server.requests()),
                  "patch complete" if done else "patch in progress"), flush=True)
        proc = app.start()
        try:
            harness.wait_window(harness.SERVER_CAPTION, timeout=180)
            finished = True
        except TimeoutError as e:
            print(e)
            finished = False
        proc.kill()
        proc.wait(timeout=30)
        requests = server.requests()
    checks.check(finished, "the run after %d kills reaches the server window" % KILLS)
    checks.check(mid_patch >= KILLS // 2, "%d of %d kills interrupted the patch" % (mid_patch, KILLS))
    survived += fold_kills(checks, a, work, app, expected)
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
    sys.exit(main())
