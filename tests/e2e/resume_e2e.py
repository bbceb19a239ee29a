"""A patch run killed at random moments and restarted each time ends with an installation
identical to the server's: every file byte-identical, every manifest and vtgame.ini holding
the server's versions, nothing written outside the application directory."""

import os
import random
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

sys.path.insert(0, str(harness.ROOT / "scripts"))
make_patch = __import__("make-patch")

KILLS = int(os.environ.get("VT_RESUME_KILLS", "20"))
SEED = 20261207


def read_ini(path):
    """{section: {key: value}} of a CP949 profile, names lower-cased."""
    out, section = {}, None
    for raw in Path(path).read_bytes().decode("cp949").splitlines():
        line = raw.strip()
        if line.startswith("["):
            section = out.setdefault(line[1:line.index("]")].lower(), {})
        elif "=" in line and section is not None:
            k, v = line.split("=", 1)
            section.setdefault(k.strip().lower(), v.strip())
    return out


def main():
    a = harness.parse_args(__doc__)
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-resume-"))
    expected = make_patch.make(work / "server", files=40, seed=SEED)
    parent = work / "parent"
    parent.mkdir()
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""})
    app_path = parent / "app"
    os.rename(app.path, app_path)
    app.path = app_path

    rng = random.Random(SEED)
    survived = mid_patch = 0
    last_key = "card5"  # recorded last: once it holds the server's value the patch is done
    # Each reply is held back and trickles, so a run makes a little progress before its kill
    # and kills land in the middle of files as well as between them.
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0.2,
                               rate=100_000) as server:
        for i in range(KILLS):
            proc = app.start()
            time.sleep(rng.uniform(0.5, 4.0))
            proc.kill()
            proc.wait(timeout=30)
            survived += 1
            local = read_ini(app_path / "vtgame.ini").get("game", {})
            done = local.get(last_key) == expected["vtgame.ini"][last_key]
            mid_patch += not done
            print("kill %2d after %3d requests: %s" % (i + 1, len(server.requests()),
                  "patch complete" if done else "patch in progress"), flush=True)
        proc = app.start()
        try:
            harness.wait_window("서버 선택", timeout=180)
            finished = True
        except TimeoutError:
            finished = False
        proc.kill()
        proc.wait(timeout=30)
        requests = server.requests()
    checks.check(finished, "the run after %d kills reaches the server window" % KILLS)
    checks.check(mid_patch >= KILLS // 2, "%d of %d kills interrupted the patch" % (mid_patch, KILLS))
    print("kills survived: %d" % survived)

    for rel, want in expected.items():
        path = app_path / rel
        if isinstance(want, bytes):
            checks.check(path.exists() and path.read_bytes() == want,
                         "%s is byte-identical" % rel)
        else:
            got = read_ini(path) if path.exists() else {}
            section = next(iter(got.values()), {})
            ok = all(section.get(k.lower()) == v for k, v in want.items() if k != "count")
            checks.check(ok, "%s holds the server's versions" % rel)
    # The Korean names travel as their code page 949 bytes, percent-encoded.
    korean = "/autopatch/resource/sound/" + "".join("%%%02X" % b for b in "효과음".encode("cp949"))
    checks.check(korean + ".wav" in requests, "a Korean name is requested as %s.wav" % korean)
    checks.check((app_path / "resource/sound/효과음.wav").exists(),
                 "and lands on disk under its Unicode name")
    checks.check(sorted(os.listdir(parent)) == ["app"], "nothing was written beside the app")
    strays = [str(p.relative_to(app_path)) for p in app_path.rglob("*")
              if p.is_file() and p.name.endswith(".tmp")]
    checks.check(not strays, "no temporary files left behind %s" % strays)
    checks.check(not (app_path / "temp").exists(), "the staging directory is gone")
    if checks.failed == 0:
        app.remove()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
