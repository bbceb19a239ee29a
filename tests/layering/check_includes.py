"""Checks that every #include in the product's folders points to its own folder or below.

The build already refuses an upward include it can see; this also catches one written as a
relative path ("../patch/X.h"), which the compiler would resolve beside the including file."""

import re
import sys
from pathlib import Path

# Lowest first; a folder may include from itself and from every folder it builds on.
BUILDS_ON = {
    "res": set(),
    "app": {"res"},
    "transfer": {"app", "res"},
    "ping": {"app", "res"},
    "sets": {"transfer", "ping", "app", "res"},
    "patch": {"sets", "transfer", "ping", "app", "res"},
    "servers": {"ping", "app", "res"},
    "launcher": {"patch", "servers", "sets", "transfer", "ping", "app", "res"},
    "vtpatch": {"sets", "transfer", "ping", "app", "res"},
    # The fuzz targets sit on top, like the program: they may include every layer.
    "fuzz": {"launcher", "vtpatch", "patch", "servers", "sets", "transfer", "ping", "app", "res"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def problems(root):
    for folder, allowed in BUILDS_ON.items():
        for source in sorted((root / folder).glob("*")):
            if source.suffix not in (".h", ".cpp", ".rc"):
                continue
            for target in INCLUDE.findall(source.read_text(encoding="utf-8")):
                resolved = (source.parent / target).resolve()
                if ".." in Path(target).parts:
                    top = resolved.relative_to(root.resolve()).parts[0]
                else:
                    top = Path(target).parts[0]
                if top != folder and top not in allowed:
                    yield f"{source.relative_to(root)}: includes {target} ({top} is not below {folder})"


def main():
    root = Path(sys.argv[1])
    found = list(problems(root))
    for p in found:
        print(p)
    checked = sum(1 for f in BUILDS_ON for _ in (root / f).glob("*.[hc]*"))
    print(f"{checked} files checked, {len(found)} upward includes")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
