"""An installation folder that cannot be written (a read-only mount, or the immutable attribute
where mounting is not allowed): before anything is written the launcher finds out, asks for an
elevated start at most once, and shows under the application's title which folder it cannot
write; closing that message ends the launcher. Nothing is written and no patch window shows."""

import re
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402


def launcher_processes(app):
    out = subprocess.run(["pgrep", "-f", str(app.path / "vtlauncher.exe")],
                         capture_output=True, text=True).stdout
    return out.split()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    shot = a.artefacts / "unwritable_folder.png"
    shot.unlink(missing_ok=True)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n"})
    before = sorted(p.name for p in app.path.iterdir())
    folder = harness.windows_path(app.path)
    log = harness.RunLog()
    with harness.read_only(app.path) as how:
        print("folder made unwritable by a %s" % how, flush=True)
        checks.check(subprocess.run(["touch", str(app.path / "x")],
                                    capture_output=True).returncode != 0,
                     "root itself cannot write the folder")
        proc = app.start()
        try:
            box = harness.wait_window(harness.ERROR_CAPTION, timeout=90)
        except TimeoutError as e:
            checks.check(False, str(e))
            return checks.finish()
        harness.screenshot(box, shot)
        checks.check(not [w for w, n in harness.windows() if n == harness.PATCH_CAPTION],
                     "no patch window is shown")
        refusal = harness.eventually(
            lambda: log.has(r"^refused: installation folder cannot be written: "
                            + re.escape(folder) + r" \("), 60)
        checks.check(refusal is not None, "the log names the folder that cannot be written: "
                     "%s" % refusal)
        starts = log.has(r"^vtlauncher .* started")
        asked = log.has(r"^cannot write .*asking Windows to start the launcher elevated$")
        print("\n".join(log.texts()), flush=True)
        # Elevation is asked for at most once, and only by an unmarked instance.
        checks.check(len(asked) <= 1 and len(starts) == 1 + len(asked),
                     "%d start(s), %d request(s) for elevation" % (len(starts), len(asked)))
        if asked:
            checks.check("restarted for elevation" in starts[-1],
                         "the restarted instance carries the marker")
        harness.key(box, "Return")
        ended = harness.eventually(lambda: not launcher_processes(app), 60, step=0.2)
        checks.check(ended is not None, "closing the message ends the launcher")
        checks.check(log.texts()[-1:] == ["end of run"], "the log ends the run")
        checks.check(len(log.has(r"^vtlauncher .* started")) == len(starts),
                     "no further instance started after the message")
    checks.check(sorted(p.name for p in app.path.iterdir()) == before,
                 "nothing was written in the folder: %s"
                 % sorted(p.name for p in app.path.iterdir()))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
