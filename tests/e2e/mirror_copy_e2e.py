"""A mirror kept by rclone with the commands docs/patch-format.md gives, run one by one while
vtlauncher_testkey.exe updates from the mirror's nginx: each run publishes a new serial into
ROOT, runs the first commands of the copy (each number of them once, in a seeded order),
starts the launcher, and runs the rest while the launcher is held inside a payload. Nothing is refused,
the launcher ends on the serial of the profile the mirror served when it asked, every set
byte-identical to that serial's files, and the next run moves on."""

import os
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402
from harness import edge  # noqa: E402

RUNS = os.environ.get("VT_MIRROR_RUNS")  # default: one run per point of the copy
SEED = 20261210
DOC = harness.ROOT / "docs" / "patch-format.md"
ORIGIN_PORT = 18113


def documented_copy():
    """The rclone commands of the document, one per step (continued lines joined)."""
    text = DOC.read_text(encoding="utf-8")
    start = text.index("With rclone, from ROOT to a mirror")
    opening = text.index("```\n", start) + 4
    block = text[opening:text.index("```", opening)].replace("\\\n", " ")
    return [line.strip() for line in block.splitlines()
            if line.strip().startswith("rclone ")]


def switch_step(steps):
    """The index of the step that puts vtgame.signed in place: from then on the mirror serves
    the new serial to a keyed launcher."""
    return next(i for i, s in enumerate(steps)
                if re.search(r"\$MIRROR/autopatch/vtgame\.signed\"?$", s.split(" --")[0]))


def run_steps(steps, env, log):
    for step in steps:
        began = time.monotonic()
        r = subprocess.run(["bash", "-c", step], env=env, capture_output=True, text=True,
                           timeout=120)
        log.append((step.split()[1], round(time.monotonic() - began, 2)))
        if r.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (step, r.returncode, r.stderr[-600:]))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    rng = random.Random(SEED)
    work = Path(tempfile.mkdtemp(prefix="vt-mirror-"))
    steps = documented_copy()
    switch = switch_step(steps)
    checks.check(len(steps) >= 4 and 0 < switch < len(steps),
                 "the document gives %d rclone steps, vtgame.signed in place at step %d"
                 % (len(steps), switch + 1))
    (work / "mirror").mkdir()
    (work / "rclone.conf").write_text("")
    env = dict(os.environ, ROOT=str(work / "root"), MIRROR=str(work / "mirror"),
               RCLONE_CONFIG=str(work / "rclone.conf"))
    history = edge.History(harness.vtpatch_path(a.build), work, work / "root", rng)
    history.prepare(changes=0, client=0)
    mirrored = history.publish()
    timings = []
    run_steps(steps, env, timings)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, name="app",
                         exe=harness.SIGNED_EXE)
    installed, refused, failed = None, [], []
    began = time.monotonic()
    # How many steps are done before the launcher starts: every point of the copy.
    splits = list(range(len(steps) + 1))
    rng.shuffle(splits)
    runs = int(RUNS or len(splits))
    with harness.Nginx(work / "mirror", a.host, ORIGIN_PORT, workdir=work / "nginx"), \
            edge.Gate(a.host, a.port, (a.host, ORIGIN_PORT)) as gate:
        for i in range(runs):
            history.prepare(changes=rng.randint(2, 4))
            new = history.publish()
            before = splits[i % len(splits)]
            run_steps(steps[:before], env, timings)
            expected = new if before > switch else mirrored
            fetched = history.objects_between(installed, expected)
            name, target = rng.choice(fetched) if fetched else (None, None)
            hold = gate.hold(lambda path, index, t=target: t is not None and path.endswith(t),
                             share=rng.uniform(0.05, 0.6))
            log = harness.RunLog()
            proc = app.start()
            try:
                if target:
                    harness.wait_until(lambda: hold.held() or proc.poll() is not None, 120,
                                       "run %d: %s held" % (i + 1, name))
                    run_steps(steps[before:], env, timings)  # the rest, while it is held
                    hold.release()
                    how = harness.outcome(proc, timeout=180)
                else:  # current already: nothing to hold it by, so it runs whole first
                    how = harness.outcome(proc, timeout=180)
                    run_steps(steps[before:], env, timings)
            finally:
                harness.stop(proc)
                hold.release()
            lines = log.texts()
            if how == "refused" or [t for t in lines if t.startswith("refused")]:
                refused.append((i + 1, [t for t in lines if t.startswith("refused")]))
            elif how != "servers":
                failed.append((i + 1, how, lines[-6:]))
            serial = harness.read_ini(app.path / "vtgame.ini").get("publish", {}).get("serial")
            per_set = edge.serials_per_set(app.path, history, [expected])
            wrong = [s for s, got in per_set.items() if expected not in got]
            print("run %d: %d of %d steps before the start, %s; ended at %s (expected %s)"
                  % (i + 1, before, len(steps), "held %s at %s" % (name, hold.position)
                     if target else "nothing to fetch", serial, expected), flush=True)
            checks.check(serial == str(expected) and not wrong and (not target or hold.held()),
                         "run %d: every set at serial %s, the one the mirror served when the "
                         "launcher asked %s" % (i + 1, expected, wrong))
            installed, mirrored = expected, new
        lint = subprocess.run([str(history.vtpatch), "lint", "http://%s:%d/" % (a.host, a.port),
                               "--pub", str(harness.TEST_PUB), "--against", str(work / "root")],
                              capture_output=True, text=True, timeout=300)
    print("%d runs in %.0f s; rclone steps took %.2f s at most"
          % (runs, time.monotonic() - began, max(t for _, t in timings)), flush=True)
    checks.check(not refused, "no run refused %s" % refused)
    checks.check(not failed, "every run ended at the server window %s" % failed)
    checks.check(lint.returncode == 0, "lint of the finished mirror against ROOT finds nothing "
                 "(%d): %s" % (lint.returncode, (lint.stdout + lint.stderr).strip()[-400:]))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
