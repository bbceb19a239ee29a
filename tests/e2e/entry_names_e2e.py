"""A manifest entry that Windows resolves to the launcher's own state is refused before the set
fetches anything: a graphics entry "card1\\vtcard1.ini." (card set 1's manifest once Wine drops
the trailing dot) and a sound entry "vtsound.ini." (the sound manifest itself) each stop the run
with the error report, fetch no file of their set, and leave every local manifest and
vtgame.ini byte for byte as they were."""

import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

LOCAL_FILES = {
    "resource/sound/vtsound.ini": b"[sound]\r\na.wav=1\r\n",
    "resource/sound/a.wav": b"the installed a.wav",
    "resource/data/graphics.ini": b"[graphics]\r\ntable.bmp=1\r\n",
    "resource/data/table.bmp": b"the installed table.bmp",
    "resource/data/card1/vtcard1.ini": b"[card1]\r\nace=1\r\n",
    "resource/data/card1/ace.dat": b"the installed ace",
    "resource/data/SvrList.dat": b"",
}
SETS = ["sound", "graphics"] + ["card%d" % n for n in range(1, 6)]


def versions(**newer):
    """vtgame.ini with every set at version 1 except those given."""
    pairs = [("game", "1"), ("vtgame", "7")] + [(s, newer.get(s, "1")) for s in SETS]
    return harness.ini_bytes("game", pairs)


# (what, set folder on the server, manifest, [(entry, served bytes)], the set's key)
CASES = [
    ("graphics", "resource/data/", "graphics.ini",
     [("table.bmp", b"a new table.bmp"), ("card1\\vtcard1.ini.", b"[card1]\r\n")], "graphics"),
    ("sound", "resource/sound/", "vtsound.ini",
     [("a.wav", b"a new a.wav"), ("vtsound.ini.", b"[sound]\r\n")], "sound"),
]


def publish(root, folder, manifest, entries, key):
    base = root / "autopatch"
    if base.exists():
        shutil.rmtree(base)
    (base / folder).mkdir(parents=True)
    (base / "vtgame.ini").write_bytes(versions(**{key: "2"}))
    pairs = [("count", str(len(entries)))] + [
        (str(i + 1), "%s:2" % name) for i, (name, _) in enumerate(entries)]
    (base / folder / manifest).write_bytes(harness.ini_bytes(key, pairs))
    for name, data in entries:
        # Served under the literal name the launcher would ask for ("\" is no separator here).
        (base / folder / name).write_bytes(data)


def run_case(a, checks, server, root, case):
    what, folder, manifest, entries, key = case
    publish(root, folder, manifest, entries, key)
    app = harness.AppDir(a.build, dict(LOCAL_FILES, **{"vtgame.ini": versions()}))
    before = {rel: (app.path / rel).read_bytes() for rel in list(LOCAL_FILES) + ["vtgame.ini"]}
    first = len(server.requests())
    try:
        with harness.isolated(), app.running() as proc:
            result = harness.outcome(proc)
            checks.check(result == "error", "[%s] the run stops with the error report (%s)"
                         % (what, result))
            requests = server.requests()[first:]
            expected = ["/autopatch/vtgame.ini", "/autopatch/%s%s" % (folder, manifest)]
            checks.check(requests == expected,
                         "[%s] only vtgame.ini and the manifest are fetched: %s"
                         % (what, requests))
            changed = [rel for rel, data in before.items()
                       if not (app.path / rel).exists()
                       or (app.path / rel).read_bytes() != data]
            checks.check(not changed, "[%s] manifests, files and vtgame.ini are unchanged: %s"
                         % (what, changed))
            if result == "error":
                box = harness.wait_window(harness.ERROR_CAPTION, timeout=10)
                harness.screenshot(box, a.artefacts / ("entry_names_%s.png" % what))
                harness.key(box, "Return")
                checks.check(harness.wait_exit(proc, 60) is not None,
                             "[%s] closing the report ends the program" % what)
    except TimeoutError as e:
        checks.check(False, "[%s] %s" % (what, e))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    root = Path(tempfile.mkdtemp(prefix="vt-e2e-names-"))
    with harness.StaticServer(root, a.host, a.port) as server:
        for case in CASES:
            run_case(a, checks, server, root, case)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
