"""A keyed launcher updates itself. A signed publish at [game] game=2 carries a [launcher]
statement signed by the root (the test key) for launcher serial 2, served as an object; the
installation is at game=1 with vtlauncher_testkey.exe (serial 1) as its starter. From every
on-disk state between the swap's steps, laid out directly (nothing yet, the new launcher moved
in without a pointer, the pointer naming it), the next start ends at the server window shown by
launcher 2, game=2 recorded once, the starter byte-identical. A new launcher that crashes at
start (mid-run, after its download) or hangs before its window (at start, named by the
pointer) is ended and put back, its serial failed, and the old launcher patches the rest
without recording game. The launchers killed at the steps the test's server can stop (the
new launcher's download, before its head and in its body; launcher 2's first request once it
took over) end, on the next start, on launcher 2 with game recorded once. A statement signed by another key, or a root-signed one not newer
than the launcher, is refused with the refusal of old and the installation stays
byte-identical. Genuine publishes are vtpatch's (publish --launcher --launcher-serial, the test
key being the root); vtpatch refuses to serve a statement another key signed, so that one is
made by sign-launcher with that key and put into the served profile here, the profile signed
again with openssl as its publisher would."""

import hashlib
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

OLD = harness.SIGNED_EXE
NEW, CRASH, HANG = "vtlauncher_testkey_2.exe", "vtlauncher_testkey_2crash.exe", "vtlauncher_testkey_2hang.exe"
LOCAL = {"vtgame.ini": "[game]\r\ngame=1\r\n", "resource/data/SvrList.dat": b""}
FILES = {"vt.exe": b"MZ client " * 500, "resource/sound/a.wav": b"RIFF" * 3000}


def raw_signature(key, data):
    """ECDSA P-256 over SHA-256 of `data`, r then s (32 bytes each), as the launcher reads it."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key)], input=data,
                         capture_output=True, check=True, timeout=30).stdout
    at, out = (2 if der[1] < 0x80 else 3), b""
    for _ in range(2):
        n = der[at + 1]
        out += der[at + 2:at + 2 + n].lstrip(b"\0").rjust(32, b"\0")
        at += 2 + n
    return out


def publish_launcher(vtpatch, work, root, exe, serial):
    """A publish at game=2 serving the launcher program `exe` with the root's statement."""
    harness.publish(vtpatch, harness.write_tree(work / "tree", FILES), root, game="2",
                    extra=["--launcher", str(exe), "--launcher-serial", str(serial)])


def forged_statement(vtpatch, work, key, exe):
    """The [launcher] section sign-launcher makes with `key`, which is not the root."""
    out = work / "forged.statement"
    subprocess.run([str(vtpatch), "sign-launcher", str(exe), "--root", str(key), "--game", "2",
                    "--serial", "2", "--out", str(out)], check=True, capture_output=True,
                   timeout=60)
    return out.read_bytes()


def serve_statement(root, section, exe):
    """Adds `section` to the served profile, signs the profile again with the test key and
    serves `exe` as its object."""
    served = Path(root) / "autopatch"
    profile = (served / "vtgame.ini").read_bytes()
    profile = profile + (b"" if profile.endswith(b"\r\n") else b"\r\n") + section
    signature = raw_signature(harness.TEST_KEY, profile)
    (served / "vtgame.ini").write_bytes(profile)
    (served / "vtgame.ini.sig").write_bytes(signature)
    (served / "vtgame.signed").write_bytes(signature + profile)
    obj = served / harness.object_name(exe)
    obj.parent.mkdir(parents=True, exist_ok=True)
    obj.write_bytes(exe)


def pointer(exe, serial=2, game=b"2"):
    """launcher\\current.ini naming `exe` as launcher `serial`, the starter (1) before it."""
    return (b"[current]\r\nserial=%d\r\nsize=%d\r\nsha256=%s\r\ngame=%s\r\n"
            b"[previous]\r\nserial=\r\nsize=\r\nsha256=\r\ngame=1\r\n"
            b"[failed]\r\nserials=\r\n" % (serial, len(exe), hashlib.sha256(exe).hexdigest().encode(), game))


