"""The launcher's run log in the Wine prefix (%LOCALAPPDATA%\\VT Launcher\\vtlauncher.log), and
installation folders that cannot be written."""

import contextlib
import os
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


def _file_of(path):
    """(inode, bytes) of the file at `path`, read through one handle; (None, b"") without it."""
    try:
        with open(path, "rb") as f:
            return os.fstat(f.fileno()).st_ino, f.read()
    except FileNotFoundError:
        return None, b""


class RunLog:
    """The lines added to the log after construction, as (stamp, pid, text). A run that
    takes the log to 1 MiB moves it to the older copy (vtlauncher.1.log) and goes on in a new
    file: the lines logged before that are read from there."""

    def __init__(self):
        self.path = log_path()
        self.older = self.path.with_name(self.path.stem + ".1" + self.path.suffix)
        self.inode, data = _file_of(self.path)
        self.start = len(data)

    def _logged(self):
        inode, data = _file_of(self.path)
        if inode == self.inode:
            return data[self.start:]
        # Rotated meanwhile: the file we began in is the older copy now, unless it was made
        # afresh (then everything in the new file is ours).
        older_inode, older = _file_of(self.older)
        return (older[self.start:] if self.inode is not None and older_inode == self.inode
                else b"") + data

    def entries(self):
        out = []
        for raw in self._logged().split(b"\r\n"):
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
