"""Signed patches made the way an operator makes them: an installation-shaped tree published
with vtpatch (the native publisher's tool) and signed with the test key in tests/keys, and what
an installation holds once patched from it."""

import hashlib
import os
import shutil
import subprocess
from pathlib import Path

from .checks import ROOT
from .inifile import read_ini
from .patchtree import make_patch

TEST_KEY = ROOT / "tests" / "keys" / "patch-key.pem"
TEST_PUB = ROOT / "tests" / "keys" / "patch-key.pub"
# The launcher built with TEST_PUB, beside vtlauncher.exe in the Windows build.
SIGNED_EXE = "vtlauncher_testkey.exe"
MANIFESTS = {"resource/sound/vtsound.ini": "sound", "resource/data/graphics.ini": "graphics"}
MANIFESTS.update({"resource/data/card%d/vtcard%d.ini" % (n, n): "card%d" % n
                  for n in range(1, 6)})


def vtpatch_path(build):
    """The native vtpatch: $VT_VTPATCH, else the native build beside the Windows one."""
    path = Path(os.environ.get("VT_VTPATCH") or Path(build).parent / "native/vtpatch/vtpatch")
    if not path.is_file():
        raise FileNotFoundError("vtpatch not found at %s (build the native tree first)" % path)
    return path


def write_tree(tree, files):
    """An installation-shaped folder holding `files` ({relative path: bytes}), made afresh."""
    tree = Path(tree)
    if tree.exists():
        shutil.rmtree(tree)
    for rel, data in files.items():
        target = tree / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return tree


def private_key_copy(key, root):
    """The test key, copied beside `root`: vtpatch keeps its serial state beside the key, and
    that belongs to the test's own folder, never to the repository's tests/keys."""
    copy = Path(root).resolve().parent / "publish-key" / Path(key).name
    if not copy.exists():
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(key, copy)
        copy.chmod(0o600)
    return copy


def publish(vtpatch, tree, root, game="1", key=TEST_KEY, expires=None, extra=()):
    """Runs `vtpatch publish` (`extra`: more options); its output, or RuntimeError with it
    when it refuses."""
    if Path(key) == TEST_KEY:
        key = private_key_copy(key, root)
    cmd = [str(vtpatch), "publish", str(tree), str(root), "--key", str(key), "--game", game]
    if expires:
        cmd += ["--expires", expires]
    cmd += list(extra)
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if r.returncode != 0:
        raise RuntimeError("vtpatch publish failed (%d): %s" % (r.returncode, r.stderr))
    return r.stdout + r.stderr


def object_name(data):
    """Where a publish serves `data` once more, below autopatch/: objects/<2 hex>/<sha256>,
    the name a keyed launcher fetches a pinned file by."""
    digest = hashlib.sha256(data).hexdigest()
    return "objects/%s/%s" % (digest[:2], digest)


def object_of(root, rel):
    """The object name of the file `rel` (a payload, vt.exe or a manifest, '/' separated)
    served below root/autopatch/, where names are stored as code page 949 bytes."""
    served = os.path.join(os.fsencode(Path(root) / "autopatch"), rel.encode("cp949"))
    with open(served, "rb") as f:
        return object_name(f.read())


def served_expected(root, files):
    """What an installation patched from the served `root` holds, as make_patch describes it:
    `files` ({relative path: bytes}) plus the versions of every served profile."""
    served = Path(root) / "autopatch"
    expected = dict(files)
    game = read_ini(served / "vtgame.ini")["game"]
    for rel, section in MANIFESTS.items():
        # Every set's manifest is served; the launcher opens only the sets [game] lists.
        if section in game:
            entries = read_ini(served / rel).get(section, {})
            # A served entry "i=name:version" is recorded as "name=version".
            expected[rel] = dict(v.split(":", 1) for k, v in entries.items() if k.isdigit())
    expected["vtgame.ini"] = game
    return expected


def signed_patch(out, vtpatch, key=TEST_KEY, **sample):
    """make_patch's sample files (same arguments), published and signed with `key` below
    out/server. Returns (expected installation, the files by relative path)."""
    out = Path(out)
    sample_expected = make_patch(out / "sample", **sample)
    files = {rel: data for rel, data in sample_expected.items() if isinstance(data, bytes)}
    shutil.rmtree(out / "sample", ignore_errors=True)
    tree = write_tree(out / "tree", files)
    publish(vtpatch, tree, out / "server", key=key)
    return served_expected(out / "server", files), files