def snapshot(path):
    """Every file of the installation but temp\\ (the load makes it), with its bytes."""
    return {str(p.relative_to(path)): p.read_bytes() for p in Path(path).rglob("*")
            if p.is_file() and "temp" not in p.relative_to(path).parts}


def run_to_servers(a, app, root):
    """Starts the starter and waits for the server window, whichever launcher shows it."""
    with harness.TrickleServer(root, a.host, a.port, head_delay=0, rate=0):
        proc = app.start()
        try:
            harness.wait_until(lambda: [n for _, n in harness.windows()
                                        if n in (harness.SERVER_CAPTION, harness.FAILED_CAPTION,
                                                 harness.ERROR_CAPTION)],
                               120, "the server window or the refusal")
            return [n for _, n in harness.windows()]
        finally:
            harness.stop(proc)
            harness.end_launchers()


def state_cases(a, checks, root, new):
    """The states between the steps, each laid out directly: the next start ends on launcher 2,
    and the start after it too, with game recorded once."""
    states = {
        "nothing yet": {},
        "moved in, no pointer": {"launcher/vtlauncher-2.exe": new},
        "moved in, new pointer written beside": {"launcher/vtlauncher-2.exe": new,
                                                 "launcher/current.ini.new": pointer(new)},
        "pointer names it": {"launcher/vtlauncher-2.exe": new, "launcher/current.ini": pointer(new)},
        "pointer names it, file damaged": {"launcher/vtlauncher-2.exe": new[:-1] + b"\0",
                                           "launcher/current.ini": pointer(new)},
    }
    for what, files in states.items():
        with harness.case(checks, what):
            app = harness.AppDir(a.build, dict(LOCAL, **files), exe=OLD)
            starter = (app.path / "vtlauncher.exe").read_bytes()
            log = harness.RunLog()
            for run in (1, 2):
                shown = run_to_servers(a, app, root)
                checks.check(harness.SERVER_CAPTION in shown,
                             "%s, run %d: the server window (%s)" % (what, run, shown))
            serials = log.has(r"^launcher serial \d+$")
            game = harness.read_ini(app.path / "vtgame.ini")["game"].get("game")
            checks.check(game == "2" and len(log.has(r"^recorded game 2$")) == 1,
                         "%s: game=2 recorded once (%s)" % (what, log.has("recorded game")))
            checks.check(len(log.has(r"took over$")) == 2 and serials.count("launcher serial 2") == 2,
                         "%s: both runs end on launcher 2 (%s)" % (what, serials))
            checks.check((app.path / "vtlauncher.exe").read_bytes() == starter and
                         (app.path / "launcher/vtlauncher-2.exe").read_bytes() == new,
                         "%s: the starter untouched, launcher 2 in place" % what)
            app.remove()


def nth(suffix, n):
    """A hold's match for the n-th request (from 1) whose path ends with `suffix`."""
    seen = []

    def match(path, index):
        if path.endswith(suffix):
            seen.append(index)
            return len(seen) == n
        return False
    return match


def killed_cases(a, checks, root, new):
    """The launchers killed at a step of the swap the server can stop: while launcher 2
    downloads (before its head, in its body), and once launcher 2, taken over, asks for the
    profile (its window up, game recorded). The next starts end on launcher 2, game=2 recorded
    once over all runs."""
    launcher_object = harness.object_name(new)
    gates = (("before the new launcher's head", nth(launcher_object, 1), None),
             ("in the new launcher's body", nth(launcher_object, 1), 0.5),
             ("when launcher 2 asks for the profile", nth("vtgame.signed", 2), None))
    for what, match, share in gates:
        with harness.case(checks, "killed " + what):
            app = harness.AppDir(a.build, LOCAL, exe=OLD)
            starter = (app.path / "vtlauncher.exe").read_bytes()
            log = harness.RunLog()
            with harness.TrickleServer(root, a.host, a.port, head_delay=0, rate=0) as httpd:
                with httpd.hold(match, share=share) as hold:
                    proc = app.start()
                    try:
                        harness.wait_until(hold.held, 120, "the gate " + what)
                    finally:
                        harness.stop(proc)
                        harness.end_launchers()
            for run in (1, 2):
                last = harness.RunLog()
                shown = run_to_servers(a, app, root)
                checks.check(harness.SERVER_CAPTION in shown and
                             last.has(r"^launcher serial 2$"),
                             "killed %s, run %d: ends on launcher 2 (%s, %s)" %
                             (what, run, shown, last.has(r"^launcher serial")))
            game = harness.read_ini(app.path / "vtgame.ini")["game"].get("game")
            checks.check(game == "2" and len(log.has(r"^recorded game 2$")) == 1,
                         "killed %s: game=2 recorded once (%s)" % (what, log.has("recorded game")))
            checks.check((app.path / "vtlauncher.exe").read_bytes() == starter,
                         "killed %s: the starter untouched" % what)
            app.remove()


