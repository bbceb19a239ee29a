"""The cache headers of docs/patch-format.md, as written there: nginx with the document's
location blocks serves a signed publish with no-cache on the profile files and the legacy
tree, immutable for a year on the objects, and lint over it finds nothing. No launcher runs."""

import http.client
import tempfile
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

DOC = harness.ROOT / "docs" / "patch-format.md"
PROFILE = "no-cache"
OBJECT = "public, max-age=31536000, immutable"


def documented_locations():
    """The nginx example of the document: the fenced block after its introducing line."""
    text = DOC.read_text(encoding="utf-8")
    start = text.index("With nginx, in the `server` that serves ROOT:")
    opening = text.index("```\n", start) + 4
    return text[opening:text.index("```", opening)]


def head(host, port, path):
    """(status, Cache-Control) of a GET of `path`."""
    conn = http.client.HTTPConnection(host, port, timeout=30)
    try:
        conn.request("GET", path)
        r = conn.getresponse()
        r.read()
        return r.status, r.getheader("Cache-Control")
    finally:
        conn.close()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    vtpatch = harness.vtpatch_path(a.build)
    out = Path(tempfile.mkdtemp(prefix="vt-cache-"))
    harness.signed_patch(out, vtpatch)
    served = out / "server" / "autopatch"
    objects = sorted(p for p in (served / "objects").rglob("*") if p.is_file())
    checks.check(len(objects) > 0, "the publish wrote %d objects" % len(objects))
    rows = [("/autopatch/vtgame.signed", PROFILE), ("/autopatch/vtgame.ini", PROFILE),
            ("/autopatch/vtgame.ini.sig", PROFILE),
            ("/autopatch/resource/sound/vtsound.ini", PROFILE)]
    rows += [("/autopatch/" + p.relative_to(served).as_posix(), OBJECT) for p in objects[:3]]
    with harness.Nginx(out / "server", a.host, a.port, server=documented_locations()):
        for path, expected in rows:
            status, cache = head(a.host, a.port, path)
            checks.check(status == 200 and cache == expected,
                         "%s: %s, Cache-Control: %s (expected %s)" % (path, status, cache,
                                                                      expected))
        lint = subprocess.run([str(vtpatch), "lint", "http://%s:%d/" % (a.host, a.port), "--pub",
                               str(harness.TEST_PUB)], capture_output=True, text=True,
                              timeout=300)
        checks.check(lint.returncode == 0, "lint over that nginx finds nothing (%d): %s"
                     % (lint.returncode, (lint.stdout + lint.stderr).strip()[-400:]))
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
