"""The command line of an end-to-end test and its tally of checks."""

import argparse
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def parse_args(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--build", required=True, help="the Windows build directory")
    p.add_argument("--patch-host", required=True, help="VT_PATCH_HOST of that build")
    p.add_argument("--artefacts", default=None, help="where screenshots go")
    a = p.parse_args()
    a.build = Path(a.build).resolve()
    a.artefacts = Path(a.artefacts or a.build / "artefacts").resolve()
    a.artefacts.mkdir(parents=True, exist_ok=True)
    host, _, port = a.patch_host.partition(":")
    a.host, a.port = host, int(port or 80)
    return a


class Checks:
    """Collects named checks and prints 'N passed, N failed' at the end."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what):
        print(("PASS " if ok else "FAIL ") + what, flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        return 1 if self.failed else 0
