"""A launcher built with a patch key, between it and its patch host a man in the middle. Patches
are published and signed with vtpatch; the launcher fetches payloads and manifests as objects
named by their SHA-256. Whatever the middle changes (a payload's or a manifest's object, as a
cache or mirror holding other bytes under that name would, the profile, the signature, in the
single signed file or in the pair a tree without it serves, one bit or a longer body) and an
older signed patch served after a newer one are refused (a profile only after one more request
past every cache) with "업그레이드 실패": nothing is recorded and every installed file stays
byte-identical. The same changes made to the legacy names alone leave the launcher untouched:
it installs the genuine patch. An answer announcing a gigabyte for the signed file,
the signature, the profile or a pinned
manifest is refused from its head, the launcher letting go of it, nothing of it in temp\; an
answer with no head, or trickling, is abandoned under the test-key build's 3 s rule for slow
answers, the limit named in the log. An interrupted download resumes with a Range request, and
only a 206 at the right offset continues it; a part the middle filled with wrong bytes is
fetched again from byte 0 by the next run against the honest server, which then succeeds."""

import hashlib
import random
import re
import shutil
import sys
import tempfile
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

SEED = 20261208
CHANGED = "resource/sound/b.wav"  # the one file the second publish changes
SOUND_MANIFEST = "resource/sound/vtsound.ini"
RESUME_BYTES = 256 * 1024  # staged before the kill in the resume cases
GIGABYTE = 1 << 30
SLOW_SECONDS = 3  # the rule for slow answers of vtlauncher_testkey.exe


