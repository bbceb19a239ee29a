#!/usr/bin/env python3
"""Makes a sample patch: the server tree below <out>/autopatch/ (vtgame.ini, every set's
manifest and files, a client executable). The tree is made by harness.make_patch, which the
demo and the end-to-end tests use as well."""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import harness  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("out")
    p.add_argument("--files", type=int, default=40)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--client", help="a program to publish as vt.exe")
    a = p.parse_args()
    harness.make_patch(a.out, a.files, a.seed, client=a.client)
    print("patch tree in %s/autopatch" % a.out)


if __name__ == "__main__":
    main()
