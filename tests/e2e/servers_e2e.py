"""Server selection of the real launcher: after a patch run with nothing to update, the server
window lists every line of SvrList.dat with its probe outcome (two answering loopback servers and
one made silent on this machine), and a selected row is handed to the game client by cmdConnect,
Enter or Alt+Enter; the launcher ends right after. A connect with no row selected does nothing.
A stand-in vt.exe records how it was started; vt_listdump.exe reads the list's rows."""

import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

ANSWERING = ["127.0.0.41", "127.0.0.42"]
SILENT = "127.0.0.48"
SILENT_TABLE = "vt_silent_127_0_0_48"
VTGAME_INI = "[game]\r\ngame=1.0\r\nvtgame=7\r\nsound=3\r\ngraphics=2\r\n" + "".join(
    "card%d=1\r\n" % n for n in range(1, 6))
NAMES = ["첫째 서버", "Second", "Silent:one"]


def silence(address, on):
    """Drops echo requests to `address` on their way in, in a table of our own; True if done."""
    subprocess.run(["nft", "delete", "table", "ip", SILENT_TABLE], capture_output=True)
    if not on:
        return True
    script = ("add table ip {t}; add chain ip {t} input {{ type filter hook input priority -150;"
              " policy accept; }}; add rule ip {t} input ip daddr {a} icmp type echo-request drop"
              ).format(t=SILENT_TABLE, a=address)
    try:
        return subprocess.run(["nft", script], capture_output=True).returncode == 0
    except FileNotFoundError:
        return False


def install(a, addresses):
    lines = "".join("%s:%s\r\n" % (addr, name) for addr, name in zip(addresses, NAMES))
    app = harness.AppDir(a.build, {"vtgame.ini": VTGAME_INI,
                                   "resource/data/SvrList.dat": lines})
    shutil.copy2(a.build / "vt_standin.exe", app.path / "vt.exe")
    return app


def selected(build, row):
    """The list's rows once row `row` (from 1) is the selected one, else None."""
    listed = harness.list_rows(build)
    return listed if listed is not None and listed[0] == row else None


def run(a, checks, host, addresses, how, row, shots, profile_held=None):
    """One launcher run: wait for the server window, check its rows, connect to `row` by `how`."""
    app = install(a, addresses)
    host.log.clear()
    proc = app.start()
    try:
        if profile_held is not None:
            # The profile's reply waits until the window has been seen.
            try:
                harness.wait_until(host.holding, 90, "the profile requested")
                wid = harness.wait_window(harness.PATCH_CAPTION, timeout=90)
                shot = harness.screenshot(wid, a.artefacts / "servers_patch_window.png")
                checks.check(True, "patch window seen during the patch run (%s)" % shot)
            except (TimeoutError, subprocess.CalledProcessError) as e:
                checks.check(False, "patch window seen during the patch run: %s" % e)
            profile_held.set()
        wid = harness.wait_window(harness.SERVER_CAPTION, timeout=120)
        checks.check(host.requests() == ["/autopatch/vtgame.ini"],
                     "[%s] the patch run fetched only the version profile: %s"
                     % (how, host.requests()))
        checks.check(not (app.path / "temp").exists(),
                     "[%s] the staging directory was removed before the server window" % how)
        try:
            harness.wait_window(harness.PATCH_CAPTION, timeout=60, gone=True)
            hidden = True
        except TimeoutError:
            hidden = False
        checks.check(hidden, "[%s] the patch window is hidden once the server window shows: %s"
                     % (how, harness.windows()))
        listed = harness.wait_rows(a.build, len(addresses), probed=True)
        if not checks.check(listed is not None, "[%s] the server window's list is readable" % how):
            return
        first, rows = listed
        checks.check([r[0] for r in rows] == NAMES[:len(addresses)],
                      "[%s] one row per line, in file order: %s" % (how, [r[0] for r in rows]))
        for (name, ping, state, _, _), addr in zip(rows, addresses):
            if addr == SILENT:
                ok = (ping, state) == ("0 ms", "오류")
            else:
                ok = state == "정상" and re.fullmatch(r"\d+ ms", ping) is not None
            checks.check(ok, "[%s] %s shows %r %r" % (how, addr, ping, state))
        checks.check(first == 0, "[%s] no row is selected when the window opens" % how)
        if shots:
            shot = harness.wait_painted(wid, a.artefacts / "servers_window.png")
            unselected = harness.signature(shot) if shot else None
            # Clicks are handled in order: once a row clicked after cmdConnect shows as
            # selected, the launcher has handled that press with no row selected.
            other = 1 if row != 1 else 2
            harness.click(wid, *harness.CONNECT)
            harness.click(wid, rows[other - 1][3], rows[other - 1][4])
            handled = harness.eventually(lambda: selected(a.build, other), 15)
            checks.check(handled is not None and proc.poll() is None
                         and not (app.path / "standin-run.txt").exists(),
                         "[%s] connect without a selected row starts nothing and stays" % how)
            # The picture before the click below, once it shows the selection just made.
            before = a.artefacts / "servers_before.png"
            harness.wait_painted(wid, before, unlike=unselected)
            before = harness.signature(before)

        x, y = rows[row - 1][3], rows[row - 1][4]
        harness.click(wid, x, y)
        listed = harness.eventually(lambda: selected(a.build, row), 15)
        checks.check(listed is not None, "[%s] a click selects row %d" % (how, row))
        if shots:
            (a.artefacts / "servers_before.png").unlink(missing_ok=True)
            harness.wait_painted(wid, a.artefacts / "servers_window_selected.png", unlike=before)
        if how == "cmdConnect":
            harness.click(wid, *harness.CONNECT)
        else:
            harness.key(wid, how)
        started = time.monotonic()
        standin = harness.read_standin(app.path)
        if checks.check(standin is not None, "[%s] the client was started" % how):
            want = addresses[row - 1] + " 5000 qelvorin"
            checks.check(standin.get("arguments") == want,
                         "[%s] arguments %r == %r" % (how, standin.get("arguments"), want))
            program = standin.get("commandline", "").split('"')
            checks.check(len(program) > 1
                         and program[1] == harness.windows_path(app.path / "vt.exe"),
                         "[%s] vt.exe from the installation: %r" % (how, program[1:2]))
            checks.check(standin.get("directory", "").rstrip("\\")
                         == harness.windows_path(app.path),
                         "[%s] working directory %r" % (how, standin.get("directory")))
        try:
            harness.wait_exit(proc, 60)
            checks.check(True, "[%s] the launcher ended %.1f s after the start of the client"
                         % (how, time.monotonic() - started))
        except subprocess.TimeoutExpired:
            checks.check(False, "[%s] the launcher ended after connecting" % how)
    finally:
        harness.stop(proc)


def main():
    a = harness.parse_args(__doc__)
    checks = harness.Checks()
    root = harness.profile_only(VTGAME_INI)
    silent = silence(SILENT, True)
    addresses = ANSWERING + ([SILENT] if silent else [])
    if not silent:
        print("SKIP silent server: nft could not add a rule (needs root and nftables)")
    try:
        profile_held = threading.Event()
        with harness.StaticServer(root, a.host, a.port,
                                  holds={"/vtgame.ini": profile_held}) as host:
            run(a, checks, host, addresses, "cmdConnect", 2, shots=True,
                profile_held=profile_held)
            run(a, checks, host, addresses, "Return", 1, shots=False)
            run(a, checks, host, addresses, "alt+Return", len(addresses), shots=False)
    finally:
        if silent:
            silence(SILENT, False)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
