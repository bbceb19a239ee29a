"""The harness keeps a failed test's leftovers from the next one. A block that fails with its
launcher at the server window and nginx left serving has both ended on the way out; what comes
next gets a display of its own with nothing of the first on it, the patch host's port free, and
a launcher started from the same folder (which a surviving one would turn away) reaches its own
server window."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

VTGAME_INI = "[game]\r\ngame=1.0\r\nvtgame=7\r\nsound=3\r\ngraphics=2\r\n" + "".join(
    "card%d=1\r\n" % n for n in range(1, 6))


class Deliberate(Exception):
    pass


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = harness.profile_only(VTGAME_INI)
    app = harness.AppDir(a.build, {"vtgame.ini": VTGAME_INI,
                                   "resource/data/SvrList.dat": "127.0.0.41:One\r\n"})
    left = {}
    try:
        with harness.isolated() as first:
            left["run"] = first
            nginx = harness.Nginx(root, a.host, a.port).__enter__()  # never stopped here
            left["nginx"] = nginx.proc
            proc = app.start()
            left["launcher"] = proc
            harness.wait_window(harness.SERVER_CAPTION, timeout=120)
            left["shown"] = True
            raise Deliberate()
    except Deliberate:
        pass
    first = left["run"]
    checks.check(left.get("shown"), "the failing block left its launcher at the server window")
    print("ended: %s" % ", ".join("%d %s" % p for p in zip(first.killed, first.names)))
    checks.check(left["launcher"].pid in first.killed and left["nginx"].pid in first.killed,
                 "the launcher (%d) and nginx (%d) were among those ended"
                 % (left["launcher"].pid, left["nginx"].pid))
    checks.check(not harness.marked(first.tag), "no process of the failed block is left")
    checks.check(harness.port_free(a.host, a.port), "the patch host's port is free again")

    with harness.isolated() as second:
        checks.check(not harness.windows(), "the next block's display (%s) shows no window"
                     % second.display)
        with harness.StaticServer(root, a.host, a.port), app.running() as proc:
            result = harness.outcome(proc)
            checks.check(result == "servers",
                         "a launcher from the same folder reaches its server window (%s)"
                         % result)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
