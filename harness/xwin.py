"""The launcher's windows on the X display: finding them, clicks and keys, screenshots.
Without a window manager an X window is the client area of its Wine window."""

import os
import subprocess

from .poll import eventually, wait_until


def x_env():
    env = dict(os.environ)
    env["LC_ALL"] = "C.UTF-8"  # the ko_KR locale is not installed for Linux programs
    return env


def _xdotool(*args, check=False):
    r = subprocess.run(["xdotool", *map(str, args)], env=x_env(), capture_output=True,
                       text=True)
    if check and r.returncode != 0:
        raise RuntimeError("xdotool %s: %s" % (args, r.stderr.strip()))
    return r.stdout.strip()


def _shell_values(out):
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def windows():
    """[(id, name)] of the named, mapped windows on the display."""
    out = []
    for wid in _xdotool("search", "--onlyvisible", "--name", ".").split():
        out.append((int(wid), _xdotool("getwindowname", wid)))
    return out


def _shown():
    return ", ".join(repr(n) for _, n in windows()) or "none"


def wait_window(title, timeout=30.0, gone=False):
    """The id of a visible window titled exactly `title`, once there is one (with gone: None,
    once there is none). TimeoutError lists the windows shown at the deadline."""
    def state():
        found = [w for w, n in windows() if n == title]
        if gone:
            return not found
        return found[0] if found else None

    found = wait_until(state, timeout, "window %r %s" % (title, "gone" if gone else "shown"),
                       detail=lambda: "windows shown: " + _shown(), step=0.2)
    return None if gone else found


def geometry(wid):
    """(x, y, width, height) of the window."""
    v = _shell_values(_xdotool("getwindowgeometry", "--shell", wid))
    return int(v["X"]), int(v["Y"]), int(v["WIDTH"]), int(v["HEIGHT"])


def click(wid, x, y):
    """A left click at client coordinates (x, y) of the window, once the pointer is there."""
    _xdotool("mousemove", "--window", wid, x, y, check=True)
    wx, wy, _, _ = geometry(wid)

    def arrived():
        v = _shell_values(_xdotool("getmouselocation", "--shell"))
        return (int(v.get("X", -1)), int(v.get("Y", -1))) == (wx + x, wy + y)

    wait_until(arrived, 5, "pointer at %d,%d of window %d" % (x, y, wid), step=0.02)
    _xdotool("click", "1", check=True)


def key(wid, *keys):
    """Keys go through XTEST to the focused window (Wine ignores synthetic key events)."""
    _xdotool("windowfocus", "--sync", wid)
    wait_until(lambda: _xdotool("getwindowfocus") == str(wid), 5,
               "keyboard focus on window %d" % wid, step=0.02)
    _xdotool("key", *keys, check=True)


def screenshot(wid, path):
    subprocess.run(["import", "-window", str(wid), str(path)], env=x_env(), check=True,
                   capture_output=True)
    return path


def colours(png):
    """How many distinct colours the picture holds."""
    r = subprocess.run(["convert", str(png), "-format", "%k", "info:"], capture_output=True,
                       text=True, env=x_env())
    return int(r.stdout.strip() or 0)


def signature(png):
    """A hash of the picture's pixels (not of the file, whose metadata holds times)."""
    r = subprocess.run(["identify", "-format", "%#", str(png)], capture_output=True, text=True,
                       env=x_env())
    return r.stdout.strip()


def wait_painted(wid, path, timeout=15.0, min_colours=50, unlike=None):
    """Screenshots the window into `path` until the picture holds more than min_colours colours
    (a window still blank or half drawn has a few) and, with `unlike`, differs from that
    signature; returns the path, or None at the deadline with the last picture kept."""
    def painted():
        try:
            screenshot(wid, path)
        except subprocess.CalledProcessError:
            return None
        if colours(path) <= min_colours:
            return None
        return unlike is None or signature(path) != unlike

    return path if eventually(painted, timeout, step=0.2) else None
