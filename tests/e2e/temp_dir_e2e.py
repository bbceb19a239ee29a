"""The end of the patch run empties and removes temp\\ whatever it holds. Folders and files left
there by an earlier run or by hand no longer stop every run with error 75: the server window
follows and temp\\ is gone. Links inside temp\\ (made from the Linux side, which Wine shows as
links) are never followed: the folder and the file they point to keep all they hold, whether
the launcher removes the link or, unable to remove it alone, reports error 75. A temp\\ that is
itself a link, to a folder or to nothing, is left alone with what it points to: the run stages
beside it and reaches the server window."""

import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

VTGAME_INI = "[game]\r\ngame=1.0\r\nvtgame=7\r\nsound=3\r\ngraphics=2\r\n" + "".join(
    "card%d=1\r\n" % n for n in range(1, 6))


def read(path):
    try:
        return path.read_bytes()
    except OSError:
        return None


def install(a):
    return harness.AppDir(a.build, {"vtgame.ini": VTGAME_INI,
                                    "resource/data/SvrList.dat": b""})


def folders_in_temp(a, checks):
    app = install(a)
    temp = app.path / "temp"
    (temp / "old run" / "deeper").mkdir(parents=True)
    (temp / "old run" / "vtsound.ini").write_bytes(b"[sound]\r\ncount=0\r\n")
    (temp / "old run" / "deeper" / "part.dat").write_bytes(os.urandom(5000))
    (temp / "empty").mkdir()
    (temp / "note.txt").write_bytes(b"left by hand")
    with harness.case(checks, "folders"):
        proc = app.start()
        result = harness.outcome(proc)
        checks.check(result == "servers",
                     "[folders] the run reaches the server window (%s)" % result)
        checks.check(not temp.exists(), "[folders] temp is gone with its folders")


def links_in_temp(a, checks):
    app = install(a)
    outside = Path(tempfile.mkdtemp(prefix="vt-e2e-outside-"))
    (outside / "saves").mkdir()
    (outside / "saves" / "slot1.sav").write_bytes(b"a player's progress")
    (outside / "empty").mkdir()
    (outside / "notes.txt").write_bytes(b"notes")
    temp = app.path / "temp"
    (temp / "sub").mkdir(parents=True)
    (temp / "sub" / "file.bin").write_bytes(b"x" * 3000)
    os.symlink(outside / "saves", temp / "saves")
    os.symlink(outside / "empty", temp / "sub" / "empty")
    os.symlink(outside / "notes.txt", temp / "notes.txt")
    with harness.case(checks, "links"):
        proc = app.start()
        result = harness.outcome(proc)
        checks.check(read(outside / "saves" / "slot1.sav") == b"a player's progress",
                     "[links] the linked folder keeps its file (%s)" % result)
        checks.check((outside / "empty").is_dir(), "[links] the linked empty folder stays")
        checks.check(read(outside / "notes.txt") == b"notes",
                     "[links] the linked file stays")
        if result == "servers":
            checks.check(not temp.exists(), "[links] temp and its links are gone")
        else:
            # Wine resolves a link whenever it is opened, so no call can remove the link
            # alone; the launcher then leaves it and reports the run as failed.
            checks.check(result == "error", "[links] a link that cannot go is reported")
            left = sorted(str(p.relative_to(temp)) for p in temp.rglob("*"))
            checks.check(not (temp / "sub" / "file.bin").exists(),
                         "[links] everything else in temp went first (left: %s)" % left)
            box = harness.wait_window(harness.ERROR_CAPTION, timeout=10)
            harness.screenshot(box, a.artefacts / "temp_dir_link_error.png")
            harness.key(box, "Return")
            checks.check(harness.wait_exit(proc, 60) is not None,
                         "[links] closing the report ends the program")


def temp_is_a_link(a, checks):
    for target in ("folder", "nothing"):
        app = install(a)
        outside = Path(tempfile.mkdtemp(prefix="vt-e2e-outside-"))
        (outside / "folder").mkdir()
        (outside / "folder" / "slot1.sav").write_bytes(b"a player's progress")
        temp = app.path / "temp"
        os.symlink(outside / target, temp)
        with harness.case(checks, "temp is a link to " + target):
            result = harness.outcome(app.start())
            checks.check(result == "servers",
                         "[temp -> %s] the run reaches the server window (%s)" % (target, result))
            checks.check(os.path.islink(temp), "[temp -> %s] the link stays" % target)
            checks.check(sorted(p.name for p in (outside / "folder").iterdir()) == ["slot1.sav"]
                         and read(outside / "folder" / "slot1.sav") == b"a player's progress",
                         "[temp -> %s] the folder keeps its file and gets nothing" % target)
            checks.check(not (outside / "nothing").exists(),
                         "[temp -> %s] nothing is made where the link points" % target)
            checks.check(not (app.path / "temp.1").exists(),
                         "[temp -> %s] the staging folder beside it is gone" % target)


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = harness.profile_only(VTGAME_INI)
    with harness.StaticServer(root, a.host, a.port):
        folders_in_temp(a, checks)
        links_in_temp(a, checks)
        temp_is_a_link(a, checks)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
