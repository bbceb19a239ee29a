"""What the test programs of the build report: the stand-in game client (vt_standin.exe,
copied in as vt.exe) and the reader of the server window's list (vt_listdump.exe)."""

import subprocess
from pathlib import Path

from .launcher import SERVER_CAPTION, wine_env
from .poll import eventually

_STANDIN_KEYS = ("commandline", "arguments", "directory")


def read_standin(app_path, timeout=15.0):
    """{commandline, arguments, directory} the stand-in wrote into app_path once it has written
    them all; None when it has not by the deadline."""
    report = Path(app_path) / "standin-run.txt"

    def complete():
        try:
            text = report.read_text("utf-8")
        except (OSError, UnicodeDecodeError):
            return None
        values = dict(l.split("=", 1) for l in text.splitlines() if "=" in l)
        return values if text.endswith("\n") and all(k in values for k in _STANDIN_KEYS) else None

    return eventually(complete, timeout)


def list_rows(build, caption=SERVER_CAPTION):
    """(selected, [(name, ping, state, x, y)]) of the list in the window titled `caption`,
    selected counted from 1 (0: none), x, y the row's centre in client coordinates; None when
    the window or its list is not there."""
    r = subprocess.run(["wine", str(Path(build) / "vt_listdump.exe"),
                        caption.encode("utf-8").hex()],
                       env=wine_env(), capture_output=True, timeout=60)
    if r.returncode != 0:
        return None
    selected, rows = 0, []
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        line = line.rstrip("\r")
        if line.startswith("selected="):
            selected = int(line[9:])
        elif line.startswith("row="):
            _, name, ping, state, x, y = line.split("\t")
            rows.append((name, ping, state, int(x), int(y)))
    return selected, rows


PROBED = ("정상", "오류")  # a row's state once its probe has ended


def wait_rows(build, count, timeout=60.0, caption=SERVER_CAPTION, probed=False):
    """(selected, rows) of the list once it holds `count` rows (with `probed`, each with its
    probe ended): a window may be read before it has added them. At the deadline the last
    reading (None when there was none)."""
    last = [None]

    def filled():
        listed = list_rows(build, caption)
        if listed is not None:
            last[0] = listed
        if listed is None or len(listed[1]) != count:
            return None
        return listed if not probed or all(r[2] in PROBED for r in listed[1]) else None

    return eventually(filled, timeout, step=0.2) or last[0]
