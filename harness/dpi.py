"""Wine prefixes at a chosen DPI, and the check of the launcher's captions against their
controls (vt_fitcheck.exe).

Wine takes the DPI from LogPixels, read when the prefix's wineserver starts: a prefix is made
once per DPI below the build directory, kept for later runs, and restarted after the change."""

import os
import subprocess
from pathlib import Path

from .launcher import wine_env
from .poll import wait_until

_KEYS = [r"HKCU\Control Panel\Desktop",
         r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"]


def _run(args, env, timeout=120):
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def _has_dpi(prefix, dpi):
    """Both registry files hold LogPixels = dpi (Wine writes them when its server ends)."""
    want = '"LogPixels"=dword:%08x' % dpi
    try:
        return all(want in (prefix / name).read_text(errors="replace")
                   for name in ("user.reg", "system.reg"))
    except OSError:
        return False


def prefix_env(build, dpi):
    """The Wine environment of the prefix for `dpi` (made or mended first): Korean locale, no
    Mono or Gecko prompts."""
    prefix = Path(build) / ("wineprefix-dpi-%d" % dpi)
    env = wine_env()
    env["WINEPREFIX"] = str(prefix)
    env["WINEARCH"] = "win64"
    if not _has_dpi(prefix, dpi):
        prefix.mkdir(parents=True, exist_ok=True)
        if not (prefix / "system.reg").exists():
            _run(["wineboot", "-i"], env, timeout=300)
            _run(["wineserver", "-w"], env, timeout=300)
        for key in _KEYS:
            _run(["wine", "reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                  str(dpi), "/f"], env)
        _run(["wineserver", "-w"], env, timeout=300)  # written out, read afresh next start
        wait_until(lambda: _has_dpi(prefix, dpi), 10, "LogPixels %d in %s" % (dpi, prefix))
    return env


class WinePrefix:
    """For a with block: the prefix for `dpi` with one persistent wineserver, its services
    started with no pipe of ours (a test reading a helper's output would otherwise wait for
    them), and os.environ pointed at it so the harness runs everything there; the server is
    stopped and the environment restored at the end."""

    def __init__(self, build, dpi):
        self.build, self.dpi = build, dpi
        self.env = None
        self._saved = None

    def __enter__(self):
        self.env = prefix_env(self.build, self.dpi)
        _run(["wineserver", "-p"], self.env)
        _run(["wine", "cmd.exe", "/c", "exit"], self.env)
        self._saved = {k: os.environ.get(k) for k in ("WINEPREFIX", "WINEARCH")}
        os.environ["WINEPREFIX"] = self.env["WINEPREFIX"]
        os.environ["WINEARCH"] = self.env["WINEARCH"]
        return self

    def __exit__(self, *exc):
        _run(["wineserver", "-k"], self.env)
        for k, v in self._saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def fit_check(build, caption):
    """(exit code, report) of vt_fitcheck.exe for the window titled `caption`: 0 when every
    shown caption fits its control and no two shown controls overlap, 1 with the offenders
    listed, 2 when the window or the probe is missing."""
    r = subprocess.run(["wine", str(Path(build) / "vt_fitcheck.exe"),
                        caption.encode("utf-8").hex()],
                       env=wine_env(), capture_output=True, timeout=120)
    return r.returncode, (r.stdout + r.stderr).decode("utf-8", "replace").replace("\r", "")
