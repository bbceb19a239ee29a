"""Keys an operator loses. The launcher built with the test key treats it as the root; publish
keys sign profiles under key lists the root signs, made with vtpatch's own commands.

Revocation drill: a launcher accepted a profile with serial 2^40, signed with a publish key that
leaked. The operator revokes that key with the root (min-serial: the last genuine publish) and
publishes with another key: the next start accepts the genuine profile, nothing reinstalled by
hand. Three rotations: a launcher that knows only the root it was built with follows three
rotation lists to the current root and patches; from then on a profile the old root signs
directly is refused, the installation left as it was, and a launcher statement the current
root signed updates that launcher to launcher 2."""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

HUGE = 1 << 40
NEW_LAUNCHER = "vtlauncher_testkey_2.exe"  # launcher serial 2, built with the test key
EXPIRES = "2099-01-01T00:00:00Z"


def tree_files(step):
    return {"vt.exe": b"MZ keys client " * 400,
            "resource/sound/a.wav": b"sound of step %d " % step * 300,
            "resource/data/ui.bmp": b"ui " * 2000}


class Operator:
    """vtpatch in a folder of the test's own: the root (a copy of the test key) and publish keys."""

    def __init__(self, vtpatch, work):
        self.vtpatch = vtpatch
        self.work = Path(work)
        self.root = self.work / "root" / "patch-key.pem"
        self.root.parent.mkdir(parents=True)
        shutil.copyfile(harness.TEST_KEY, self.root)
        self.root.chmod(0o600)
        shutil.copyfile(harness.TEST_PUB, self.root.with_suffix(".pub"))
        self.step = 0

    def run(self, *args):
        r = subprocess.run([str(self.vtpatch), *map(str, args)], capture_output=True, text=True,
                           timeout=300)
        if r.returncode != 0:
            raise RuntimeError("vtpatch %s failed (%d): %s" % (args[0], r.returncode, r.stderr))
        return r.stdout

    def keygen(self, name, root=False):
        folder = self.work / name
        folder.mkdir()
        self.run("keygen", *(["--root"] if root else []), folder)
        stem = "root-key" if root else "patch-key"
        return folder / (stem + ".pem")

    def list_file(self, name):
        return self.work / "lists" / name

    def sign_list(self, command, name, *args):
        out = self.list_file(name)
        out.parent.mkdir(exist_ok=True)
        self.run(command, *args, "--out", out)
        return out

    def publish(self, server, key, key_list=None):
        """One publish of the next step's tree; the files it serves."""
        self.step += 1
        files = tree_files(self.step)
        tree = harness.write_tree(self.work / "tree", files)
        extra = ["--key-list", key_list] if key_list else []
        harness.publish(self.vtpatch, tree, server, key=key, extra=[str(e) for e in extra])
        return files


def served_serial(server):
    return int(harness.read_ini(Path(server) / "autopatch" / "vtgame.ini")["publish"]["serial"])


def run_once(a, app, server):
    """How one run against `server` ends (harness.outcome); the launcher is ended after it."""
    with harness.StaticServer(server, a.host, a.port):
        proc = app.start()
        try:
            return harness.outcome(proc)
        finally:
            harness.stop(proc)


def update(a, checks, app, server, files, what):
    """A run against `server` that must install the publish whole; the kept [publish] values."""
    log = harness.RunLog()
    result = run_once(a, app, server)
    expected = harness.served_expected(server, files)
    missing = harness.differences(app.path, expected)
    checks.check(result == "servers" and not missing,
                 "[%s] the publish goes in whole (%s, %s)" % (what, result, missing))
    checks.check(not log.has("^refused"), "[%s] nothing refused %s" % (what, log.has("^refused")))
    return harness.read_ini(app.path / "vtgame.ini").get("publish", {})


