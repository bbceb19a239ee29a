"""One launcher per installation. While a launcher patches, a second start from the same
folder (also named in other letter case) ends with exit code 0 and fetches and writes nothing,
but brings the first one's window to the front; the first goes on, its staged files intact, and
finishes its patch. A launcher in another folder is not held back.

The patch host holds back the reply to a manifest in the middle of the patch until the second
starts have been seen to end, so they end while the first is patching, however slow the
machine."""

import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

PROFILE = "/autopatch/vtgame.ini"
HELD = "/vtcard3.ini"  # the manifest whose reply waits until the second starts have ended
PROBE = Path(__file__).with_name("foreground_probe.cpp")


def build_probe(build):
    """foreground_probe.exe, compiled into the build directory with the build's compiler."""
    exe = Path(build) / "foreground_probe.exe"
    subprocess.run(["x86_64-w64-mingw32-g++-posix", "-std=c++20", "-municode", "-static",
                    "-O1", "-o", str(exe), str(PROBE)], check=True, capture_output=True)
    return exe


def foreground(probe):
    """The installation folder (Windows path, lower case) of the process owning Wine's
    foreground window, or None."""
    r = subprocess.run(["wine", str(probe)], env=harness.wine_env(), capture_output=True,
                       timeout=60)
    values = dict(line.split("=", 1) for line in r.stdout.decode("utf-8", "replace")
                  .splitlines() if "=" in line)
    image = values.get("image", "").rstrip("\r")
    return image.rsplit("\\", 1)[0].lower() if image else None


def names_in(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


def read(path):
    try:
        return path.read_bytes()
    except OSError:
        return None


def refused(checks, what, app, command, first, server):
    """Starts a launcher that must give way to `first`: it ends quickly with code 0, having
    fetched nothing, and the first one's staged files are as they were."""
    temp = app.path / "temp"
    # The first one's server profile is complete (it is fetched first); a manifest may still
    # be arriving, so of those only the names are compared.
    staged = names_in(temp)
    profile = read(temp / "vtgame.ini")
    profiles = server.requests().count(PROFILE)
    started = time.monotonic()
    proc = app.start(command)
    try:
        code = harness.wait_exit(proc, 60)
    except subprocess.TimeoutExpired:
        checks.check(False, "[%s] the second launcher ends" % what)
        return
    took = time.monotonic() - started
    checks.check(code == 0, "[%s] it ends with exit code 0 (got %s) after %.1f s"
                 % (what, code, took))
    checks.check(first.poll() is None and server.holding(),
                 "[%s] the first launcher is still running, its patch held" % what)
    checks.check(server.requests().count(PROFILE) == profiles,
                 "[%s] it fetched nothing (%d requests of the profile)"
                 % (what, server.requests().count(PROFILE)))
    # The first may have staged more meanwhile; what it had staged is still there.
    lost = sorted(set(staged) - set(names_in(temp)))
    checks.check(profile is not None and read(temp / "vtgame.ini") == profile and not lost,
                 "[%s] the first one's staged files are intact (%s; lost %s)"
                 % (what, staged, lost))


def main():
    a = harness.parse_args(__doc__)
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-single-"))
    expected = harness.make_patch(work / "server", files=14, seed=5, korean=False)
    files = {"vtgame.ini": "[game]\r\ngame=1\r\n", "resource/data/SvrList.dat": b""}
    app = harness.AppDir(a.build, files, name="app")
    other = harness.AppDir(a.build, files, name="other")
    probe = build_probe(a.build)
    held = threading.Event()
    with harness.StaticServer(work / "server", a.host, a.port, holds={HELD: held}) as server:
        first = app.start()
        wid = harness.wait_window(harness.PATCH_CAPTION, timeout=60)
        harness.wait_until(lambda: (app.path / "temp" / "vtgame.ini").exists()
                           and server.holding(), 120, "the first launcher patching, held")

        # Another installation runs alongside.
        second_folder = other.start()
        harness.wait_until(
            lambda: [w for w, n in harness.windows()
                     if n == harness.PATCH_CAPTION and w != wid], 60,
            "the other installation's patch window")
        harness.wait_until(lambda: (other.path / "temp" / "vtgame.ini").exists(), 60,
                           "the other installation fetching its profile")
        checks.check(second_folder.poll() is None and
                     (other.path / "resource" / "data" / "card5").is_dir(),
                     "a launcher in another folder starts and works alongside")

        # The other installation's window came last and is in front.
        other_folder = harness.windows_path(other.path).lower()
        harness.wait_until(lambda: foreground(probe) == other_folder,
                           60, "the other installation in front",
                           detail=lambda: "in front: %s" % foreground(probe))

        refused(checks, "same folder", app, None, first, server)
        checks.check(wid in [w for w, n in harness.windows()],
                     "the first launcher's window is still shown")
        front = harness.eventually(
            lambda: foreground(probe) == harness.windows_path(app.path).lower(), 60)
        checks.check(front, "the first launcher's window was brought to the front (%s)"
                     % foreground(probe))
        second_folder.kill()
        second_folder.wait(timeout=30)
        command = harness.windows_path(app.path / "vtlauncher.exe").upper()
        refused(checks, "letter case", app, command, first, server)

        held.set()
        done = harness.eventually(
            lambda: [w for w, n in harness.windows() if n == harness.SERVER_CAPTION], 300)
        checks.check(done, "the first launcher finishes its patch and shows the servers")
        for rel, want in expected.items():
            checks.check(harness.installed_as_served(app.path, rel, want),
                         "%s %s" % (rel, "is byte-identical" if isinstance(want, bytes)
                                    else "holds the server's versions"))
        checks.check(not (app.path / "temp").exists(), "the first removed its temp")
        checks.check(server.requests().count(PROFILE) == 2,
                     "the profile was fetched twice: by the first and by the other folder")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
