"""The payloads of a set fetched over a pool of connections. With connections=1 in the served
profile the launcher makes exactly the requests of a table, in its order, with and without the
key; by default several payloads are asked for while one is still held back; one connection
reset in the middle of a body, and a 503 with Retry-After, are tried again while the others
carry on; 취소 while the pool is busy, and 12 kills at random points of it (three answers held
each time), leave every installed file whole, old or new, and a journal and manifest that read,
and the next run completes."""

import random
import re
import shutil
import sys
import tempfile
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

SEED = 20261209
KILLS = 12
SOUND = "resource/sound/"
SOUND_MANIFEST = SOUND + "vtsound.ini"
CARD = "resource/data/card1/"
CARD_MANIFEST = CARD + "vtcard1.ini"
URL = "/autopatch/"
RECORD = re.compile(rb"v ([0-9a-f]{8}) (\d+):(.*)\n")


def served(root, version, seed, sound_files):
    """Writes root/autopatch afresh: vt.exe, a sound set of `sound_files` files (every fifth in
    a folder) and a card set of 2. Returns what a patched installation holds, as
    harness.make_patch does."""
    rng = random.Random(seed)
    base = Path(root) / "autopatch"
    shutil.rmtree(base, ignore_errors=True)
    expected = {}
    sets = [("sound", SOUND, SOUND_MANIFEST, ["%ss%02d.wav" % ("sub/" if i % 5 == 4 else "", i)
                                              for i in range(sound_files)], ""),
            ("card1", CARD, CARD_MANIFEST, ["c0", "c1"], ".dat")]
    for section, folder, manifest, names, suffix in sets:
        entries = []
        for name in names:
            data = rng.randbytes(rng.randint(20_000, 90_000))
            (base / folder / (name + suffix)).parent.mkdir(parents=True, exist_ok=True)
            (base / folder / (name + suffix)).write_bytes(data)
            expected[folder + name + suffix] = data
            entries.append((name, "%s.%d" % (version, rng.randint(0, 9))))
        pairs = [("count", str(len(entries)))] + [(str(i + 1), "%s:%s" % e)
                                                  for i, e in enumerate(entries)]
        (base / manifest).write_bytes(harness.ini_bytes(section, pairs))
        expected[manifest] = dict(entries)
    expected["vt.exe"] = b"MZ client " + rng.randbytes(200_000)
    (base / "vt.exe").write_bytes(expected["vt.exe"])
    profile = [("game", "1"), ("vtgame", version), ("sound", version), ("card1", version)]
    (base / "vtgame.ini").write_bytes(harness.ini_bytes("game", profile))
    expected["vtgame.ini"] = dict(profile)
    return expected


def fresh_app(a, exe="vtlauncher.exe"):
    return harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                    "resource/data/SvrList.dat": b""}, exe=exe)


def run_to_end(app, timeout=180):
    """One run of the launcher; how it ended (harness.outcome)."""
    with app.running() as proc:
        return harness.outcome(proc, timeout)


def one_connection_table(a, checks, work):
    """connections=1: the requests of today's launcher, in a table, with and without the key
    (which asks for each file of the table by its object)."""
    names = ["a.wav", "b.wav", "sub/c.wav"]
    table = ["vt.exe", SOUND_MANIFEST] + [SOUND + n for n in names] + \
        [CARD_MANIFEST, CARD + "c0.dat", CARD + "c1.dat"]
    files = {"vt.exe": b"MZ" + b"x" * 50_000}
    files.update({SOUND + n: n.encode() * 3000 for n in names})
    files.update({CARD + "c0.dat": b"card zero" * 900, CARD + "c1.dat": b"card one" * 800})
    for keyed in (False, True):
        with harness.case(checks, "connections=1, %s" % ("keyed" if keyed else "unkeyed")):
            root = work / ("table-%d" % keyed)
            if keyed:
                harness.publish(harness.vtpatch_path(a.build),
                                harness.write_tree(work / "table-tree", files), root,
                                extra=("--connections", "1"))
                expected = harness.served_expected(root, files)
                # Every pinned file by its object, in the same order.
                want = ["vtgame.signed"] + [harness.object_of(root, rel) for rel in table]
            else:
                expected = served_by_hand(root, files)
                want = ["vtgame.ini"] + table
            app = fresh_app(a, harness.SIGNED_EXE if keyed else "vtlauncher.exe")
            log = harness.RunLog()
            with harness.StaticServer(root, a.host, a.port) as server:
                ended = run_to_end(app)
                got = server.requests()
            checks.check(ended == "servers" and not harness.differences(app.path, expected),
                         "the run installs the patch (%s)" % ended)
            checks.check(got == [URL + w for w in want],
                         "exactly the table's requests in its order: %s" % got)
            checks.check(log.has(r"payloads over 1 connection\(s\)"), "the log names 1 connection")
            app.remove()


