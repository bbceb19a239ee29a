"""A full patch run in an installation folder whose name code page 949 cannot hold ("Café
Niño": neither é nor ñ is in it): every file arrives as served, no error is reported, temp is
removed, the server window shows, and the game client starts from that folder."""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

FOLDER = "Café Niño"
SERVER = ("127.0.0.1", "로컬 서버")


def outside_cp949(text):
    out = []
    for c in text:
        try:
            c.encode("cp949")
        except UnicodeEncodeError:
            out.append(c)
    return out


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    assert len(outside_cp949(FOLDER)) >= 2, "the folder name must leave code page 949"
    error_shot = a.artefacts / "install_path_error.png"
    error_shot.unlink(missing_ok=True)
    work = Path(tempfile.mkdtemp(prefix="vt-e2e-path-"))
    expected = harness.make_patch(work / "server", files=14, seed=949,
                                  client=a.build / "vt_standin.exe", size_range=(2000, 20000))
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": "%s:%s\r\n" % SERVER},
                         name=FOLDER)
    # Serves the Korean names under their CP949 bytes, at full speed.
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0, rate=0):
        proc = app.start()  # ended by harness.run on every path
        # Ends at the server window, or early at a message box or the launcher's end.
        seen = harness.eventually(
            lambda: harness.message_boxes() or proc.poll() is not None
            or harness.SERVER_CAPTION in [n for _, n in harness.windows()], 180, step=0.2)
        boxes = harness.message_boxes()
        if boxes:
            box = harness.wait_window(boxes[0], timeout=5)
            harness.screenshot(box, error_shot)
        checks.check(not boxes, "no message box during the run: %s" % boxes)
        checks.check(seen and not boxes and proc.poll() is None,
                     "the server window shows after the patch run (launcher %s)"
                     % ("running" if proc.poll() is None else "ended: %s" % proc.returncode))
        wrong = harness.differences(app.path, expected)
        checks.check(not wrong, "%d files and profiles installed as served; wrong: %s"
                     % (len(expected), wrong))
        checks.check(not (app.path / "temp").exists(), "temp is removed at the end")
        checks.check(os.listdir(app.root) == [FOLDER],
                     "nothing was written beside the installation: %s"
                     % os.listdir(app.root))
        if boxes or proc.poll() is not None:
            return checks.finish()

        wid = harness.wait_window(harness.SERVER_CAPTION, timeout=5)
        listed = harness.wait_rows(a.build, 1)
        if checks.check(listed is not None and len(listed[1]) == 1,
                        "the server list holds the one server: %s" % (listed,)):
            _, _, _, x, y = listed[1][0]
            harness.click(wid, x, y)
            checks.check(harness.eventually(
                lambda: (harness.list_rows(a.build) or (0,))[0] == 1, 15, step=0.2),
                "a click selects the server")
            harness.key(wid, "Return")
            standin = harness.read_standin(app.path, timeout=30)
            if checks.check(standin is not None, "Enter starts vt.exe"):
                program = standin["commandline"].split('"')
                checks.check(len(program) > 1
                             and program[1] == harness.windows_path(app.path / "vt.exe"),
                             "vt.exe from the installation: %r" % program[1:2])
                checks.check(standin["directory"].rstrip("\\")
                             == harness.windows_path(app.path),
                             "working directory %r" % standin["directory"])
            try:
                harness.wait_exit(proc, 60)
                checks.check(True, "the launcher ended after starting the client")
            except subprocess.TimeoutExpired:
                checks.check(False, "the launcher ended after starting the client")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
