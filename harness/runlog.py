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


class RunLog:
    """The lines added to the log after construction, as (stamp, pid, text). The launcher
    rotates the log at 1 MiB, also in the middle of a run, by renaming it to
    vtlauncher.1.log: the lines written before that are read from there."""

    def __init__(self):
        self.path = log_path()
        self.rotated = self.path.with_name("vtlauncher.1.log")
        stat = self.path.stat() if self.path.exists() else None
        self.start = stat.st_size if stat else 0
        self.inode = stat.st_ino if stat else None

    def _ours(self):
        """The bytes written since construction, across one rotation."""
        try:
            with open(self.path, "rb") as f:
                inode, data = os.fstat(f.fileno()).st_ino, f.read()
        except FileNotFoundError:
            inode, data = None, b""
        if self.inode is None:  # there was no log: all of it is ours
            return data
        if inode == self.inode:
            return data[self.start:]
        # Rotated meanwhile (a rename keeps the file's inode): its later part is ours too.
        try:
            with open(self.rotated, "rb") as f:
                older = f.read()[self.start:] if os.fstat(f.fileno()).st_ino == self.inode else b""
        except FileNotFoundError:
            older = b""
        return older + data

    def entries(self):
        out = []
        for raw in self._ours().split(b"\r\n"):
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
