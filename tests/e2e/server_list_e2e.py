"""A SvrList.dat as players' editors leave it: blank lines between entries, a line of spaces,
trailing breaks, and two servers of the same name. The server window lists every server once,
both of the same name included, and cmdConnect starts the client with the address of the row
selected, the second of the two included."""

import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

VTGAME_INI = "[game]\r\ngame=1.0\r\nvtgame=7\r\nsound=3\r\ngraphics=2\r\n" + "".join(
    "card%d=1\r\n" % n for n in range(1, 6))
SERVERS = [("127.0.0.41", "같은 서버"), ("127.0.0.42", "Other"), ("127.0.0.43", "같은 서버")]
SVRLIST = ("\r\n%s:%s\r\n\r\n   \r\n%s:%s\n\n%s:%s\r\n\r\n\r\n"
           % tuple(part for server in SERVERS for part in server))


def selected(build, row):
    """The list's rows once row `row` (from 1) is the selected one, else None."""
    listed = harness.list_rows(build)
    return listed if listed is not None and listed[0] == row else None


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = harness.profile_only(VTGAME_INI)
    app = harness.AppDir(a.build, {"vtgame.ini": VTGAME_INI,
                                   "resource/data/SvrList.dat": SVRLIST})
    shutil.copy2(a.build / "vt_standin.exe", app.path / "vt.exe")
    with harness.StaticServer(root, a.host, a.port):
        log = harness.RunLog()
        proc = app.start()
        def shown():
            found = [w for w, n in harness.windows() if n == harness.SERVER_CAPTION]
            return found or harness.message_boxes() or proc.poll() is not None
        first = harness.wait_until(shown, 120, "the server window or an error report")
        # An early end is told with what the launcher said, so a rare one can be understood.
        if not checks.check(isinstance(first, list) and isinstance(first[0], int),
                            "the server window shows, no error report (%s; exit %s; log %s)"
                            % (first, proc.poll(), log.texts()[-8:])):
            return checks.finish()
        wid = first[0]
        listed = harness.wait_rows(a.build, len(SERVERS))
        if checks.check(listed is not None, "the server window's list is readable"):
            _, rows = listed
            names = [r[0] for r in rows]
            if not checks.check(names == [name for _, name in SERVERS],
                                "one row per server, blank lines skipped, both rows of the "
                                "same name: %s" % names):
                return checks.finish()
            harness.screenshot(wid, a.artefacts / "server_list_duplicates.png")
            row = 3
            harness.click(wid, rows[row - 1][3], rows[row - 1][4])
            chosen = harness.eventually(lambda: selected(a.build, row), 15)
            checks.check(chosen is not None, "a click selects the second row of that name")
            harness.click(wid, *harness.CONNECT)
            standin = harness.read_standin(app.path)
            if checks.check(standin is not None, "the client was started"):
                want = SERVERS[row - 1][0] + " 5000 qelvorin"
                checks.check(standin.get("arguments") == want,
                             "arguments %r == %r" % (standin.get("arguments"), want))
            try:
                harness.wait_exit(proc, 60)
                checks.check(True, "the launcher ended after connecting")
            except subprocess.TimeoutExpired:
                checks.check(False, "the launcher ended after connecting")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
