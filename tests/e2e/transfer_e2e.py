"""The launcher's first transfer: vtgame.ini from the build's patch host into temp\\, then temp
removed; a patch host that does not answer gives the message "업그레이드 실패" and the end;
cmdCancel ends the program while the body of a transfer is still arriving."""

import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

PROFILE_URL = "/autopatch/vtgame.ini"
PROFILE = "[version]\r\ngame=1.0\r\nvtgame=1.0\r\n" + "; padding\r\n" * 300


def patch_tree(root):
    (root / "autopatch").mkdir(parents=True)
    (root / "autopatch" / "vtgame.ini").write_bytes(PROFILE.encode("cp949"))


def size(path):
    try:
        return path.stat().st_size
    except OSError:
        return 0


def fetches_profile_then_removes_temp(a, checks, root):
    app = harness.AppDir(a.build)
    staged = app.path / "temp" / "vtgame.ini"
    with harness.TrickleServer(root, a.host, a.port, head_delay=0, rate=0) as server:
        # The profile's answer is held halfway, so its staged copy can be seen while it
        # arrives: once the rest is sent the file is read and removed at once.
        with server.hold(lambda path, index: path == PROFILE_URL, share=0.5) as hold:
            proc = app.start()
            try:
                seen = harness.eventually(lambda: hold.held() and size(staged) > 0, 60,
                                          step=0.05)
                checks.check(seen, "temp\\vtgame.ini holds part of the profile while the rest "
                             "is held back (%d of %d bytes)" % (size(staged), len(PROFILE)))
                hold.release()
                checks.check(harness.eventually(lambda: not (app.path / "temp").exists(), 30),
                             "temp is removed after the run")
                checks.check(server.requests() == [PROFILE_URL],
                             "the server saw one GET of %s: %r" % (PROFILE_URL, server.requests()))
                wid = harness.wait_window(harness.PATCH_CAPTION, timeout=10)
                harness.screenshot(wid, a.artefacts / "transfer_after_profile.png")
                checks.check(harness.FAILED_CAPTION not in harness.message_boxes(),
                             "no failure message")
                checks.check(proc.poll() is None, "the launcher goes on after the transfer")
            finally:
                harness.stop(proc)
                app.remove()


def no_server_tells_and_ends(a, checks):
    app = harness.AppDir(a.build)
    proc = app.start()
    try:
        box = harness.wait_window(harness.FAILED_CAPTION, timeout=60)
        harness.screenshot(box, a.artefacts / "transfer_failed.png")
        checks.check(proc.poll() is None, "the program waits for the message to be closed")
        checks.check(not (app.path / "temp" / "vtgame.ini").exists(), "nothing was staged")
        harness.key(box, "Return")
        checks.check(harness.wait_exit(proc, 20) is not None,
                     "closing the message ends the program")
        checks.check((app.path / "temp").is_dir(), "temp stays: the run ended before clearing")
    finally:
        harness.stop(proc)
        app.remove()


def cancel_during_the_body_ends_at_once(a, checks, root):
    app = harness.AppDir(a.build)
    staged = app.path / "temp" / "vtgame.ini"
    with harness.TrickleServer(root, a.host, a.port, head_delay=0, rate=0) as server, \
            server.hold(lambda path, index: path == PROFILE_URL, share=0.5) as hold:
        proc = app.start()
        try:
            checks.check(harness.eventually(lambda: hold.held() and size(staged) > 0, 60,
                                            step=0.05),
                         "the body has begun to arrive and the rest is held back")
            wid = harness.wait_window(harness.PATCH_CAPTION, timeout=10)
            started = time.monotonic()
            harness.click(wid, *harness.CANCEL)
            try:
                harness.wait_exit(proc, 10)
                ended = True
            except subprocess.TimeoutExpired:
                ended = False
            checks.check(ended, "cmdCancel ends the program during the body (%.1f s)"
                         % (time.monotonic() - started))
        finally:
            harness.stop(proc)
            app.remove()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = Path(tempfile.mkdtemp(prefix="vt-e2e-patch-"))
    patch_tree(root)
    try:
        fetches_profile_then_removes_temp(a, checks, root)
        no_server_tells_and_ends(a, checks)
        cancel_during_the_body_ends_at_once(a, checks, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
