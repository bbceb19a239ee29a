"""The launcher's first transfer: vtgame.ini from the build's patch host into temp\\, then temp
removed; a patch host that does not answer gives the message "업그레이드 실패" and the end;
cmdCancel ends the program while the body of a transfer is still arriving."""

import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "transfer"))
import harness  # noqa: E402
import scripted_server  # noqa: E402

PATCH_TITLE = "VT Auto Patch"
FAILED_TITLE = "업그레이드 실패"
CANCEL = (322 + 69 // 2, 78 + 23 // 2)  # centre of cmdCancel in client coordinates
PROFILE = "[version]\r\ngame=1.0\r\nvtgame=1.0\r\n" + "; padding\r\n" * 300


def patch_tree(root):
    (root / "autopatch").mkdir(parents=True)
    (root / "autopatch" / "vtgame.ini").write_bytes(PROFILE.encode("cp949"))


def wait_for(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return False


def fetches_profile_then_removes_temp(a, checks, root):
    log = a.artefacts / "transfer_e2e_requests.log"
    log.unlink(missing_ok=True)
    app = harness.AppDir(a.build)
    staged = app.path / "temp" / "vtgame.ini"
    # Trickled over 4 s, so the staged file can be watched while it grows.
    with scripted_server.Background(a.host, a.port, root=root, log_path=str(log), slow=4):
        proc = app.start()
        try:
            seen = wait_for(staged.exists, 60)
            checks.check(seen, "temp\\vtgame.ini appears while the profile arrives")
            checks.check(wait_for(lambda: not (app.path / "temp").exists(), 30),
                         "temp is removed after the run")
            requests = log.read_text().splitlines() if log.exists() else []
            checks.check(requests == ["GET /autopatch/vtgame.ini"],
                         "the server saw one GET of /autopatch/vtgame.ini: %r" % requests)
            wid = harness.wait_window(PATCH_TITLE, timeout=10)
            harness.screenshot(wid, a.artefacts / "transfer_after_profile.png")
            checks.check(not [w for w, n in harness.windows() if n == FAILED_TITLE],
                         "no failure message")
            checks.check(proc.poll() is None, "the launcher goes on after the transfer")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            app.remove()


def no_server_tells_and_ends(a, checks):
    app = harness.AppDir(a.build)
    proc = app.start()
    try:
        box = harness.wait_window(FAILED_TITLE, timeout=60)
        harness.screenshot(box, a.artefacts / "transfer_failed.png")
        checks.check(proc.poll() is None, "the program waits for the message to be closed")
        checks.check(not (app.path / "temp" / "vtgame.ini").exists(), "nothing was staged")
        harness.key(box, "Return")
        checks.check(harness.wait_exit(proc, 20) is not None,
                     "closing the message ends the program")
        checks.check((app.path / "temp").is_dir(), "temp stays: the run ended before clearing")
    finally:
        if proc.poll() is None:
            proc.kill()
        app.remove()


def cancel_during_the_body_ends_at_once(a, checks, root):
    app = harness.AppDir(a.build)
    staged = app.path / "temp" / "vtgame.ini"
    with scripted_server.Background(a.host, a.port, root=root, slow=60):
        proc = app.start()
        try:
            checks.check(wait_for(lambda: staged.exists() and staged.stat().st_size > 0, 60),
                         "the body has begun to arrive")
            wid = harness.wait_window(PATCH_TITLE, timeout=10)
            started = time.monotonic()
            harness.click(wid, *CANCEL)
            code = harness.wait_exit(proc, 20)
            checks.check(code is not None and time.monotonic() - started < 10,
                         "cmdCancel ends the program during the body (%.1f s)" %
                         (time.monotonic() - started))
        finally:
            if proc.poll() is None:
                proc.kill()
            app.remove()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = Path(harness.tempfile.mkdtemp(prefix="vt-e2e-patch-"))
    patch_tree(root)
    try:
        fetches_profile_then_removes_temp(a, checks, root)
        no_server_tells_and_ends(a, checks)
        cancel_during_the_body_ends_at_once(a, checks, root)
    finally:
        harness.shutil.rmtree(root, ignore_errors=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
