"""vtlauncher_testkey.exe, killed at random moments of a slow signed patch (published by
vtpatch with the test key of tests/keys/) and restarted each time: after every kill each
installed payload is either absent or whole, staged parts are continued with range requests,
and the final run leaves every file byte-identical to the published tree, the serial
recorded and temp\\ gone."""

import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

KILLS = int(os.environ.get("VT_SIGNED_RESUME_KILLS", "12"))
SEED = 20261208


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


def main():
    a = harness.parse_args(__doc__)
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
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, name="app",
                         exe=harness.SIGNED_EXE)

    torn = []
    staged_seen = mid_patch = 0
    served = harness.read_ini(work / "root" / "autopatch" / "vtgame.ini")["game"]
    # nginx honours ranges; the slow rate lets kills land inside files, vt.exe above all.
    with harness.Nginx(work / "root", a.host, a.port, limit_rate=100_000,
                       workdir=work / "nginx"):
        for i in range(KILLS):
            proc = app.start()
            time.sleep(rng.uniform(0.5, 4.0))  # the random moment of the kill
            proc.kill()
            proc.wait(timeout=30)
            # A payload in place is whole: the installed file is only ever replaced by a
            # complete, checked one.
            for rel, data in files.items():
                path = app.path / rel
                if path.exists() and path.read_bytes() != data:
                    torn.append("%s after kill %d" % (rel, i + 1))
            temp = app.path / "temp"
            staged_seen += bool(temp.exists() and any(temp.glob("*.part")))
            # card1 is the last key recorded: once it holds the server's value the patch is done.
            local = harness.read_ini(app.path / "vtgame.ini").get("game", {})
            mid_patch += local.get("card1") != served["card1"]
        proc = app.start()
        try:
            harness.wait_window(harness.SERVER_CAPTION, timeout=180)
            finished = True
        except TimeoutError as e:
            print(e)
            finished = False
        proc.kill()
        proc.wait(timeout=30)
        access = (work / "nginx" / "access.log").read_text(errors="replace")

    checks.check(finished, "the run after %d kills reaches the server window" % KILLS)
    checks.check(not torn, "no installed payload was ever partial %s" % torn)
    checks.check(mid_patch >= KILLS // 2, "%d of %d kills interrupted the patch" % (mid_patch, KILLS))
    checks.check(staged_seen > 0, "%d kills left a staged part in temp\\" % staged_seen)
    checks.check('" 206 ' in access, "a staged part was continued with a 206 answer")
    wrong = [rel for rel, data in files.items()
             if not (app.path / rel).exists() or (app.path / rel).read_bytes() != data]
    checks.check(not wrong, "every published file is byte-identical %s" % wrong)
    local = harness.read_ini(app.path / "vtgame.ini")
    checks.check(local.get("publish", {}).get("serial") == "1", "the accepted serial is kept")
    checks.check(all(local.get("game", {}).get(k) == v for k, v in served.items()),
                 "vtgame.ini holds every version of the server's")
    checks.check(not (app.path / "temp").exists(), "temp\\ and its staged parts are gone")
    shutil.rmtree(work, ignore_errors=True)
    if checks.failed == 0:
        app.remove()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
