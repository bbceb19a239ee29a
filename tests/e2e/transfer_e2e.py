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
    # Trickled over 4 s, so the staged file can be watched while it grows.
    with harness.TrickleServer(root, a.host, a.port, head_delay=0, spread=4) as server:
        proc = app.start()
        try:
            seen = harness.eventually(staged.exists, 60, step=0.05)
            checks.check(seen, "temp\\vtgame.ini appears while the profile arrives")
            checks.check(harness.eventually(lambda: not (app.path / "temp").exists(), 30),
                         "temp is removed after the run")
            checks.check(server.requests() == ["/autopatch/vtgame.ini"],
                         "the server saw one GET of /autopatch/vtgame.ini: %r" % server.requests())
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
    with harness.TrickleServer(root, a.host, a.port, head_delay=0, spread=60):
        proc = app.start()
        try:
            checks.check(harness.eventually(lambda: size(staged) > 0, 60, step=0.05),
                         "the body has begun to arrive")
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
    sys.exit(main())
