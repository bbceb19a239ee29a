"""A file deleted from an installation whose every set is current comes back at the next start
(found by one listing of the set's folder, names compared without case), and nothing else is
fetched; a file there under another letter case counts as there; a start with every file in
place asks for the version profile alone."""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

SOUND = "autopatch/resource/sound/"
FILES = {"a.wav": b"A" * 3000, "voice/b.wav": b"B" * 2000, "c.wav": b"C" * 1000}


def run(app, server):
    """Runs the launcher to the server window, then ends it; (whether it showed, requests)."""
    before = len(server.requests())
    with harness.isolated(), app.running() as proc:
        harness.eventually(
            lambda: harness.SERVER_CAPTION in [n for _, n in harness.windows()]
            or harness.message_boxes() or proc.poll() is not None, 120, step=0.2)
        shown = harness.SERVER_CAPTION in [n for _, n in harness.windows()]
    return shown, server.requests()[before:]


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = Path(tempfile.mkdtemp(prefix="vt-e2e-missing-")) / "server"
    (root / SOUND / "voice").mkdir(parents=True)
    (root / "autopatch/vtgame.ini").write_bytes(b"[game]\r\ngame=1\r\nsound=1\r\n")
    manifest = b"[sound]\r\ncount=%d\r\n" % len(FILES) + b"".join(
        b"%d=%s:1\r\n" % (i + 1, name.encode()) for i, name in enumerate(FILES))
    (root / SOUND / "vtsound.ini").write_bytes(manifest)
    for name, data in FILES.items():
        (root / SOUND / name).write_bytes(data)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""})
    sound = app.path / "resource/sound"
    with harness.StaticServer(root, a.host, a.port) as server:
        shown, requests = run(app, server)
        checks.check(shown and all((sound / n).read_bytes() == d for n, d in FILES.items()),
                     "the first run installs the set: %s" % requests)

        (sound / "voice/b.wav").unlink()
        (sound / "c.wav").rename(sound / "C.WAV")
        shown, requests = run(app, server)
        checks.check(shown and requests == ["/autopatch/vtgame.ini", "/" + SOUND + "vtsound.ini",
                                            "/" + SOUND + "voice/b.wav"],
                     "a start with a file gone fetches the manifest and that file: %s" % requests)
        checks.check((sound / "voice/b.wav").read_bytes() == FILES["voice/b.wav"],
                     "the deleted file is back")

        shown, requests = run(app, server)
        checks.check(shown and requests == ["/autopatch/vtgame.ini"],
                     "with every file there only the profile is asked for: %s" % requests)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
