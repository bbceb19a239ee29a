"""Versions the profile rules would change on reading (blanks, quotes) and bytes code page 949
cannot hold are recorded so that the next run finds them current and fetches nothing; a set
manifest answered with an HTML page fails like a download and records nothing."""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

# Entries whose versions read back otherwise when stored plain, and one that is no CP949.
ENTRIES = [b"a.wav: v1", b'"b.wav:v1 "', b'c.wav:"v1"', b"d.wav:'v1'", b"e.wav:v\x81"]
FILES = ["a.wav", "b.wav", "c.wav", "d.wav", "e.wav"]
SOUND_DIR = "/autopatch/resource/sound/"


def publish(root, sound_version, manifest):
    (root / "autopatch").mkdir(parents=True, exist_ok=True)
    (root / "autopatch/vtgame.ini").write_bytes(
        b"[game]\r\ngame=1\r\nsound=" + sound_version + b"\r\n")
    (root / "autopatch/resource/sound").mkdir(parents=True, exist_ok=True)
    (root / "autopatch/resource/sound/vtsound.ini").write_bytes(manifest)


def run(app, server, until):
    """Runs the launcher until the window `until` shows (or it ends, or another box shows),
    then ends it; returns (whether `until` showed, the requests of this run)."""
    before = len(server.requests())
    with harness.isolated(), app.running() as proc:
        harness.eventually(
            lambda: until in [n for _, n in harness.windows()] or harness.message_boxes()
            or proc.poll() is not None, 120, step=0.2)
        shown = until in [n for _, n in harness.windows()]
    return shown, server.requests()[before:]


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-e2e-versions-"))
    root = work / "server"
    manifest = (b"[sound]\r\ncount=%d\r\n" % len(ENTRIES)
                + b"".join(b"%d=%s\r\n" % (i + 1, e) for i, e in enumerate(ENTRIES)))
    publish(root, b'" 2"', manifest)
    for name in FILES:
        (root / "autopatch/resource/sound" / name).write_bytes(name.encode() * 100)
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""})
    local_manifest = app.path / "resource/sound/vtsound.ini"
    with harness.StaticServer(root, a.host, a.port) as server:
        shown, requests = run(app, server, harness.SERVER_CAPTION)
        checks.check(shown, "the first run reaches the server window")
        fetched = sorted(p[len(SOUND_DIR):] for p in requests
                         if p.startswith(SOUND_DIR) and not p.endswith(".ini"))
        checks.check(fetched == FILES, "the first run fetches every file: %s" % fetched)
        recorded = local_manifest.read_bytes() if local_manifest.exists() else b""
        checks.check(b'a.wav=" v1"\r\n' in recorded and b'b.wav="v1 "\r\n' in recorded
                     and b'c.wav=""v1""\r\n' in recorded and b"d.wav=\"'v1'\"\r\n" in recorded
                     and b"e.wav=v\x81\r\n" in recorded,
                     "versions are recorded to read back as sent: %r" % recorded)
        checks.check(b'sound=" 2"' in (app.path / "vtgame.ini").read_bytes(),
                     "the set's quoted version is recorded quoted")

        # Same profile: nothing but the version profile is asked for.
        shown, requests = run(app, server, harness.SERVER_CAPTION)
        checks.check(shown and requests == ["/autopatch/vtgame.ini"],
                     "a second run fetches only vtgame.ini: %s" % requests)

        # A new set version over the same manifest: the manifest, but no file.
        publish(root, b"3", manifest)
        shown, requests = run(app, server, harness.SERVER_CAPTION)
        checks.check(shown and requests == ["/autopatch/vtgame.ini",
                                            SOUND_DIR + "vtsound.ini"],
                     "a new set version re-reads the manifest and fetches no file: %s"
                     % requests)

        # A proxy's error page where the manifest should be.
        publish(root, b"4", b"<html><body><h1>502 Bad Gateway</h1></body></html>\r\n")
        shown, requests = run(app, server, harness.FAILED_CAPTION)
        checks.check(shown, "an HTML page as the manifest shows '%s'" % harness.FAILED_CAPTION)
        checks.check(requests == ["/autopatch/vtgame.ini", SOUND_DIR + "vtsound.ini"],
                     "and nothing more is fetched: %s" % requests)
        local = harness.read_ini(app.path / "vtgame.ini").get("game", {})
        checks.check(local.get("sound") == "3",
                     "the set's old version stays recorded: %r" % local.get("sound"))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
