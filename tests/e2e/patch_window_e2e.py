"""The patch window of the real launcher: a fresh installation gets its directory tree, the
window "VT Auto Patch" shows with a 402 x 107 client area, and cmdCancel ends the program.
The patch host answers no request, so the window stays up while it is inspected."""

import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

TREE = ["resource", "resource/sound", "resource/data", "resource/data/card1",
        "resource/data/card2", "resource/data/card3", "resource/data/card4",
        "resource/data/card5", "temp"]


def ends_within(proc, seconds):
    try:
        harness.wait_exit(proc, seconds)
        return True
    except subprocess.TimeoutExpired:
        return False


def file_in_place_of_temp(a, checks):
    """A plain file named "temp" is reported in a message box; closing it ends the program
    before the patch window is ever shown."""
    app = harness.AppDir(a.build, files={"temp": b"not a directory"})
    with app.running() as proc:
        box = harness.wait_window(harness.ERROR_CAPTION, timeout=60)
        checks.check(not [w for w, n in harness.windows() if n == harness.PATCH_CAPTION],
                     "the error is reported before the patch window is shown")
        harness.screenshot(box, a.artefacts / "patch_window_error.png")
        harness.key(box, "Return")
        checks.check(ends_within(proc, 60), "closing the error report ends the program")
        checks.check((app.path / "temp").read_bytes() == b"not a directory",
                     "the file named temp is left as it was")


def main():
    a = harness.parse_args(__doc__)
    checks = harness.Checks()
    file_in_place_of_temp(a, checks)
    app = harness.AppDir(a.build)
    with harness.StallingServer(a.host, a.port), app.running() as proc:
        wid = harness.wait_window(harness.PATCH_CAPTION, timeout=60)
        checks.check(all((app.path / d).is_dir() for d in TREE),
                     "load created resource, its subdirectories, five card directories, temp")
        _, _, w, h = harness.geometry(wid)
        checks.check((w, h) == (402, 107), "client area %dx%d is 402x107" % (w, h))
        shot = a.artefacts / "patch_window.png"
        checks.check(harness.wait_painted(wid, shot, min_colours=50) is not None,
                     "screenshot %s shows banner and controls (%d colours)"
                     % (shot, harness.colours(shot) if shot.exists() else 0))
        checks.check(proc.poll() is None, "the window stays while the patch host is silent")
        harness.click(wid, *harness.CANCEL)
        ended = ends_within(proc, 60)
        checks.check(ended, "cmdCancel ends the program")
        if ended:
            checks.check(proc.returncode == 0, "exit code 0 (got %s)" % proc.returncode)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
