#!/usr/bin/env python3
"""The demo's run: a sample patch served by nginx, a fresh installation, the launcher under Wine
patching it, the server window probing three loopback servers, a row chosen and connected, and
a report of what happened. scripts/demo builds everything and calls this; it expects the Wine
environment and DISPLAY to be set. Standard library only."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import harness  # noqa: E402

PATCH_CAPTION = harness.PATCH_CAPTION
SERVER_CAPTION = harness.SERVER_CAPTION
SERVERS = [("127.0.0.1", "알파 서버"), ("127.0.0.2", "베타 서버"), ("127.0.0.3", "감마 서버")]
CHOSEN = 2  # the row the demo connects to, from 1
# nginx sends the first second's worth of each reply at once and paces only the rest, so the
# files are larger than the rate: each takes about a second and the patch about ten to watch.
RATE = 2_000_000  # bytes per second per reply
FILES = 14  # two per set
SIZES = (2_500_000, 5_000_000)


class DemoError(Exception):
    pass


def step(text):
    print("== " + text, flush=True)


def access_log(nginx):
    """[(path, status, bytes)] of the access log past the demo's own check, paths still
    percent-encoded."""
    log = nginx.dir / "access.log"
    out = []
    if log.exists():
        for line in log.read_text(errors="replace").splitlines():
            m = re.search(r'"GET (\S+) [^"]*" (\d{3}) (\d+)', line)
            if m:
                out.append((m.group(1), int(m.group(2)), int(m.group(3))))
    return out[getattr(nginx, "checked", 0):]


def check_serving(nginx, host, port, want):
    """nginx answers on the patch host with the patch's version profile."""
    url = "http://%s:%d/autopatch/vtgame.ini" % (host, port)
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # loopback, no proxy
    failure = []

    def fetch():
        try:
            with opener.open(url, timeout=5) as r:
                return [r.read()]
        except OSError as e:
            failure[:] = [e]
            return None

    got = harness.eventually(fetch, 10, step=0.2)
    if got is None:
        raise DemoError("nginx does not answer on %s:%d: %s" % (host, port, failure[0]))
    if got[0] != want:
        raise DemoError("%s does not serve the sample patch's vtgame.ini" % url)
    nginx.checked = len(access_log(nginx))


def install(target, build):
    if target.exists():
        shutil.rmtree(target)
    (target / "resource" / "data").mkdir(parents=True)
    shutil.copy2(build / "vtlauncher.exe", target / "vtlauncher.exe")
    (target / "vtgame.ini").write_bytes(b"[game]\r\ngame=1\r\n")
    lines = "".join("%s:%s\r\n" % s for s in SERVERS)
    (target / "resource" / "data" / "SvrList.dat").write_bytes(lines.encode("cp949"))


def launcher_processes(target):
    """PIDs of processes whose command line names this installation's launcher."""
    exe = str(target / "vtlauncher.exe").replace("/", "\\").lower()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmd = Path("/proc", pid, "cmdline").read_bytes().replace(b"\0", b" ")
        except OSError:
            continue
        text = cmd.decode(errors="replace").replace("/", "\\").lower()
        if exe in text or exe.replace("\\", "/") in text:
            found.append(int(pid))
    return found


def check_installation(target, expected):
    """The installation now holds the patch: files byte-identical, versions recorded."""
    wrong = harness.differences(target, expected)
    if wrong:
        raise DemoError("the installation does not match the patch: %s" % ", ".join(wrong))
    if (target / "temp").exists():
        raise DemoError("the staging directory temp\\ is still there")