def served_by_hand(root, files):
    """The unkeyed tree of `files` with connections=1, versions "1"."""
    base = Path(root) / "autopatch"
    for rel, data in files.items():
        (base / rel).parent.mkdir(parents=True, exist_ok=True)
        (base / rel).write_bytes(data)
    expected = dict(files)
    for section, folder, manifest, suffix in (("sound", SOUND, SOUND_MANIFEST, ""),
                                              ("card1", CARD, CARD_MANIFEST, ".dat")):
        names = [rel[len(folder):-len(suffix) or None] for rel in files if rel.startswith(folder)]
        pairs = [("count", str(len(names)))] + [(str(i + 1), n + ":1") for i, n in
                                                enumerate(names)]
        (base / manifest).write_bytes(harness.ini_bytes(section, pairs))
        expected[manifest] = {n: "1" for n in names}
    profile = [("game", "1"), ("vtgame", "1"), ("sound", "1"), ("card1", "1")]
    (base / "vtgame.ini").write_bytes(harness.ini_bytes("game", profile) +
                                      harness.ini_bytes("transfer", [("connections", "1")]))
    expected["vtgame.ini"] = dict(profile)
    return expected


def sound_payload(path):
    return path.startswith(URL + SOUND) and not path.endswith(".ini")


def side_by_side(a, checks, work):
    """By default, payloads are asked for while the first is held before its head."""
    expected = served(work / "side", "2", SEED, 24)
    app = fresh_app(a)
    log = harness.RunLog()
    with harness.TrickleServer(work / "side", a.host, a.port, head_delay=0, rate=0) as server:
        first = URL + SOUND + "s00.wav"
        with server.hold(lambda path, index: path == first) as hold, app.running() as proc:
            others = harness.eventually(
                lambda: hold.held() and sum(sound_payload(p) and p != first
                                            for p in server.requests()) >= 3, 60, step=0.05)
            checks.check(others, "3 more payloads are asked for while the first is held: %s"
                         % server.requests()[-6:])
            # The set's progress while the pool is busy, for review.
            harness.screenshot(harness.wait_window(harness.PATCH_CAPTION, timeout=10),
                               a.artefacts / "pool_progress.png")
            hold.release()
            ended = harness.outcome(proc, 180)
    checks.check(ended == "servers" and not harness.differences(app.path, expected),
                 "the run installs the patch (%s)" % ended)
    checks.check(log.has(r"payloads over 8 connection\(s\)"), "the log names 8 connections")
    app.remove()


def failures_tried_again(a, checks, work):
    """A reset in the middle of a body and a 503 with Retry-After are each tried again, the
    others going on."""
    for what, name in (("reset", "s07.wav"), ("503", "s11.wav")):
        with harness.case(checks, what):
            root = work / ("fail-" + what)
            expected = served(root, "2", SEED + 1, 24)
            path = URL + SOUND + name
            app = fresh_app(a)
            # Unkeyed parts are named after the entry's number in the manifest.
            part = app.path / "temp" / ("sound-%d.part" % (int(name[1:3]) + 1))
            how = ("reset", 10_000, lambda: part.exists() and part.stat().st_size > 0) \
                if what == "reset" else ("status", 503, "2")
            log = harness.RunLog()

            def fail(rel, attempt, name=name, how=how):
                return how if rel == "autopatch/" + SOUND + name and attempt == 0 else None
            with harness.TrickleServer(root, a.host, a.port, head_delay=0, rate=0,
                                       fail=fail) as server:
                ended = run_to_end(app)
                arrivals = server.arrivals(path)
            checks.check(ended == "servers" and not harness.differences(app.path, expected),
                         "%s: the run installs the patch (%s)" % (what, ended))
            checks.check(len(arrivals) == 2, "%s: the file was asked for twice (%d)"
                         % (what, len(arrivals)))
            checks.check(log.has(r"trying resource\\sound\\%s again" % re.escape(name)),
                         "%s: the log tells the file is tried again" % what)
            if what == "reset":
                checks.check(log.has(r"%s: status 200, .*failed: body incomplete" %
                                     re.escape(name)),
                             "reset: the first try failed inside its body")
            elif len(arrivals) == 2:
                checks.check(arrivals[1] - arrivals[0] >= 1.9,
                             "503: tried again no sooner than Retry-After (%.2f s)"
                             % (arrivals[1] - arrivals[0]))
            app.remove()


