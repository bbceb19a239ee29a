"""The launcher's profiles (vtgame.ini, the manifests): CP949 text, CR LF lines."""

from pathlib import Path


def ini_bytes(section, pairs):
    """One section holding `pairs` ([(key, value)]) as the launcher's profiles are stored."""
    text = "[%s]\r\n" % section + "".join("%s=%s\r\n" % kv for kv in pairs)
    return text.encode("cp949")


def read_ini(path):
    """{section: {key: value}} of a CP949 profile, names lower-cased, the first of repeated
    keys kept."""
    out, section = {}, None
    for raw in Path(path).read_bytes().decode("cp949").splitlines():
        line = raw.strip()
        if line.startswith("["):
            section = out.setdefault(line[1:line.index("]")].lower(), {})
        elif "=" in line and section is not None:
            k, v = line.split("=", 1)
            section.setdefault(k.strip().lower(), v.strip())
    return out