def flip_bit(rng, data, what, report):
    bit = rng.randrange(len(data) * 8)
    report.append("%s: bit %d of %d bytes flipped" % (what, bit, len(data)))
    out = bytearray(data)
    out[bit // 8] ^= 1 << (bit % 8)
    return bytes(out)


def flip_within(rng, data, start, end, what, report):
    """flip_bit on data[start:end] alone: the signature (the first 64 bytes of vtgame.signed)
    or the profile after it."""
    return data[:start] + flip_bit(rng, data[start:end], what, report) + data[end:]


class Case:
    """One launcher run against a served tree, from an installation given as its files."""

    def __init__(self, a, files):
        self.a = a
        self.app = harness.AppDir(a.build, files, exe=harness.SIGNED_EXE)
        self.log = harness.RunLog()

    def serve(self, root, **server):
        server.setdefault("head_delay", 0)
        server.setdefault("rate", 0)
        return harness.TrickleServer(root, self.a.host, self.a.port, **server)

    def run_to_servers(self, root, **server):
        """True when the run patches and opens the server window; the requests made."""
        with self.serve(root, **server) as httpd:
            proc = self.app.start()
            try:
                harness.wait_window(harness.SERVER_CAPTION, timeout=120)
                return True, httpd
            except TimeoutError as e:
                print(e, flush=True)
                return False, httpd
            finally:
                harness.stop(proc)

    def refused(self, checks, root, reason, what, shown=None, prepare=None, **server):
        """Runs against `root`, expects the refusal box and the log line matching `reason`,
        closes the box and sees the program end. `prepare(server)` runs before the launcher
        starts, `shown(server)` while the box is up."""
        with self.serve(root, **server) as httpd:
            if prepare:
                prepare(httpd)
            proc = self.app.start()
            try:
                wid = harness.wait_window(harness.FAILED_CAPTION, timeout=60)
                found = harness.eventually(lambda: self.log.has(reason), 10)
                checks.check(bool(found), "%s: refused, logged %r" % (what, (found or ["nothing"])[0]))
                checks.check(not [w for w, n in harness.windows() if n == harness.SERVER_CAPTION],
                             "%s: no server window" % what)
                if shown:
                    shown(httpd)
                harness.key(wid, "Return")
                checks.check(harness.wait_exit(proc, 20) == 0,
                             "%s: closing the box ends the program" % what)
            except TimeoutError as e:
                checks.check(False, "%s: %s (log: %s)" % (what, e, self.log.texts()[-5:]))
            finally:
                harness.stop(proc)

    def kill_while_staging(self, root, name, payload, after=RESUME_BYTES, **server):
        """Starts a run, holds the answer for `name` (below autopatch/: the payload's object)
        once `after` bytes of its body are sent
        and kills the launcher once some of it is staged in temp\\ (it reads in blocks, so
        maybe not all of it); the staged size, or None when that never happened."""
        part = self.app.path / "temp" / (hashlib.sha256(payload).hexdigest() + ".part")

        def staged():
            try:
                return part.stat().st_size
            except OSError:
                return 0

        with self.serve(root, rate=300_000, **server) as httpd:
            hold = httpd.hold(lambda path, index: path == "/autopatch/" + name, after=after)
            proc = self.app.start()
            try:
                harness.wait_until(lambda: hold.held() and staged() > 0, 60,
                                   "%s held after %d bytes, part of it staged" % (name, after))
                proc.kill()
                proc.wait(timeout=30)
            except TimeoutError as e:
                print(e, flush=True)
                return None
            finally:
                harness.stop(proc)
                hold.release()
        return staged()

    def remove(self):
        self.app.remove()


def inflated(name):
    """An `announce` for TrickleServer: a gigabyte for autopatch/<name>, the truth otherwise."""
    return lambda served, length: GIGABYTE if served == "autopatch/" + name else None


def bounds_cases(a, checks, root, pair_root, installed):
    """A gigabyte announced for a file whose bound is known before its body: refused from the
    head while the server still holds the answer open (it sends the file's real bytes, then
    nothing), none of it left in temp\\, nothing recorded. The signature and the profile apart
    are served by `pair_root`, a tree without vtgame.signed."""
    # What is asked for (below autopatch/), what it is staged as in temp\, the log's reason.
    for what, name, staged_as, reason, served in (
            ("a gigabyte for the signed profile", "vtgame.signed", "vtgame.signed",
             r"vtgame\.signed: status 200, length 1073741824, .*refused: length beyond 1048640 "
             r"bytes", root),
            ("a gigabyte for the signature", "vtgame.ini.sig", "vtgame.ini.sig",
             r"vtgame\.ini\.sig: status 200, length 1073741824, .*refused: length beyond 64 bytes",
             pair_root),
            ("a gigabyte for the profile", "vtgame.ini", "vtgame.ini",
             r"vtgame\.ini: status 200, length 1073741824, .*refused: length beyond 1048576 bytes",
             pair_root),
            ("a gigabyte for a pinned manifest's object",
             harness.object_of(root, "resource/sound/vtsound.ini"), "vtsound.ini",
             r"^refused: damaged file resource\\sound\\vtsound\.ini$", root)):
        case = Case(a, installed)
        staged = case.app.path / "temp" / staged_as

        def shown(httpd, name=name, staged=staged, what=what):
            checks.check(httpd.sent_bytes("/" + name) < 1 << 20,
                         "%s: refused with %d bytes of it sent" %
                         (what, httpd.sent_bytes("/" + name)))
            checks.check(not staged.exists(), "%s: none of it in temp\\" % what)

        case.refused(checks, served, reason, what, shown=shown, announce=inflated(name))
        checks.check(harness.installed_files(case.app.path) == installed,
                     "%s: nothing recorded, every installed file byte-identical" % what)
        case.remove()


def slow_cases(a, checks, root, installed, changed_object):
    """Answers the rule for slow answers abandons: no head for the signed profile, a trickled
    one, a trickled payload's object (told too, unlike the payload's other failures)."""
    def held_before_head(name):
        return lambda httpd: httpd.hold(lambda path, index: path == "/autopatch/" + name)

    def trickled(name, per_second):
        return lambda served: per_second if served == "autopatch/" + name else None

    for what, limit, name, server in (
            ("no head for the signed profile", "no answer within %d s" % SLOW_SECONDS,
             "vtgame.signed", {"prepare": held_before_head("vtgame.signed")}),
            ("the signed profile at 10 bytes a second",
             "fewer than 1024 bytes in %d s" % SLOW_SECONDS, "vtgame.signed",
             {"pace": trickled("vtgame.signed", 10)}),
            ("a payload at 100 bytes a second", "fewer than 1024 bytes in %d s" % SLOW_SECONDS,
             changed_object, {"pace": trickled(changed_object, 100)})):
        case = Case(a, installed)
        reason = r"^%s: .*/autopatch/%s$" % (limit, re.escape(name))
        case.refused(checks, root, reason, what, **server)
        checks.check(not case.log.has(r"^refused"), "%s: no refusal, a failed download" % what)
        checks.check(harness.installed_files(case.app.path) == installed,
                     "%s: nothing recorded, every installed file byte-identical" % what)
        case.remove()


def spoiled_part_case(a, checks, root, installed, expected, payload):
    """The middle fills a pinned part with wrong bytes (under the payload's object) and the run
    is killed; the next run, against the honest server, continues the part, finds it wrong,
    fetches the whole file again from byte 0 and installs it."""
    what = "a part staged with wrong bytes"
    spoiled = bytearray(payload)
    for i in range(0, len(spoiled), 997):
        spoiled[i] ^= 0x5a
    spoiled = bytes(spoiled)
    changed = harness.object_name(payload)
    rewrite = lambda name, data: spoiled if name == "autopatch/" + changed else data  # noqa: E731
    case = Case(a, installed)
    staged = case.kill_while_staging(root, changed, payload, after=400_000, rewrite=rewrite)
    checks.check(staged is not None and staged > 0,
                 "%s: killed with %s wrong bytes staged" % (what, staged))
    ok, httpd = case.run_to_servers(root)
    asked = [r for path, r, _ in httpd.answers() if path == "/autopatch/" + changed]
    checks.check(asked == ["bytes=%s-" % staged, None],
                 "%s: the rest asked for, then the whole file from byte 0 (%s)" % (what, asked))
    checks.check(bool(case.log.has(r"^the continued part of resource\\sound\\b\.wav is wrong")),
                 "%s: the refetch logged" % what)
    checks.check(ok and not harness.differences(case.app.path, expected) and
                 not case.log.has(r"^refused"),
                 "%s: the honest server's file installed, nothing refused" % what)
    case.remove()


def legacy_names_alone(a, checks, root, installed, expected, rng, report):
    """The payload and the manifest changed under their legacy names only, as a stale cache of
    the legacy tree would serve them: the keyed launcher never asks for those names and
    installs the genuine publish."""
    what = "the legacy names alone changed"
    legacy = {"autopatch/" + CHANGED: lambda d: flip_bit(rng, d, "legacy payload", report),
              "autopatch/" + SOUND_MANIFEST: lambda d: flip_bit(rng, d, "legacy manifest", report)}
    case = Case(a, installed)
    with case.serve(root, rewrite=lambda name, data: legacy[name](data) if name in legacy
                    else data) as httpd:
        with case.app.running() as proc:
            ended = harness.outcome(proc, 120)
        asked = [p for p in httpd.requests() if p.removeprefix("/") in legacy]
        # The middle does serve other bytes under those names, to whoever asks.
        served = {rel: urllib.request.build_opener(urllib.request.ProxyHandler({})).open(
            "http://%s:%d/%s" % (a.host, a.port, rel), timeout=30).read() for rel in legacy}
    genuine = {rel: (Path(root) / rel).read_bytes() for rel in legacy}
    checks.check(all(served[rel] != genuine[rel] for rel in legacy),
                 "%s: the legacy names are served changed" % what)
    checks.check(ended == "servers" and not harness.differences(case.app.path, expected) and
                 not case.log.has(r"^refused"),
                 "%s: the genuine publish installed, nothing refused (%s)" % (what, ended))
    checks.check(not asked, "%s: neither legacy name asked for %s" % (what, asked))
    case.remove()


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    rng = random.Random(SEED)
    vtpatch = harness.vtpatch_path(a.build)
    work = Path(tempfile.mkdtemp(prefix="vt-trust-"))
    report = []

    # Two publishes into one root, the second one changing one file (3 MB, so a
    # download of it can be interrupted).
    files = {"vt.exe": b"MZ signed sample client " * 3000,
             "resource/sound/a.wav": rng.randbytes(20_000),
             CHANGED: rng.randbytes(300_000),
             "resource/data/ui.bmp": rng.randbytes(40_000),
             "resource/data/card1/c1.dat": rng.randbytes(10_000)}
    harness.publish(vtpatch, harness.write_tree(work / "tree", files), work / "live")
    shutil.copytree(work / "live", work / "v1")
    expected1 = harness.served_expected(work / "v1", files)
    files2 = dict(files, **{CHANGED: rng.randbytes(3_000_000)})
    harness.publish(vtpatch, harness.write_tree(work / "tree", files2), work / "live")
    shutil.copytree(work / "live", work / "v2")
    expected2 = harness.served_expected(work / "v2", files2)
    checks.check(expected1["vtgame.ini"]["sound"] != expected2["vtgame.ini"]["sound"] and
                 expected1["vtgame.ini"]["graphics"] == expected2["vtgame.ini"]["graphics"],
                 "the second publish changes the sound set only")

    fresh = {"vtgame.ini": b"[game]\r\ngame=1\r\n", "resource/data/SvrList.dat": b""}
    case = Case(a, fresh)
    ok, _ = case.run_to_servers(work / "v1")
    checks.check(ok and not harness.differences(case.app.path, expected1),
                 "a fresh installation takes the first signed patch whole")
    checks.check(not case.log.has("^refused"), "nothing was refused")
    installed1 = harness.installed_files(case.app.path)
    case.remove()

    def tampered(name, change):
        def rewrite(rel, data):
            return change(data) if rel == "autopatch/" + name else data
        return rewrite

    # A tree as published before the single signed file: the launcher reads the pair.
    shutil.copytree(work / "v2", work / "v2pair")
    (work / "v2pair" / "autopatch" / "vtgame.signed").unlink()
    signed = "vtgame.signed"
    # The objects the keyed launcher fetches the changed payload and its set's manifest by.
    changed = harness.object_name(files2[CHANGED])
    manifest = harness.object_of(work / "v2", SOUND_MANIFEST)
    cases = [
        ("a changed payload", r"^refused: damaged file .*b\.wav",
         tampered(changed, lambda d: flip_bit(rng, d, "payload", report)), "v2"),
        ("a body longer than its pin", r"^refused: damaged file .*b\.wav",
         tampered(changed, lambda d: d + b"\0" * 100), "v2"),
        ("a changed profile", r"^refused: signature",
         tampered(signed, lambda d: flip_within(rng, d, 64, len(d), "profile", report)), "v2"),
        ("a changed signature", r"^refused: signature",
         tampered(signed, lambda d: flip_within(rng, d, 0, 64, "signature", report)), "v2"),
        ("a changed profile of the pair", r"^refused: signature",
         tampered("vtgame.ini", lambda d: flip_bit(rng, d, "pair's profile", report)), "v2pair"),
        ("a changed signature of the pair", r"^refused: signature",
         tampered("vtgame.ini.sig", lambda d: flip_bit(rng, d, "pair's signature", report)),
         "v2pair"),
        ("a changed manifest", r"^refused: damaged file .*vtsound\.ini",
         tampered(manifest, lambda d: flip_bit(rng, d, "manifest", report)), "v2"),
    ]
    for what, reason, rewrite, served in cases:
        case = Case(a, installed1)
        case.refused(checks, work / served, reason, what, rewrite=rewrite)
        checks.check(harness.installed_files(case.app.path) == installed1,
                     "%s: nothing recorded, every installed file byte-identical" % what)
        if "signature" in reason:
            checks.check(bool(case.log.has("asking once more past every cache")),
                         "%s: asked for once more past every cache first" % what)
        case.remove()
    legacy_names_alone(a, checks, work / "v2", installed1, expected2, rng, report)
    for line in report:
        print(line)

    # The genuine second publish goes in; the first, served after it, is refused.
    case = Case(a, installed1)
    ok, _ = case.run_to_servers(work / "v2")
    checks.check(ok and not harness.differences(case.app.path, expected2),
                 "the signed update (the second publish) goes in")
    installed2 = harness.installed_files(case.app.path)
    case.remove()
    case = Case(a, installed2)
    case.refused(checks, work / "v1", r"^refused: older patch", "an older signed patch")
    checks.check(harness.installed_files(case.app.path) == installed2,
                 "an older signed patch: nothing recorded, every installed file byte-identical")
    checks.check(bool(case.log.has("is older; asking once more past every cache")),
                 "an older signed patch: asked for once more past every cache first")
    case.remove()

    # Interrupted in the middle of the 3 MB file, then resumed by servers that answer the
    # Range request properly, with the whole file, or one byte early.
    for ranges, completes in (("honour", True), ("ignore", True), ("shifted", False)):
        what = "resumed against a server that %s Range" % {
            "honour": "honours", "ignore": "ignores", "shifted": "misplaces"}[ranges]
        case = Case(a, installed1)
        staged = case.kill_while_staging(work / "v2", changed, files2[CHANGED])
        checks.check(staged is not None and
                     (case.app.path / CHANGED).read_bytes() == files[CHANGED],
                     "%s: killed with %s bytes staged, the installed file untouched" %
                     (what, staged))
        if completes:
            ok, httpd = case.run_to_servers(work / "v2", ranges=ranges)
            asked = [r for path, r in httpd.range_requests() if path == "/autopatch/" + changed]
            checks.check(asked[:1] == ["bytes=%s-" % staged],
                         "%s: the next run asks for the rest (%s)" % (what, asked))
            checks.check(ok and not harness.differences(case.app.path, expected2),
                         "%s: the installation ends as published" % what)
        else:
            with case.serve(work / "v2", ranges=ranges):
                proc = case.app.start()
                try:
                    ended = harness.outcome(proc, 60)
                except TimeoutError as e:
                    ended = str(e)
                finally:
                    harness.stop(proc)
            checks.check(ended == "ended" and (case.app.path / CHANGED).read_bytes() == files[CHANGED] and
                         not harness.differences(case.app.path, expected1),
                         "%s: the run stops (%s), nothing installed or recorded" % (what, ended))
            ok, _ = case.run_to_servers(work / "v2")
            checks.check(ok and not harness.differences(case.app.path, expected2),
                         "%s: an honest server then completes it" % what)
        case.remove()

    bounds_cases(a, checks, work / "v2", work / "v2pair", installed1)
    slow_cases(a, checks, work / "v2", installed1, changed)
    spoiled_part_case(a, checks, work / "v2", installed1, expected2, files2[CHANGED])

    shutil.rmtree(work, ignore_errors=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
