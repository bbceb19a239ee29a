"""Checks that every #include in the product's folders points to its own folder or below.

The layer order is read from the folders' CMakeLists.txt (`vt_layer(<folder> DEPENDS ...)`),
the one place it is written. The build already refuses an upward include it can see; this also
catches one written as a relative path ("../patch/X.h"), which the compiler would resolve beside
the including file. With --drawing it prints the layer drawing the README shows."""

import re
import sys
from pathlib import Path

LAYER = re.compile(r"vt_layer\(\s*(\w+)((?:\s+DEPENDS)?[^)]*)\)", re.S)
SECTION = re.compile(r"\b(?:SOURCES|POSIX_SOURCES|WIN32_SOURCES)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
# Folders that are not layers but may include every layer, like the program.
ON_TOP = ("fuzz",)


def direct_layers(root):
    """{folder: set of folders its library links directly}, from the CMake files."""
    found = {}
    for cmake in sorted(root.glob("*/CMakeLists.txt")):
        for name, rest in LAYER.findall(cmake.read_text(encoding="utf-8")):
            deps = SECTION.split(rest)[0]
            found[name] = {d[3:] for d in re.findall(r"\bvt_\w+", deps)}
    return found


def builds_on(direct):
    closed = {}

    def below(folder, seen=()):
        if folder in seen:
            raise SystemExit(f"layer cycle through {folder}")
        if folder not in closed:
            result = set()
            for d in direct[folder]:
                result |= {d} | below(d, seen + (folder,))
            closed[folder] = result
        return closed[folder]

    for folder in direct:
        below(folder)
    for top in ON_TOP:
        closed[top] = set(direct)
    return closed


def problems(root, allowed_by_folder):
    for folder, allowed in allowed_by_folder.items():
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


def drawing(direct):
    """One line per folder, highest first, each naming the folders its library links."""
    depth = {}

    def level(folder):
        if folder not in depth:
            depth[folder] = 1 + max((level(d) for d in direct[folder]), default=-1)
        return depth[folder]

    order = sorted(direct, key=lambda f: (-level(f), f))
    lines = []
    for folder in order:
        deps = sorted(direct[folder], key=lambda f: (-level(f), f))
        lines.append(f"{folder + '/':<11}-> {', '.join(d + '/' for d in deps)}".rstrip(" ->")
                     if deps else f"{folder}/")
    return "\n".join(lines)


def readme_drawing(readme):
    """The fenced block after the README's "<!-- layers -->" line."""
    text = readme.read_text(encoding="utf-8")
    if "<!-- layers -->" not in text:
        return None
    block = text.split("<!-- layers -->", 1)[1].split("```")
    return block[1].strip("\n") if len(block) > 2 else None


def main():
    root = Path(sys.argv[-1])
    direct = direct_layers(root)
    if "--drawing" in sys.argv:
        print(drawing(direct))
        return 0
    if "--readme" in sys.argv:
        shown, built = readme_drawing(root / "README.md"), drawing(direct)
        if shown != built:
            print("README.md's layer drawing differs from the CMake files; it should be:")
            print(built)
            return 1
        print("README.md's layer drawing matches the CMake files")
        return 0
    allowed = builds_on(direct)
    found = list(problems(root, allowed))
    for p in found:
        print(p)
    checked = sum(1 for f in allowed for _ in (root / f).glob("*.[hc]*"))
    print(f"{len(direct)} layers, {checked} files checked, {len(found)} upward includes")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
