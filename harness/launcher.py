"""vtlauncher.exe under Wine: a test installation, the Wine environment, and the launcher's
window captions and control positions as the tests address them."""

import contextlib
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from . import xwin
from .poll import wait_until

PATCH_CAPTION = "VT Auto Patch"
SERVER_CAPTION = "서버 선택"
ERROR_CAPTION = "game"  # the title of every error report
FAILED_CAPTION = "업그레이드 실패"
# Centres of the buttons in client coordinates.
CANCEL = (322 + 69 // 2, 78 + 23 // 2)  # cmdCancel of the patch window
CONNECT = (103 + 81 // 2, 243 + 25 // 2)  # cmdConnect of the server window


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env["LC_ALL"] = "ko_KR.UTF-8"
    return env


def windows_path(path):
    """How Wine names a Unix path: drive Z: is the root."""
    return "Z:" + str(path).replace("/", "\\")


class AppDir:
    """A fresh installation directory holding a copy of vtlauncher.exe, plus `files`
    ({relative name: bytes, or text stored as CP949}). With `name` the installation is that
    folder (which may be a relative path) inside a fresh temporary directory, so what lands
    beside it can be seen and the folder's name can be chosen. `exe` names another build of
    the launcher in the build directory, installed as vtlauncher.exe all the same."""

    def __init__(self, build, files=None, name=None, exe="vtlauncher.exe"):
        self.root = Path(tempfile.mkdtemp(prefix="vt-e2e-"))
        self.path = self.root / name if name else self.root
        self.path.mkdir(parents=True, exist_ok=True)
        shutil.copy2(Path(build) / exe, self.path / "vtlauncher.exe")
        for rel, data in (files or {}).items():
            target = self.path / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data if isinstance(data, bytes) else data.encode("cp949"))

    def start(self, command=None):
        """Runs the launcher; `command` names it otherwise on Wine's command line (say, as a
        Windows path in other letter case)."""
        return subprocess.Popen(["wine", command or str(self.path / "vtlauncher.exe")], cwd="/",
                                env=wine_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    @contextlib.contextmanager
    def running(self, command=None):
        """start() for a with block: the launcher is killed at its end unless it has ended."""
        proc = self.start(command)
        try:
            yield proc
        finally:
            stop(proc)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def wait_exit(proc, timeout):
    """The exit code; a process still running at the deadline is killed and the
    TimeoutExpired passed on."""
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise


def message_boxes():
    """Captions of the launcher's message boxes now shown."""
    return [n for _, n in xwin.windows() if n in (ERROR_CAPTION, FAILED_CAPTION)]


def stop(proc):
    """Kills the launcher unless it has ended (or never started: None) and waits for it."""
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait(timeout=30)


def outcome(proc, timeout=120):
    """How a patch run ends: 'error' once the error report shows, 'refused' once an
    "업그레이드 실패" box does, 'servers' once the server window does, 'ended' when the program
    ends first. TimeoutError names the windows shown at the deadline."""
    def seen():
        shown = [n for _, n in xwin.windows()]
        for caption, what in ((ERROR_CAPTION, "error"), (FAILED_CAPTION, "refused"),
                              (SERVER_CAPTION, "servers")):
            if caption in shown:
                return what
        return None if proc.poll() is None else "ended"
    return wait_until(seen, timeout, "the end of the patch run",
                      detail=lambda: "windows shown: %s" % xwin.windows())
