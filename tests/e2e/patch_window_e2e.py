"""The patch window of the real launcher: a fresh installation gets its directory tree, the
window "VT Auto Patch" shows with a 402 x 107 client area, and cmdCancel ends the program.
The patch host answers no request, so the window stays up while it is inspected."""

import socketserver
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

TREE = ["resource", "resource/sound", "resource/data", "resource/data/card1",
        "resource/data/card2", "resource/data/card3", "resource/data/card4", "temp"]
CANCEL = (322 + 69 // 2, 78 + 23 // 2)  # centre of cmdCancel in client coordinates


class StallingServer:
    """Accepts every connection and holds it open without a reply until stopped."""

    def __init__(self, host, port):
        stop = self.stop = threading.Event()
        self.requests = 0
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.requests += 1
                stop.wait()

        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.server = socketserver.ThreadingTCPServer((host, port), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.server.shutdown()
        self.server.server_close()


def colours(png):
    r = subprocess.run(["convert", str(png), "-format", "%k", "info:"], capture_output=True,
                       text=True, env=harness.x_env())
    return int(r.stdout.strip() or 0)


def file_in_place_of_temp(a, checks):
    """A plain file named "temp" is reported in a message box; closing it ends the program
    before the patch window is ever shown."""
    app = harness.AppDir(a.build, files={"temp": b"not a directory"})
    proc = app.start()
    try:
        box = harness.wait_window("game", timeout=60)
        checks.check(not [w for w, n in harness.windows() if n == "VT Auto Patch"],
                     "the error is reported before the patch window is shown")
        harness.screenshot(box, a.artefacts / "patch_window_error.png")
        harness.key(box, "Return")
        try:
            harness.wait_exit(proc, 5)
            ended = True
        except subprocess.TimeoutExpired:
            ended = False
        checks.check(ended, "closing the error report ends the program")
        checks.check((app.path / "temp").read_bytes() == b"not a directory",
                     "the file named temp is left as it was")
    except TimeoutError as e:
        checks.check(False, str(e))
    finally:
        if proc.poll() is None:
            proc.kill()
        app.remove()


def main():
    a = harness.parse_args(__doc__)
    checks = harness.Checks()
    file_in_place_of_temp(a, checks)
    app = harness.AppDir(a.build)
    proc = None
    with StallingServer(a.host, a.port):
        try:
            proc = app.start()
            wid = harness.wait_window("VT Auto Patch", timeout=60)
            time.sleep(1.0)  # let the first paint finish
            checks.check(all((app.path / d).is_dir() for d in TREE),
                         "load created resource, its subdirectories, four card directories, temp")
            checks.check(not (app.path / "resource/data/card5").exists(), "no fifth card directory")
            _, _, w, h = harness.geometry(wid)
            checks.check((w, h) == (402, 107), "client area %dx%d is 402x107" % (w, h))
            shot = harness.screenshot(wid, a.artefacts / "patch_window.png")
            checks.check(colours(shot) > 50, "screenshot %s shows banner and controls" % shot)
            checks.check(proc.poll() is None, "the window stays while the patch host is silent")
            harness.click(wid, *CANCEL)
            try:
                harness.wait_exit(proc, 5)
                ended = True
            except subprocess.TimeoutExpired:
                ended = False
            checks.check(ended, "cmdCancel ends the program within 5 s")
            if ended:
                checks.check(proc.returncode == 0, "exit code 0 (got %s)" % proc.returncode)
        finally:
            if proc is not None and proc.poll() is None:
                proc.kill()
            app.remove()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