def read_journal(path):
    """The records of a journal as (key, version); None when a line does not read. The last
    line may be torn (a kill while appending): it is left out, as the launcher leaves it."""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return []
    records = []
    lines = data.split(b"\n")
    for line in lines[:-1]:
        m = RECORD.fullmatch(line + b"\n")
        if not m or int(m.group(2)) > len(m.group(3)) or \
                zlib.crc32(m.group(2) + b":" + m.group(3)) != int(m.group(1), 16):
            return None
        n = int(m.group(2))
        records.append((m.group(3)[:n].decode("cp949"), m.group(3)[n:].decode()))
    return records


def not_whole(app_path, published, new):
    """Installed payloads that are not, whole, a version `published` ever had (or absent when
    one lacked it); manifests that do not read; journal records that do not read or name a
    file not in place as `new` has it."""
    wrong = []
    for rel, data in new.items():
        if not isinstance(data, bytes):
            continue
        path = app_path / rel
        here = path.read_bytes() if path.exists() else None
        if here not in [p.get(rel) for p in published]:
            wrong.append(rel)
    for manifest, folder, suffix in ((SOUND_MANIFEST, SOUND, ""), (CARD_MANIFEST, CARD, ".dat")):
        try:
            harness.read_ini(app_path / manifest)
        except (OSError, UnicodeDecodeError, ValueError):
            wrong.append(manifest + " does not read")
        records = read_journal(Path(str(app_path / manifest) + ".journal"))
        if records is None:
            wrong.append(manifest + ".journal does not read")
            continue
        for key, version in records:
            path = app_path / (folder + key + suffix)
            if new[manifest].get(key) != version or not path.exists() or \
                    path.read_bytes() != new[folder + key + suffix]:
                wrong.append("%s recorded, not in place" % key)
    return wrong


def pending(app_path, new):
    """The sound payloads not yet in place as `new` has them, in manifest order: a run asks
    for each of them."""
    names = [n for n in new[SOUND_MANIFEST]]
    return [n for n in names if not (app_path / SOUND / n).exists() or
            (app_path / SOUND / n).read_bytes() != new[SOUND + n]]


def cancel_and_kills(a, checks, work):
    """From a whole old installation: 취소, then 12 kills, each with three answers held
    (among the first files the pool hands out); a new publish whenever few files are left."""
    root = work / "kills"
    published = [served(root, "1", SEED + 2, 40)]
    app = fresh_app(a)
    with harness.StaticServer(root, a.host, a.port):
        checks.check(run_to_end(app) == "servers" and
                     not harness.differences(app.path, published[0]),
                     "the old patch is installed first")
    published.append(served(root, "2", SEED + 3, 40))
    rng = random.Random(SEED)
    broken, busy = [], 0
    with harness.TrickleServer(root, a.host, a.port, head_delay=0, rate=300_000) as server:
        for i in range(KILLS + 1):
            if len(pending(app.path, published[-1])) < 8:
                published.append(served(root, str(len(published) + 1), SEED + 3 + i, 40))
            new = published[-1]
            picks = rng.sample(pending(app.path, new)[:8], 3)
            holds = [server.hold(lambda path, index, p=URL + SOUND + n: path == p,
                                 share=None if rng.random() < 0.3 else rng.random())
                     for n in picks]
            try:
                with app.running() as proc:
                    harness.eventually(lambda: all(h.held() for h in holds) or
                                       proc.poll() is not None, 120, step=0.05)
                    all_held = all(h.held() for h in holds)
                    busy += all_held
                    print("stop %2d: %s held %s%s" % (
                        i, "cancel" if i == 0 else "kill", picks,
                        "" if all_held else " - not all: %s, ended %s, requests %s" % (
                            [h.held() for h in holds], proc.poll(), server.requests()[-10:])),
                        flush=True)
                    if i == 0:
                        wid = harness.wait_window(harness.PATCH_CAPTION, timeout=10)
                        harness.click(wid, *harness.CANCEL)
                        checks.check(harness.wait_exit(proc, 20) is not None,
                                     "취소 ends the program while three answers are held")
            finally:
                for h in holds:
                    h.release()
            wrong = not_whole(app.path, published, new)
            if wrong:
                broken.append("%s %d: %s" % ("kill" if i else "cancel", i, wrong[:3]))
        ended = run_to_end(app)
    checks.check(busy == KILLS + 1, "%d of %d stops came with three payloads held at once"
                 % (busy, KILLS + 1))
    checks.check(not broken, "after each stop every file is whole, old or new, and the journal "
                 "and manifests read %s" % broken)
    checks.check(ended == "servers" and not harness.differences(app.path, published[-1]),
                 "the next run completes the patch (%s, %s)" % (
                     ended, harness.differences(app.path, published[-1])[:3]))
    app.remove()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-e2e-pool-"))
    try:
        one_connection_table(a, checks, work)
        side_by_side(a, checks, work)
        failures_tried_again(a, checks, work)
        cancel_and_kills(a, checks, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
