"""A patch run killed at random moments and restarted each time ends with an installation
identical to the server's: every file byte-identical, every manifest and vtgame.ini holding
the server's versions, nothing written outside the application directory."""

import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

KILLS = int(os.environ.get("VT_RESUME_KILLS", "20"))
SEED = 20261207


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
    print("kills survived: %d" % survived)

    for rel, want in expected.items():
        checks.check(harness.installed_as_served(app_path, rel, want),
                     "%s %s" % (rel, "is byte-identical" if isinstance(want, bytes)
                                else "holds the server's versions"))
    # The Korean names travel as their code page 949 bytes, percent-encoded.
    korean = "/autopatch/resource/sound/" + "".join("%%%02X" % b for b in "효과음".encode("cp949"))
    checks.check(korean + ".wav" in requests, "a Korean name is requested as %s.wav" % korean)
    checks.check((app_path / "resource/sound/효과음.wav").exists(),
                 "and lands on disk under its Unicode name")
    checks.check(sorted(os.listdir(app.root)) == ["app"], "nothing was written beside the app")
    strays = [str(p.relative_to(app_path)) for p in app_path.rglob("*")
              if p.is_file() and p.name.endswith(".tmp")]
    checks.check(not strays, "no temporary files left behind %s" % strays)
    checks.check(not (app_path / "temp").exists(), "the staging directory is gone")
    shutil.rmtree(work, ignore_errors=True)
    if checks.failed == 0:
        app.remove()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