def revocation_drill(a, checks, op, server):
    leaked, other = op.keygen("leaked"), op.keygen("other")
    list1 = op.sign_list("delegate", "list1", "--root", op.root, "--keys",
                         "%s,%s" % (leaked.with_suffix(".pub"), other.with_suffix(".pub")),
                         "--expires", EXPIRES)
    app = harness.AppDir(a.build, {"vtgame.ini": b"[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, exe=harness.SIGNED_EXE)
    files = op.publish(server, leaked, list1)
    genuine = served_serial(server)
    update(a, checks, app, server, files, "a publish with the key that will leak")

    # Whoever holds the leaked key signs a profile with a huge serial; the launcher takes it.
    leaked.with_suffix(".state").write_text("serial=%d\n" % (HUGE - 1))
    files = op.publish(server, leaked, list1)
    checks.check(served_serial(server) == HUGE, "the forged profile has serial 2^40")
    kept = update(a, checks, app, server, files, "the forged profile")
    checks.check(kept.get("serial") == str(HUGE), "the launcher kept serial 2^40 (%s)" % kept)

    list2 = op.sign_list("revoke", "list2", "--root", op.root, "--from", list1, "--key",
                         leaked.with_suffix(".pub"), "--min-serial", genuine)
    files = op.publish(server, other, list2)
    fresh = served_serial(server)
    checks.check(genuine < fresh < HUGE, "the genuine publish counts from the time (%d)" % fresh)
    kept = update(a, checks, app, server, files, "the genuine publish after the revocation")
    checks.check(kept.get("serial") == str(fresh),
                 "the launcher forgot 2^40 and kept the genuine serial (%s)" % kept)
    app.remove()


def three_rotations(a, checks, op, server):
    key = op.keygen("publisher")
    pub = key.with_suffix(".pub")
    lists = [op.sign_list("delegate", "first", "--root", op.root, "--keys", pub, "--expires",
                          EXPIRES)]
    roots = [op.root]
    for n in range(1, 4):
        roots.append(op.keygen("root%d" % n, root=True))
        lists.append(op.sign_list("rotate-root", "rotation%d" % n, "--root", roots[-2],
                                  "--new-root", roots[-1], "--from", lists[-1]))
        # Each rotation is published, as an operator does: its list is then served.
        op.publish(server, key, lists[-1])
    lists.append(op.sign_list("delegate", "current", "--root", roots[-1], "--keys", pub,
                              "--expires", EXPIRES, "--from", lists[-1]))
    files = op.publish(server, key, lists[-1])
    app = harness.AppDir(a.build, {"vtgame.ini": b"[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""}, exe=harness.SIGNED_EXE)
    update(a, checks, app, server, files, "three rotations behind")

    # The root the launcher was built with now signs a profile alone: no longer trusted.
    op.step += 1
    tree = harness.write_tree(op.work / "tree", tree_files(op.step))
    harness.publish(op.vtpatch, tree, server, key=op.root)
    before = harness.installed_files(app.path)
    log = harness.RunLog()
    result = run_once(a, app, server)
    checks.check(result == "refused" and log.has("^refused"),
                 "the old root alone is refused after the rotation (%s, %s)" %
                 (result, log.has("^refused")))
    checks.check(harness.installed_files(app.path) == before, "the installation stays as it was")
    launcher_from_current_root(a, checks, op, server, app, (key, lists[-1], roots[-1]))
    app.remove()


def launcher_from_current_root(a, checks, op, server, app, current):
    """A statement the current root signed offline, published with the publish key: the
    launcher that followed the rotations updates itself to launcher 2."""
    key, key_list, root = current
    new = Path(a.build) / NEW_LAUNCHER
    statement = op.work / "statement"
    op.run("sign-launcher", new, "--root", root, "--game", "2", "--serial", "2", "--out",
           statement)
    op.step += 1
    tree = harness.write_tree(op.work / "tree", tree_files(op.step))
    harness.publish(op.vtpatch, tree, server, game="2", key=key,
                    extra=["--key-list", str(key_list), "--launcher", str(new), "--statement",
                           str(statement)])
    log = harness.RunLog()
    with harness.StaticServer(server, a.host, a.port):
        proc = app.start()
        try:
            # The starter ends once launcher 2 took over: the end is the window shown.
            shown = harness.wait_until(
                lambda: [n for _, n in harness.windows()
                         if n in (harness.SERVER_CAPTION, harness.FAILED_CAPTION,
                                  harness.ERROR_CAPTION)], 120, "the server window or a refusal")
        finally:
            harness.stop(proc)
            harness.end_launchers()
    game = harness.read_ini(app.path / "vtgame.ini")["game"].get("game")
    checks.check(shown == [harness.SERVER_CAPTION] and log.has(r"^launcher 2 took over$") and
                 game == "2",
                 "a statement of the current root updates the launcher (%s, %s, game %s)" %
                 (shown, log.has("took over|^refused"), game))


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    vtpatch = harness.vtpatch_path(a.build)
    work = Path(tempfile.mkdtemp(prefix="vt-keys-"))
    try:
        with harness.case(checks, "revocation drill"):
            revocation_drill(a, checks, Operator(vtpatch, work / "drill"), work / "drill-server")
        with harness.case(checks, "three rotations"):
            three_rotations(a, checks, Operator(vtpatch, work / "rotations"),
                            work / "rotations-server")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
