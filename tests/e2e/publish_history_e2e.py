"""A publisher's history seen by two installations, one with a launcher built with the patch key
and one without: a publish into a fresh ROOT, a publish after the served serial was lowered and
after it was made huge, a publish without a set and one without vt.exe. Every installation
takes each publish whole and reaches the server window; the keyed one records a dropped set as
empty and keeps its files."""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

CARD = "resource/data/card1/c1.dat"


def tree_files(step):
    """The publisher's tree at `step`: one sound file changes every time."""
    return {"vt.exe": b"MZ history client %d " % min(step, 1) * 500,
            "resource/sound/a.wav": b"sound of step %d " % step * 400,
            "resource/data/ui.bmp": b"ui " * 3000,
            CARD: b"card one " * 900}


def plant_serial(root, serial):
    """What anyone who can write the served tree can do: rewrite the profile's serial (its
    signature no longer verifies; launchers with the key refuse that profile)."""
    profile = Path(root) / "autopatch" / "vtgame.ini"
    lines = profile.read_bytes().split(b"\r\n")
    profile.write_bytes(b"\r\n".join(b"serial=" + serial if line.startswith(b"serial=") else line
                                     for line in lines))


def served_serial(root):
    return int(harness.read_ini(Path(root) / "autopatch" / "vtgame.ini")["publish"]["serial"])


class Installation:
    def __init__(self, a, exe):
        self.a = a
        self.keyed = exe == harness.SIGNED_EXE
        self.app = harness.AppDir(a.build, {"vtgame.ini": b"[game]\r\ngame=1\r\n",
                                            "resource/data/SvrList.dat": b""}, exe=exe)
        self.name = "with the key" if self.keyed else "without a key"

    def update(self, checks, root, what, files, dropped=()):
        """Runs against `root`; checks the run reaches the server window with every published
        file installed, and what the keyed launcher logs about dropped sets."""
        log = harness.RunLog()
        with harness.case(checks, "%s, %s" % (what, self.name)):
            with harness.StaticServer(root, self.a.host, self.a.port):
                result = harness.outcome(self.app.start())
            expected = harness.served_expected(root, files)
            checks.check(result == "servers" and not harness.differences(self.app.path, expected),
                         "[%s, %s] the publish goes in whole (%s)" % (what, self.name, result))
            checks.check(not log.has("^refused"), "[%s, %s] nothing refused" % (what, self.name))
            recorded = harness.read_ini(self.app.path / "vtgame.ini")["game"]
            for key in dropped:
                checks.check(recorded.get(key, "") == "",
                             "[%s, %s] %s is recorded as not published" % (what, self.name, key))
            if self.keyed:
                for key in dropped:
                    checks.check(bool(log.has("^set dropped: %s$" % key)),
                                 "[%s, %s] logs set dropped: %s" % (what, self.name, key))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    vtpatch = harness.vtpatch_path(a.build)
    work = Path(tempfile.mkdtemp(prefix="vt-history-"))
    key = work / "key" / "patch-key.pem"  # the publisher's state is written beside it
    key.parent.mkdir()
    shutil.copy2(harness.TEST_KEY, key)
    key.chmod(0o600)
    installs = [Installation(a, "vtlauncher.exe"), Installation(a, harness.SIGNED_EXE)]

    def publish(step, root, files, *extra):
        tree = harness.write_tree(work / "tree", files)
        harness.publish(vtpatch, tree, root, key=key, extra=list(extra))
        for install in installs:
            install.update(checks, root, step, files,
                           dropped=() if CARD in files else ("card1",))

    publish("first publish", work / "a", tree_files(1))
    first = served_serial(work / "a")
    publish("a fresh ROOT", work / "b", tree_files(2))
    checks.check(served_serial(work / "b") > first, "a fresh ROOT counts on from the key's state")
    plant_serial(work / "b", b"1")
    publish("after the served serial was lowered", work / "b", tree_files(3))
    plant_serial(work / "b", b"9223372036854775806")
    publish("after the served serial was made huge", work / "b", tree_files(4))
    checks.check(served_serial(work / "b") < 2 ** 53, "the serial stays at most 2^53")
    without_card = {k: v for k, v in tree_files(5).items() if k != CARD}
    publish("without a set", work / "b", without_card)
    for install in installs:
        checks.check((install.app.path / CARD).read_bytes() == tree_files(1)[CARD],
                     "[without a set, %s] the dropped set's file stays" % install.name)

    no_client = {k: v for k, v in without_card.items() if k != "vt.exe"}
    refused = subprocess.run([str(vtpatch), "publish", str(harness.write_tree(work / "tree", no_client)),
                              str(work / "b"), "--key", str(key), "--game", "1"],
                             capture_output=True, text=True, timeout=300)
    checks.check(refused.returncode == 1 and "vt.exe" in refused.stderr,
                 "dropping vt.exe is refused unless asked for (%d: %s)" %
                 (refused.returncode, refused.stderr.strip()[-200:]))
    before = [(install.app.path / "vt.exe").read_bytes() for install in installs]
    harness.publish(vtpatch, harness.write_tree(work / "tree", no_client), work / "b", key=key,
                    extra=["--drop-client"])
    for install, client in zip(installs, before):
        install.update(checks, work / "b", "without vt.exe", no_client, dropped=("vtgame",))
        checks.check((install.app.path / "vt.exe").read_bytes() == client,
                     "[without vt.exe, %s] the installed client stays" % install.name)

    for install in installs:
        install.app.remove()
    shutil.rmtree(work, ignore_errors=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