def put_back_cases(a, checks, work, vtpatch):
    """A launcher 2 that crashes at start or hangs before its window is put back."""
    for what, exe_name, at_start in (("crashes at start, fetched mid-run", CRASH, False),
                                     ("hangs before its window, named at start", HANG, True)):
        exe = (a.build / exe_name).read_bytes()
        root = work / exe_name
        publish_launcher(vtpatch, work, root, a.build / exe_name, 2)
        files = dict(LOCAL)
        if at_start:
            files.update({"launcher/vtlauncher-2.exe": exe, "launcher/current.ini": pointer(exe)})
        with harness.case(checks, what):
            app = harness.AppDir(a.build, files, exe=OLD)
            log = harness.RunLog()
            for run in (1, 2):
                shown = run_to_servers(a, app, root)
                checks.check(harness.SERVER_CAPTION in shown,
                             "%s, run %d: the old launcher patches on (%s)" % (what, run, shown))
            current = harness.read_ini(app.path / "launcher/current.ini")
            checks.check(current["failed"].get("serials") == "2" and
                         current["current"].get("serial") == "",
                         "%s: put back, 2 failed (%s)" % (what, current))
            checks.check(len(log.has(r"^launcher 2 put back")) == 1 and
                         len(log.has(r"failed here before")) >= 1,
                         "%s: put back once, never tried again" % what)
            checks.check(harness.read_ini(app.path / "vtgame.ini")["game"].get("game") == "1" and
                         (app.path / "vt.exe").read_bytes() == FILES["vt.exe"],
                         "%s: the rest patched, game not recorded" % what)
            app.remove()


def refused_cases(a, checks, work, vtpatch, new):
    """A statement another key signed, or one not newer than the launcher, is refused."""
    other = work / "other.pem"
    subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                    str(other)], check=True, capture_output=True, timeout=30)
    for what, serial in (("signed by another key", None), ("root-signed, not newer", 1)):
        root = work / ("refused-" + what.split(",")[0].replace(" ", "-"))
        if serial is None:
            harness.publish(vtpatch, harness.write_tree(work / "tree", FILES), root, game="2")
            serve_statement(root, forged_statement(vtpatch, work, other, a.build / NEW), new)
        else:
            publish_launcher(vtpatch, work, root, a.build / NEW, serial)
        with harness.case(checks, what):
            app = harness.AppDir(a.build, LOCAL, exe=OLD)
            before = snapshot(app.path)
            log = harness.RunLog()
            shown = run_to_servers(a, app, root)
            checks.check(harness.FAILED_CAPTION in shown and log.has("^refused: launcher version"),
                         "%s: the refusal of old (%s)" % (what, shown))
            checks.check(snapshot(app.path) == before, "%s: installation byte-identical" % what)
            app.remove()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    vtpatch = harness.vtpatch_path(a.build)
    work = Path(tempfile.mkdtemp(prefix="vt-selfupdate-"))
    new = (a.build / NEW).read_bytes()
    root = work / "good"
    publish_launcher(vtpatch, work, root, a.build / NEW, 2)
    state_cases(a, checks, root, new)
    killed_cases(a, checks, root, new)
    put_back_cases(a, checks, work, vtpatch)
    refused_cases(a, checks, work, vtpatch, new)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
