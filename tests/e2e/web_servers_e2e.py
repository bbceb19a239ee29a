"""A signed patch with Korean file names, published by vtpatch, served by each of Debian's
common web servers (nginx, Apache httpd, lighttpd, Caddy, BusyBox httpd, Python's http.server)
in its default configuration, through a front that notes each request and its answer.
vtlauncher_testkey.exe installs it completely from every one: every file byte-identical, every
version and the serial recorded, no refusal, only ASCII names asked for; a large file left half
staged is continued with a range where the server honours one (206 from the part's end) and
fetched again whole where it does not (200). The launcher without a key asks for the legacy
tree's code page 949 names: the table says which servers serve them, and the run shows it."""

import contextlib
import hashlib
import random
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402
from harness import webservers  # noqa: E402

SEED = 20261209
LARGE = "resource/sound/대기실 음악.wav"  # left half staged before the keyed run
LARGE_SIZE = 3_000_000

# server, serves code page 949 names (the unkeyed launcher's legacy tree): the status of such
# a request, and the answer to "Range: bytes=N-"
ROWS = [
    (webservers.Nginx, 200, 206),
    (webservers.Apache, 200, 206),
    (webservers.Lighttpd, 400, 206),  # wants UTF-8 after percent-decoding
    (webservers.Caddy, 200, 206),
    (webservers.BusyBox, 200, 206),
    (webservers.PythonHttp, 404, 200),  # decodes as UTF-8; ignores ranges
]


def make_tree(out):
    """The sample patch's files (Korean names among them), a Korean folder, and a large file."""
    rng = random.Random(SEED)
    sample = harness.make_patch(out / "sample", files=16, seed=SEED)
    files = {rel: data for rel, data in sample.items() if isinstance(data, bytes)}
    files["resource/data/카드 그림/뒷면 1.bmp"] = rng.randbytes(40_000)
    files[LARGE] = rng.randbytes(LARGE_SIZE)
    return files


def korean(path):
    """True when a request path names something outside ASCII (percent-encoded bytes)."""
    return any(b > 0x7F for b in urllib.parse.unquote_to_bytes(path))


def run(app, what):
    """How a launcher run ends (harness.outcome) and the message boxes shown then; the
    launcher is ended whatever happens."""
    proc = app.start()
    try:
        return harness.outcome(proc, 120), harness.message_boxes()
    except TimeoutError as e:
        return "%s: %s" % (what, e), []
    finally:
        harness.stop(proc)


def keyed_case(a, checks, row, front, served, expected, files, ranged):
    """A fresh installation with the large file half staged, as a killed run leaves it."""
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, exe=harness.SIGNED_EXE)
    digest = hashlib.sha256(files[LARGE]).hexdigest()
    half = LARGE_SIZE // 2
    (app.path / "temp").mkdir()
    (app.path / "temp" / (digest + ".part")).write_bytes(files[LARGE][:half])
    ended, boxes = run(app, "keyed")
    checks.check(ended == "servers" and not boxes,
                 "%s, keyed: the run reaches the server window, no refusal (%s %s)" % (
                     row, ended, boxes))
    wrong = harness.differences(app.path, expected)
    checks.check(not wrong, "%s, keyed: every published file byte-identical, every version "
                 "recorded %s" % (row, wrong[:5]))
    serial = harness.read_ini(served / "vtgame.ini")["publish"]["serial"]
    local = harness.read_ini(app.path / "vtgame.ini").get("publish", {})
    checks.check(local.get("serial") == serial, "%s, keyed: serial %s recorded" % (row, serial))
    answers = front.answers()
    asked = [path for _, path, _, _, _ in answers]
    checks.check(asked and not [p for p in asked if korean(p)] and
                 all(status in (200, 206) for _, _, _, status, _ in answers),
                 "%s, keyed: %d requests, all ASCII names answered 200 or 206 %s" % (
                     row, len(asked), [(p, s) for _, p, _, s, _ in answers
                                       if korean(p) or s not in (200, 206)][:5]))
    large = [(r, status, span) for _, path, r, status, span in answers
             if path.endswith("/" + digest)]
    want = (("bytes=%d-" % half, 206, "bytes %d-%d/%d" % (half, LARGE_SIZE - 1, LARGE_SIZE))
            if ranged == 206 else ("bytes=%d-" % half, 200, None))
    checks.check(large == [want], "%s, keyed: the staged half of the large file asked for "
                 "with a range, answered %s: %s" % (row, ranged, large))
    checks.check(not (app.path / "temp").exists(), "%s, keyed: temp\\ gone" % row)
    app.remove()


def unkeyed_case(a, checks, row, front, expected, status):
    """The launcher without a key reads the legacy tree by its code page 949 names."""
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""})
    ended, _ = run(app, "unkeyed")
    statuses = {s for _, path, _, s, _ in front.answers() if korean(path)}
    checks.check(statuses == {status}, "%s, unkeyed: Korean names answered %s (%s)" % (
        row, status, statuses))
    if status == 200:
        wrong = harness.differences(app.path, expected)
        checks.check(ended == "servers" and not wrong,
                     "%s, unkeyed: installs completely (%s) %s" % (row, ended, wrong[:5]))
    else:
        # A payload that fails ends the run without a word.
        left = [rel for rel in expected if not rel.isascii() and (app.path / rel).exists()]
        checks.check(ended == "ended" and not left and harness.differences(app.path, expected),
                     "%s, unkeyed: the run ends unfinished (%s), no Korean-named file "
                     "installed %s" % (row, ended, left))
    app.remove()
    return ended


@contextlib.contextmanager
def row_case(checks, row):
    """One server's row: a TimeoutError, or a server that does not start, fails it as a check
    and the next row still runs. The rows share the test's display and Wine's desktop
    (explorer.exe): with a display a row, the desktop ended and started again between rows,
    both launchers of a row once ended at "CreateWindowEx failed"."""
    try:
        yield
    except (TimeoutError, RuntimeError) as e:
        checks.check(False, "[%s] %s" % (row, e))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    out = Path(tempfile.mkdtemp(prefix="vt-web-servers-"))
    files = make_tree(out)
    harness.publish(harness.vtpatch_path(a.build), harness.write_tree(out / "tree", files),
                    out / "server")
    expected = harness.served_expected(out / "server", files)
    served = out / "server" / "autopatch"
    # The servers listen beside the patch host; the front answers at it.
    backend = (a.host, webservers.free_port(a.host))
    table = []
    for server, status, ranged in ROWS:
        row = server.name
        began = time.monotonic()
        with row_case(checks, row):
            with server(out / "server", *backend) as httpd:
                print("%s (Debian package %s): %s" % (row, server.package, " ".join(httpd.argv)),
                      flush=True)
                with webservers.RecordingFront(a.host, a.port, backend) as front:
                    keyed_case(a, checks, row, front, served, expected, files, ranged)
                with webservers.RecordingFront(a.host, a.port, backend) as front:
                    ended = unkeyed_case(a, checks, row, front, expected, status)
            checks.check(not httpd.members() and not harness.accepts(*backend),
                         "%s: ended, every process of its group gone" % row)
            table.append((row, status, ranged, ended, time.monotonic() - began))
    print("\n%-24s %-22s %-10s %s" % ("server", "Korean legacy names", "range", "unkeyed run"))
    for row, status, ranged, ended, took in table:
        print("%-24s %-22s %-10s %s (%.0f s)" % (row, "served" if status == 200 else
                                                  "refused: %d" % status, ranged, ended, took))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
