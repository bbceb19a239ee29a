"""The run log: a patch run of the real launcher leaves, under the prefix's %LOCALAPPDATA%,
lines naming the version and build constants, the installation folder, every request with its
status, length and time, every version record written, and the end of the run."""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

SERVER = ("127.0.0.1", "로컬 서버")


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-e2e-log-"))
    expected = harness.make_patch(work / "server", files=6, seed=75, korean=False,
                                  client=a.build / "vt_standin.exe", size_range=(1000, 5000))
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": "%s:%s\r\n" % SERVER})
    log = harness.RunLog()
    print("log: %s" % log.path, flush=True)
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0, rate=0):
        proc = app.start()  # ended by harness.run on every path
        seen = harness.eventually(
            lambda: harness.message_boxes() or proc.poll() is not None
            or harness.SERVER_CAPTION in [n for _, n in harness.windows()], 180, step=0.2)
        checks.check(seen and not harness.message_boxes(),
                     "the patch run reaches the server window")
        files = [k for k, v in expected.items() if isinstance(v, bytes)]
        # The request lines of every file, the profiles and manifests included.
        urls = ["/autopatch/vtgame.ini"] + ["/autopatch/" + f for f in files]
        requests = harness.eventually(
            lambda: (lambda got: got if len(got) >= len(urls) else None)(
                log.has(r"^GET .*: status 200, length \d+, \d+ ms, stored$")), 30, step=0.2)
        requests = requests or log.has(r"^GET ")
        print("\n".join(log.texts()[:12]), flush=True)
        texts = log.texts()
        checks.check(any(re.match(r"^vtlauncher \d+\.\d+\.\d+ started", t) for t in texts),
                     "the start names the launcher's version")
        checks.check(("patch host %s, homepage " % a.patch_host) in "\n".join(texts),
                     "the build constants are logged")
        checks.check("installation folder " + harness.windows_path(app.path) in texts,
                     "the installation folder is logged")
        missing = [u for u in urls if not any(u + ":" in r for r in requests)]
        checks.check(not missing, "%d requests logged with status 200, length and time; "
                     "missing: %s" % (len(requests), missing))
        lengths_ok = all(
            ("/autopatch/%s: status 200, length %d," % (f, len(expected[f]))) in "\n".join(
                requests) for f in files)
        checks.check(lengths_ok, "each file's line carries its served length")
        records = log.has(r"^record .*vtgame\.ini \[game\] ")
        checks.check(len(records) >= 1, "version records in vtgame.ini are logged: %s"
                     % records[:3])
        checks.check(len(log.has(r"^record .*\.ini \[")) >= len(files),
                     "every file recorded in its set's manifest is logged")
        pids = {pid for _, pid, _ in log.entries()}
        checks.check(len(pids) == 1, "one process wrote this run's lines: %s" % pids)

        if harness.SERVER_CAPTION in [n for _, n in harness.windows()]:
            wid = harness.wait_window(harness.SERVER_CAPTION, timeout=5)
            listed = harness.wait_rows(a.build, 1)
            if listed and listed[1]:
                _, _, _, x, y = listed[1][0]
                harness.click(wid, x, y)
                harness.eventually(
                    lambda: (harness.list_rows(a.build) or (0,))[0] == 1, 15, step=0.2)
                harness.key(wid, "Return")
            try:
                harness.wait_exit(proc, 60)
            except subprocess.TimeoutExpired:
                pass
        checks.check(harness.eventually(lambda: log.texts()[-1:] == ["end of run"], 60,
                                        step=0.2) is not None,
                     "the end of the run is the last line")
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
