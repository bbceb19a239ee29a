#!/usr/bin/env python3
"""Makes a sample patch: the server tree below <out>/autopatch/ (vtgame.ini, every set's
manifest and files, a client executable) and the matching installation profile.

File names may be Korean: on the server they are stored under their code page 949 bytes,
which is what a launcher's percent-encoded request decodes to."""

import argparse
import os
import random
import shutil
from pathlib import Path


def ini(section, pairs):
    text = "[%s]\r\n" % section + "".join("%s=%s\r\n" % kv for kv in pairs)
    return text.encode("cp949")


def put(base, relative, data):
    """Writes base/relative where relative is text whose file name is stored as CP949 bytes."""
    target = os.path.join(os.fsencode(base), relative.replace("\\", "/").encode("cp949"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)


def make(out, files=40, seed=1, korean=True, client=None, version="2", size_range=(2000, 60000)):
    rng = random.Random(seed)
    root = Path(out) / "autopatch"
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    korean_names = ["효과음", "배경 음악", "카드 뒷면", "승리"]
    sets = {"sound": [], "graphics": [], "card1": [], "card2": [], "card3": [], "card4": [],
            "card5": []}
    names = list(sets)
    for i in range(files):
        s = names[i % len(names)]
        if korean and i < len(korean_names):
            stem = korean_names[i]
        else:
            stem = "%s_%02d" % (s, i)
        sets[s].append(stem)
    expected = {}
    for s, stems in sets.items():
        if s == "sound":
            remote, manifest, suffix, local = "resource/sound/", "vtsound.ini", ".wav", "resource/sound/"
        elif s == "graphics":
            remote, manifest, suffix, local = "resource/data/", "graphics.ini", ".bmp", "resource/data/"
        else:
            n = s[4:]
            remote = "resource/data/card%s/" % n
            manifest, suffix, local = "vtcard%s.ini" % n, "", remote
        entries = []
        for stem in stems:
            name = stem + suffix
            data = rng.randbytes(rng.randint(*size_range))
            file_name = name + (".dat" if s.startswith("card") else "")
            put(root, remote + file_name, data)
            expected[local + file_name] = data
            entries.append((name, "%s.%d" % (version, rng.randint(0, 9))))
        pairs = [("count", str(len(entries)))] + [(str(i + 1), "%s:%s" % e)
                                                  for i, e in enumerate(entries)]
        put(root, remote + manifest, ini(s, pairs))
        expected[local + manifest] = dict(entries)
    client_bytes = Path(client).read_bytes() if client else b"MZ sample client " * 4000
    put(root, "vt.exe", client_bytes)
    expected["vt.exe"] = client_bytes
    profile = [("game", "1"), ("vtgame", version)] + [(s, version) for s in sets]
    put(root, "vtgame.ini", ini("game", profile))
    expected["vtgame.ini"] = dict(profile)
    return expected


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("out")
    p.add_argument("--files", type=int, default=40)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--client", help="a program to publish as vt.exe")
    a = p.parse_args()
    make(a.out, a.files, a.seed, client=a.client)
    print("patch tree in %s/autopatch" % a.out)


if __name__ == "__main__":
    main()