def run(a, report):
    build, target, shots, work = a.build, a.install, a.shots, a.work
    standin = build / "vt_standin.exe"
    for needed in (build / "vtlauncher.exe", standin, build / "vt_listdump.exe"):
        if not needed.exists():
            raise DemoError("%s is missing: build it first" % needed)
    host, _, port = a.patch_host.partition(":")

    step("sample patch in %s (%d files, stand-in client as vt.exe), published and signed "
         "with vtpatch" % (work / "server", FILES))
    if work.exists():
        shutil.rmtree(work)
    expected, files = harness.signed_patch(work, a.vtpatch, key=a.key, files=FILES,
                                           client=standin, size_range=SIZES)
    payload = sum(len(v) for v in expected.values() if isinstance(v, bytes))

    step("fresh installation in %s" % target)
    install(target, build)
    if shots.exists():
        shutil.rmtree(shots)
    shots.mkdir(parents=True)

    port = int(port or 80)
    step("nginx on %s:%d, %.1f MB/s per reply" % (host, port, RATE / 1e6))
    if not harness.port_free(host, port):
        raise DemoError("%s:%d is already in use (another test run?); set VT_DEMO_PATCH_HOST "
                        "to a free loopback address:port" % (host, port))
    with harness.Nginx(work / "server", host, port, limit_rate=RATE,
                       workdir=work / "nginx") as nginx:
        profile = work / "server" / "autopatch" / "vtgame.ini"
        check_serving(nginx, host, port, profile.read_bytes())
        step("launcher under Wine on display %s" % os.environ.get("DISPLAY"))
        runlog = harness.RunLog()
        proc = subprocess.Popen(["wine", str(target / "vtlauncher.exe")], cwd="/",
                                env=harness.wine_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        started = time.monotonic()
        try:
            patch_run(a, report, proc, nginx, started)
            server_window(a, report, proc, started)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
        log = access_log(nginx)

    check_installation(target, expected)
    verified = runlog.has(r"^accepted the signed patch profile")
    if not verified:
        raise DemoError("the launcher's log does not say that the signature was verified")
    fetched = sum(b for _, s, b in log if s == 200)
    bad = [(p, s) for p, s, _ in log if s != 200]
    if bad:
        raise DemoError("requests that failed: %s" % bad)
    # The keyed launcher asks for each file by its object; whatever else it asks for is the
    # signed profile or a manifest.
    objects = {"/autopatch/" + harness.object_name(data): rel for rel, data in files.items()}
    korean = ["%s  (%s)" % (path, objects[path]) for path, _, _ in log
              if path in objects and not objects[path].isascii()]
    profiles = sum(1 for p, _, _ in log if p not in objects)
    report.insert(0, "patch: %d requests, all 200, %s bytes fetched: %d files (%s bytes: vt.exe "
                  "and %d set files) and %d for the signed profile and the manifests; the "
                  "installation is byte-identical to the patch and records every version"
                  % (len(log), "{:,}".format(fetched), len(log) - profiles,
                     "{:,}".format(payload), FILES, profiles))
    report.insert(1, "Korean-named files, each asked for by its object (plain ASCII):")
    report[2:2] = ["  " + k for k in korean]
    report.insert(2 + len(korean), "launcher's log: %s" % verified[0])
    tampered_run(a, report, files)


def tampered_run(a, report, files):
    """A second publish changes one file, then someone changes the bytes of that file's object
    on the server; the installed launcher refuses it and leaves the installation as it was."""
    work, target = a.work, a.install
    name = next(rel for rel in sorted(files) if rel.startswith("resource/sound/"))
    step("second publish changing %s, then one byte of its object changed on the server" % name)
    changed = dict(files, **{name: os.urandom(1_000_000)})
    harness.publish(a.vtpatch, harness.write_tree(work / "tree", changed), work / "server",
                    key=a.key)
    # The launcher fetches it as its object: a mirror holding other bytes under that name.
    served = work / "server" / "autopatch" / harness.object_name(changed[name])
    with open(served, "r+b") as f:
        f.seek(len(changed[name]) // 2)
        byte = f.read(1)[0]
        f.seek(-1, os.SEEK_CUR)
        f.write(bytes([byte ^ 0x20]))
    before = harness.installed_files(target)
    host, _, port = a.patch_host.partition(":")
    with harness.Nginx(work / "server", host, int(port or 80), workdir=work / "nginx2"):
        runlog = harness.RunLog()
        proc = subprocess.Popen(["wine", str(target / "vtlauncher.exe")], cwd="/",
                                env=harness.wine_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            wid = harness.wait_window(harness.FAILED_CAPTION, timeout=120)
            refused = harness.eventually(lambda: runlog.has(r"^refused: "), 10)
            shot = harness.wait_painted(wid, a.shots / "tampered_refused.png", min_colours=10)
            harness.key(wid, "Return")
            harness.wait_exit(proc, 20)
        except TimeoutError:
            raise DemoError("the tampered file was not refused with a \"%s\" box (log: %s)"
                            % (harness.FAILED_CAPTION, runlog.texts()[-3:]))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
    if not refused:
        raise DemoError("the refusal was not logged")
    after = harness.installed_files(target)
    if after != before:
        diff = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
        raise DemoError("the refused patch changed the installation: %s" % diff)
    report.append("tampered %s refused with a \"%s\" box (%s), launcher's log: %s; "
                  "installation unchanged: %d files byte-identical, nothing recorded"
                  % (name, harness.FAILED_CAPTION, shot, refused[0], len(after)))


def patch_run(a, report, proc, nginx, started):
    try:
        wid = harness.wait_window(PATCH_CAPTION, timeout=120)
    except TimeoutError:
        raise DemoError("the patch window \"%s\" did not appear within 120 s" % PATCH_CAPTION)
    _, _, w, h = harness.geometry(wid)
    # Pictures every fifth of a second until one catches the bar part-way through a set file
    # (past the version profile and vt.exe); the best one is kept.
    best, best_fill, taken = None, None, 0
    work = a.shots / "patch_window_try.png"
    requests, progressed = 0, time.monotonic()
    while proc.poll() is None:
        if len(access_log(nginx)) != requests:
            requests, progressed = len(access_log(nginx)), time.monotonic()
        elif time.monotonic() - progressed > 60:
            raise DemoError("the patch run stalled: no request finished in 60 s, %d so far"
                            % requests)
        shown = harness.windows()
        boxes = [n for _, n in shown if n in (harness.FAILED_CAPTION, harness.ERROR_CAPTION)]
        if boxes:
            raise DemoError("the launcher shows a message box titled \"%s\" after %d requests"
                            % (boxes[0], requests))
        if wid not in (w for w, n in shown if n == PATCH_CAPTION):
            break  # hidden: the patch run is over
        try:
            harness.screenshot(wid, work)
        except subprocess.CalledProcessError:
            break
        taken += 1
        fill = bar_fill(work)
        better = best is None or abs(fill - 0.5) < abs(best_fill - 0.5)
        if requests >= 3 and 0.02 < fill < 0.95 and better:
            best, best_fill = (requests, time.monotonic() - started), fill
            shutil.copyfile(work, a.shots / "patch_window.png")
            if 0.25 <= fill <= 0.75:
                break
        time.sleep(0.2)
    work.unlink(missing_ok=True)
    if proc.poll() is not None:
        raise DemoError("the launcher ended during the patch run (exit code %s)"
                        % proc.returncode)
    if best is None:
        raise DemoError("none of %d pictures of the patch window caught a transfer in progress "
                        "(the patch went too fast to watch)" % taken)
    report.append("patch window \"%s\": client area %d x %d; picture with the bar at %d%%, "
                  "taken after %d requests (%.1f s after the start): %s"
                  % (PATCH_CAPTION, w, h, round(best_fill * 100), best[0], best[1],
                     a.shots / "patch_window.png"))


def bar_fill(png):
    """How much of the patch window's progress bar (201 pixels at 186,40) is filled, 0 to 1."""
    r = subprocess.run(["convert", str(png), "-crop", "201x1+186+40", "+repage", "txt:-"],
                       env=harness.x_env(), capture_output=True, text=True)
    return r.stdout.upper().count("#000080") / 201


def server_window(a, report, proc, started):
    try:
        wid = harness.wait_window(SERVER_CAPTION, timeout=300)
    except TimeoutError:
        state = "still running" if proc.poll() is None else "ended (%s)" % proc.returncode
        raise DemoError("the server window \"%s\" did not appear within 300 s; launcher %s"
                        % (SERVER_CAPTION, state))
    shown = time.monotonic() - started
    _, _, w, h = harness.geometry(wid)
    # Read once every row is there and probed: the window adds rows and results as they come.
    listed = harness.wait_rows(a.build, len(SERVERS), probed=True)
    if listed is None:
        raise DemoError("the server window's list could not be read")
    _, rows = listed
    names = [r[0] for r in rows]
    if names != [n for _, n in SERVERS]:
        raise DemoError("the list shows %s, not the servers of SvrList.dat" % names)
    failing = [r for r in rows if r[2] != "정상" or not re.fullmatch(r"\d+ ms", r[1])]
    if failing:
        raise DemoError("servers not shown as answering: %s" % failing)
    shot = harness.wait_painted(wid, a.shots / "server_window.png")
    if shot is None:
        raise DemoError("the server window was not painted within 15 s")
    unselected = harness.signature(shot)
    report.append("server window \"%s\": client area %d x %d, shown %.1f s after the start: %s"
                  % (SERVER_CAPTION, w, h, shown, shot))
    report.append("probe results shown:")
    for (address, _), (name, ping, state, _, _) in zip(SERVERS, rows):
        report.append("  %-10s %-10s %-6s %s" % (address, name, ping, state))

    x, y = rows[CHOSEN - 1][3], rows[CHOSEN - 1][4]
    harness.click(wid, x, y)
    listed = []

    def chosen():
        listed[:] = [harness.list_rows(a.build)]
        return listed[0] is not None and listed[0][0] == CHOSEN

    if not harness.eventually(chosen, 15, step=0.2):
        raise DemoError("clicking row %d did not select it (selected: %s)"
                        % (CHOSEN, listed[0] and listed[0][0]))
    shot = harness.wait_painted(wid, a.shots / "server_window_selected.png", unlike=unselected)
    if shot is None:
        raise DemoError("the server window did not show the selection within 15 s")
    report.append("row %d (%s) selected by a click: %s" % (CHOSEN, rows[CHOSEN - 1][0], shot))

    harness.click(wid, *harness.CONNECT)
    pressed = time.monotonic()
    client = harness.read_standin(a.install, timeout=30)
    if client is None:
        raise DemoError("pressing \"접  속\" did not start vt.exe within 30 s")
    want = "%s 5000 qelvorin" % SERVERS[CHOSEN - 1][0]
    if client.get("arguments") != want:
        raise DemoError("vt.exe got %r, not %r" % (client.get("arguments"), want))
    directory = client.get("directory", "").rstrip("\\")
    if directory != harness.windows_path(a.install):
        raise DemoError("vt.exe ran in %r, not in the installation directory" % directory)
    try:
        harness.wait_exit(proc, 15)
    except subprocess.TimeoutExpired:
        raise DemoError("the launcher did not end within 15 s of connecting")
    left = launcher_processes(a.install)
    if left:
        raise DemoError("launcher processes still running: %s" % left)
    report.append("\"접  속\" pressed: vt.exe (the stand-in) started as %s"
                  % client["commandline"])
    report.append("  arguments: %s" % client["arguments"])
    report.append("  working directory: %s" % client["directory"])
    report.append("the launcher ended %.1f s after the press (exit code %d); no launcher "
                  "process left" % (time.monotonic() - pressed, proc.returncode))


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", required=True, help="Windows build with vt_standin and vt_listdump")
    p.add_argument("--patch-host", required=True, help="VT_PATCH_HOST of that build")
    p.add_argument("--install", required=True, help="the demo installation (made afresh)")
    p.add_argument("--shots", required=True, help="where the screenshots go (made afresh)")
    p.add_argument("--work", required=True, help="patch tree and nginx files (made afresh)")
    p.add_argument("--vtpatch", required=True, help="the native publisher's tool")
    p.add_argument("--key", required=True, help="the private key the build's public key matches")
    a = p.parse_args()
    for name in ("build", "install", "shots", "work", "vtpatch", "key"):
        setattr(a, name, Path(getattr(a, name)).resolve())
    report = []
    try:
        run(a, report)
    except (DemoError, TimeoutError, RuntimeError) as e:
        print("demo FAILED: %s" % e, file=sys.stderr, flush=True)
        return 1
    except (OSError, subprocess.SubprocessError) as e:
        print("demo FAILED: %s: %s" % (type(e).__name__, e), file=sys.stderr, flush=True)
        return 1
    step("report")
    for line in report:
        print("  " + line)
    print("  screenshots: %s" % a.shots)
    return 0


if __name__ == "__main__":
    sys.exit(main())
