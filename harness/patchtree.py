"""A sample patch: the server tree below <out>/autopatch/ (vtgame.ini, every set's manifest and
files, a client executable), and what an installation holds once patched from it.

File names may be Korean: on the server they are stored under their code page 949 bytes,
which is what a launcher's percent-encoded request decodes to."""

import os
import random
import shutil
import tempfile
from pathlib import Path

from .inifile import ini_bytes, read_ini

SETS = ["sound", "graphics", "card1", "card2", "card3", "card4", "card5"]
KOREAN_NAMES = ["효과음", "배경 음악", "카드 뒷면", "승리"]


def _put(base, relative, data):
    """Writes base/relative where relative is text whose file name is stored as CP949 bytes."""
    target = os.path.join(os.fsencode(base), relative.replace("\\", "/").encode("cp949"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)


def _layout(s):
    """(folder on the server and in the installation, manifest, file suffix) of a set."""
    if s == "sound":
        return "resource/sound/", "vtsound.ini", ".wav"
    if s == "graphics":
        return "resource/data/", "graphics.ini", ".bmp"
    return "resource/data/card%s/" % s[4:], "vtcard%s.ini" % s[4:], ""


def make_patch(out, files=40, seed=1, korean=True, client=None, version="2",
               size_range=(2000, 60000)):
    """Writes the patch below out/autopatch (made afresh) and returns what a patched
    installation holds: {relative path: bytes} for files, {relative path: {key: version}} for
    the profiles (vtgame.ini and each set's manifest)."""
    rng = random.Random(seed)
    root = Path(out) / "autopatch"
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    sets = {s: [] for s in SETS}
    for i in range(files):
        s = SETS[i % len(SETS)]
        stem = KOREAN_NAMES[i] if korean and i < len(KOREAN_NAMES) else "%s_%02d" % (s, i)
        sets[s].append(stem)
    expected = {}
    for s, stems in sets.items():
        folder, manifest, suffix = _layout(s)
        entries = []
        for stem in stems:
            name = stem + suffix
            data = rng.randbytes(rng.randint(*size_range))
            file_name = name + (".dat" if s.startswith("card") else "")
            _put(root, folder + file_name, data)
            expected[folder + file_name] = data
            entries.append((name, "%s.%d" % (version, rng.randint(0, 9))))
        pairs = [("count", str(len(entries)))] + [(str(i + 1), "%s:%s" % e)
                                                  for i, e in enumerate(entries)]
        _put(root, folder + manifest, ini_bytes(s, pairs))
        expected[folder + manifest] = dict(entries)
    client_bytes = Path(client).read_bytes() if client else b"MZ sample client " * 4000
    _put(root, "vt.exe", client_bytes)
    expected["vt.exe"] = client_bytes
    profile = [("game", "1"), ("vtgame", version)] + [(s, version) for s in sets]
    _put(root, "vtgame.ini", ini_bytes("game", profile))
    expected["vtgame.ini"] = dict(profile)
    return expected


def installed_as_served(app_path, rel, want):
    """True when the installation's `rel` is what make_patch promised: the same bytes for a
    file, every version of the server's for a profile."""
    path = Path(app_path) / rel
    if not path.exists():
        return False
    if isinstance(want, bytes):
        return path.read_bytes() == want
    section = next(iter(read_ini(path).values()), {})
    return all(section.get(k.lower()) == v for k, v in want.items() if k != "count")


def differences(app_path, expected):
    """The relative paths of `expected` (from make_patch) the installation does not match."""
    return [rel for rel, want in expected.items() if not installed_as_served(app_path, rel, want)]


def installed_files(app_path):
    """{relative path: bytes} of every file of an installation except the launcher itself and
    the staging directory temp\\: what a refused patch must leave exactly as it was."""
    root = Path(app_path)
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and p.relative_to(root).parts[0] not in ("temp", "vtlauncher.exe")}


def profile_only(vtgame_ini):
    """A patch host's root (a fresh temporary folder) serving only autopatch/vtgame.ini, text
    stored as code page 949: an installation holding the same is current."""
    root = Path(tempfile.mkdtemp(prefix="vt-e2e-host-"))
    (root / "autopatch").mkdir()
    (root / "autopatch" / "vtgame.ini").write_bytes(vtgame_ini.encode("cp949"))
    return root
