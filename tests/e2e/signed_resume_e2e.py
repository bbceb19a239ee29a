"""vtlauncher_testkey.exe, killed at 12 moments of a signed patch (published by vtpatch with the
test key of tests/keys/) and restarted each time. Each kill is aimed through the server: it
holds one answer of the run (which one, and before its head or after how much of its body,
drawn from a seeded generator) and the launcher is killed while it is held. After every kill
each installed payload is either absent or whole; a payload killed mid-body is staged in
temp\\ up to the held byte and the next request for it continues there with a range; the
final run leaves every file byte-identical to the published tree, the serial recorded and
temp\\ gone."""

import hashlib
import os
import random
import shutil
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

KILLS = int(os.environ.get("VT_SIGNED_RESUME_KILLS", "12"))
SEED = 20261208
CLIENT_KILLS = 3
MANIFESTS = ["resource/sound/vtsound.ini", "resource/data/graphics.ini",
             "resource/data/card1/vtcard1.ini"]


def make_tree(rng):
    """The files of an installation-like tree for vtpatch: a client large enough to be killed
    inside, and files of every kind of set."""
    files = {"vt.exe": rng.randbytes(3_000_000)}
    for name in ["효과음.wav", "b.wav", "sub/c.wav", "d.wav"]:
        files["resource/sound/" + name] = rng.randbytes(rng.randint(20_000, 200_000))
    for i in range(4):
        files["resource/data/g%d.bmp" % i] = rng.randbytes(rng.randint(20_000, 200_000))
    for i in range(3):
        files["resource/data/card1/c%d.dat" % i] = rng.randbytes(rng.randint(20_000, 200_000))
    return files


def objects(root, files):
    """{request path of an object: the published file it holds} for every payload (by its
    bytes) and every set's manifest (as served below `root`)."""
    found = {"/autopatch/" + harness.object_name(data): rel for rel, data in files.items()}
    for manifest in MANIFESTS:
        found["/autopatch/" + harness.object_of(root, manifest)] = manifest
    return found


def file_of(path, by_object):
    """The published file a request path names: the file an object holds, else the name itself
    (percent-encoded code page 949)."""
    if path in by_object:
        return by_object[path]
    return urllib.parse.unquote_to_bytes(path.removeprefix("/autopatch/")).decode("cp949")


