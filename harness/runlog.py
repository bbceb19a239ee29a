"""The launcher's run log in the Wine prefix (%LOCALAPPDATA%\\VT Launcher\\vtlauncher.log), and
installation folders that cannot be written."""

import contextlib
import re
import subprocess
from pathlib import Path

from .launcher import wine_env

LINE = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) \[(\d+)\] (.*)$")


def _wine_out(*args):
    return subprocess.run(["wine", *args], env=wine_env(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120).stdout.decode("utf-8", "replace")


def log_path():
    """Where the launcher's log lives in the current prefix, asked of Wine itself."""
    local = _wine_out("cmd", "/c", "echo", "%LOCALAPPDATA%").strip()
    unix = _wine_out("winepath", "-u", local).strip()
    return Path(unix) / "VT Launcher" / "vtlauncher.log"


class RunLog:
    """The lines added to the log after construction, as (stamp, pid, text)."""

    def __init__(self):
        self.path = log_path()
        self.start = self.path.stat().st_size if self.path.exists() else 0

    def entries(self):
        if not self.path.exists():
            return []
        data = self.path.read_bytes()
        if len(data) < self.start:  # rotated meanwhile: everything in the new file is ours
            self.start = 0
        out = []
        for raw in data[self.start:].split(b"\r\n"):
            m = LINE.match(raw.decode("utf-8", "replace"))
            if m:
                out.append((m.group(1), int(m.group(2)), m.group(3)))
        return out

    def texts(self):
        return [t for _, _, t in self.entries()]

    def has(self, pattern):
        """The texts matching the regular expression."""
        return [t for t in self.texts() if re.search(pattern, t)]


@contextlib.contextmanager
def read_only(folder):
    """Makes `folder` unwritable for everyone, root included (the tests run as root, for whom
    a mode of 555 changes nothing): a read-only bind mount over it, or, where mounting is not
    allowed, the immutable attribute. Yields how it was done."""
    folder = str(folder)
    how = None
    if subprocess.run(["mount", "--bind", folder, folder], capture_output=True).returncode == 0:
        if subprocess.run(["mount", "-o", "remount,ro,bind", folder],
                          capture_output=True).returncode == 0:
            how = "read-only bind mount"
        else:
            subprocess.run(["umount", folder], capture_output=True)
    if how is None and subprocess.run(["chattr", "+i", folder],
                                      capture_output=True).returncode == 0:
        how = "immutable attribute"
    if how is None:
        raise RuntimeError("cannot make %s read-only (neither mount nor chattr +i works)" % folder)
    try:
        yield how
    finally:
        if how == "read-only bind mount":
            subprocess.run(["umount", folder], capture_output=True)
        else:
            subprocess.run(["chattr", "-i", folder], capture_output=True)