def size(path):
    try:
        return path.stat().st_size
    except OSError:
        return -1


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-signed-resume-"))
    rng = random.Random(SEED)
    files = make_tree(rng)
    try:
        vtpatch = harness.vtpatch_path(a.build)
    except FileNotFoundError as e:
        checks.check(False, str(e))
        return checks.finish()
    harness.publish(vtpatch, harness.write_tree(work / "tree", files), work / "root")
    # The keyed launcher asks for every pinned file by its object.
    by_object = objects(work / "root", files)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, name="app",
                         exe=harness.SIGNED_EXE)
    temp = app.path / "temp"

    def part_of(rel):
        """Where a payload is staged: temp\\<its SHA-256>.part."""
        return temp / (hashlib.sha256(files[rel]).hexdigest() + ".part")

    torn, staged, unstaged = [], [], []
    mid_patch = 0
    served = harness.read_ini(work / "root" / "autopatch" / "vtgame.ini")["game"]
    began = time.monotonic()
    # Bodies trickle, so that a held answer finds what came before it written.
    with harness.TrickleServer(work / "root", a.host, a.port, head_delay=0,
                               rate=2_000_000) as server:
        for i in range(KILLS):
            # Which answer of the run, and where in it: before the head or inside the body.
            # The signed profile comes first (one file), then the client, the largest file:
            # the first kills aim at it, at random points of its body.
            nth = 1 if i < CLIENT_KILLS else rng.randrange(1, 5)
            share = rng.random() if rng.random() < 0.75 else None
            hold = server.hold(lambda path, index, nth=nth: index == nth, share=share)
            proc = app.start()
            last_look = [0.0]
            try:
                def reached():
                    if not hold.held():
                        # Or the run is past what the hold could take. A look at the windows
                        # costs far more than a poll: once a second.
                        if proc.poll() is not None:
                            return "ended"
                        if time.monotonic() - last_look[0] < 1.0:
                            return None
                        last_look[0] = time.monotonic()
                        shown = [n for _, n in harness.windows()]
                        return "servers" if harness.SERVER_CAPTION in shown else None
                    # A payload held inside its body is killed once some of what came of it
                    # is staged: the launcher reads in blocks, so maybe not all of it.
                    rel = file_of(hold.path, by_object)
                    return "held" if rel not in files or hold.position in (None, hold.start) \
                        or size(part_of(rel)) > hold.start else None
                got = harness.wait_until(reached, 120, "kill %d: answer %d of the run held, "
                                         "part of it staged" % (i + 1, nth),
                                         detail=lambda: "held: %s, requests: %s" % (
                                             hold.held() and hold, server.requests()[-4:]))
                proc.kill()
                proc.wait(timeout=30)
            finally:
                harness.stop(proc)
                hold.release()
            rel = file_of(hold.path, by_object) if got == "held" else None
            if rel in files and hold.position not in (None, hold.start):
                at = size(part_of(rel))
                # Staged: more than the run began with, and no more than the server sent.
                (staged if hold.start < at <= hold.position else unstaged).append((rel, at))
            # A payload in place is whole: the installed file is only ever replaced by a
            # complete, checked one.
            for name, data in files.items():
                path = app.path / name
                if path.exists() and path.read_bytes() != data:
                    torn.append("%s after kill %d" % (name, i + 1))
            # card1 is the last key recorded: once it holds the server's value the patch is done.
            local = harness.read_ini(app.path / "vtgame.ini").get("game", {})
            done = local.get("card1") == served["card1"]
            mid_patch += not done
            print("kill %2d at answer %d, %s: %s" % (
                i + 1, nth, "held %r" % hold if got == "held" else "nothing held (%s)" % got,
                "patch complete" if done else "patch in progress"), flush=True)
        proc = app.start()
        try:
            harness.wait_window(harness.SERVER_CAPTION, timeout=180)
            finished = True
        except TimeoutError as e:
            print(e)
            finished = False
        finally:
            harness.stop(proc)
        answers = server.answers()
    print("killed and restarted %d times in %.0f s" % (KILLS, time.monotonic() - began))

    checks.check(finished, "the run after %d kills reaches the server window" % KILLS)
    checks.check(not torn, "no installed payload was ever partial %s" % torn)
    checks.check(mid_patch >= KILLS // 2, "%d of %d kills interrupted the patch" % (mid_patch, KILLS))
    checks.check(staged and not unstaged,
                 "%d kills inside a payload's body left it staged in temp\\, no further than "
                 "the held byte %s" % (len(staged), unstaged))
    # Each part is continued from exactly where it stopped, and the server's 206 is taken.
    ranged = {(file_of(path, by_object), r) for path, r, status in answers if status == 206}
    continued = [(rel, at) for rel, at in staged if (rel, "bytes=%d-" % at) in ranged]
    checks.check(staged and continued == staged,
                 "every staged part was continued with a range request from its end, answered "
                 "206: %s of %s" % (continued, staged))
    wrong = [rel for rel, data in files.items()
             if not (app.path / rel).exists() or (app.path / rel).read_bytes() != data]
    checks.check(not wrong, "every published file is byte-identical %s" % wrong)
    local = harness.read_ini(app.path / "vtgame.ini")
    serial = harness.read_ini(work / "root" / "autopatch" / "vtgame.ini")["publish"]["serial"]
    checks.check(local.get("publish", {}).get("serial") == serial, "the accepted serial is kept")
    checks.check(all(local.get("game", {}).get(k) == v for k, v in served.items()),
                 "vtgame.ini holds every version of the server's")
    checks.check(not temp.exists(), "temp\\ and its staged parts are gone")
    shutil.rmtree(work, ignore_errors=True)
    if checks.failed == 0:
        app.remove()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
