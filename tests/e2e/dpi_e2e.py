"""Both windows of the real launcher at 96, 144 and 192 DPI (a Wine prefix of its own for each,
LogPixels set): the client areas scale with the DPI, every shown caption fits its control and
no two controls overlap (measured with each control's own font inside the launcher, by
vt_fitcheck.exe), and the banners are the pictures drawn for that size, not an enlargement.
The patch window is inspected in the middle of a file's transfer, with its progress captions
showing; the server window with its rows probed. Screenshots: artefacts/dpi-<N>-patch.png,
artefacts/dpi-<N>-servers.png."""

import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402
from harness import dpi as hdpi  # noqa: E402

# Client areas in pixels: the layouts' twips at each DPI, rounded.
CLIENT = {
    96: {"patch": (402, 107), "servers": (301, 280)},
    144: {"patch": (603, 161), "servers": (452, 420)},
    192: {"patch": (804, 214), "servers": (602, 560)},
}
BANNERS = {"patch": "banner_patch", "servers": "banner_servers"}
VTGAME_INI = "[game]\r\ngame=1.0\r\nvtgame=7\r\nsound=3\r\ngraphics=2\r\n" + "".join(
    "card%d=1\r\n" % n for n in range(1, 6))
SERVERS = [("127.0.0.41", "첫째 서버"), ("127.0.0.42", "Second server")]


def controls(report):
    """The probe's control lines as dicts."""
    out = []
    for line in report.splitlines():
        f = line.split("\t")
        if f[0] == "control" and len(f) >= 14:
            out.append({"class": f[3], "kind": f[4], "visible": f[5] == "1",
                        "rect": tuple(int(v) for v in f[6:10]), "text": f[13]})
    return out


def fits(a, checks, window, caption, n, ready=None, timeout=60):
    """Waits until the window's report satisfies `ready` (say, progress captions showing),
    then checks it has no offender; returns the report's controls."""
    last = {}

    def measured():
        rc, out = hdpi.fit_check(a.build, caption)
        last.update(rc=rc, out=out)
        return rc != 2 and (ready is None or ready(controls(out)))

    harness.eventually(measured, timeout, step=0.5)
    rc, out = last.get("rc", 2), last.get("out", "")
    offenders = [l for l in out.splitlines() if l.startswith("offender:")]
    for note in (l for l in out.splitlines() if l.startswith("note:")):
        print("[%d DPI] %s window %s" % (n, window, note))
    summary = [l for l in out.splitlines() if l.startswith("dpi=")]
    checks.check(rc == 0, "[%d DPI] %s window: every caption fits, nothing overlaps (%s) %s"
                 % (n, window, summary[0] if summary else "no report", offenders))
    if rc != 0:
        print(out)
    return controls(out)


def pixels(path):
    """(width, height, RGB bytes) of any picture ImageMagick reads."""
    data = subprocess.run(["convert", str(path), "ppm:-"], capture_output=True, check=True,
                          env=harness.x_env()).stdout
    fields, pos = [], 0
    while len(fields) < 4:  # P6, width, height, maximum; then one byte of white space
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def area_average(path, width, height):
    """The picture reduced to width x height by averaging the area each pixel covers."""
    sw, sh, src = pixels(path)

    def weights(n_from, n_to):
        scale = n_from / n_to
        out = []
        for d in range(n_to):
            begin, end = d * scale, (d + 1) * scale
            out.append([(s, (min(end, s + 1) - max(begin, s)) / scale)
                        for s in range(int(begin), min(n_from, int(end) + 1))
                        if min(end, s + 1) - max(begin, s) > 0])
        return out

    across, down = weights(sw, width), weights(sh, height)
    wide = [[sum(w * src[(y * sw + s) * 3 + c] for s, w in across[x]) for x in range(width)
             for c in range(3)] for y in range(sh)]
    return bytes(min(255, max(0, int(sum(w * wide[s][x * 3 + c] for s, w in down[y]) + 0.5)))
                 for y in range(height) for x in range(width) for c in range(3))


def banner_is_sharp(a, checks, window, n, shot, shown):
    """The banner on screen is the picture drawn for this size: pixel for pixel at 96 and 192
    DPI; at 144 the 192 DPI picture reduced by area averaging (never the small one enlarged)."""
    pictures = [c for c in shown if c["kind"] == "picture" and c["visible"]]
    if not checks.check(len(pictures) == 1, "[%d DPI] %s window shows one banner" % (n, window)):
        return
    x, y, w, h = pictures[0]["rect"]
    crop = a.artefacts / ("dpi-%d-%s-banner.png" % (n, window))
    subprocess.run(["convert", str(shot), "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                    str(crop)], check=True, env=harness.x_env())
    res = harness.ROOT / "res"
    large = res / ("%s_2x.bmp" % BANNERS[window])
    if n in (96, 192):
        drawn = large if n == 192 else res / ("%s.bmp" % BANNERS[window])
        r = subprocess.run(["compare", "-metric", "AE", str(crop), str(drawn), "null:"],
                           capture_output=True, text=True, env=harness.x_env())
        diff = r.stderr.strip()
        checks.check(diff == "0", "[%d DPI] %s banner is %s pixel for pixel (%s pixels differ)"
                     % (n, window, drawn.name, diff))
        return
    _, _, shown_pixels = pixels(crop)
    want = area_average(large, w, h)
    worst = max(abs(p - q) for p, q in zip(shown_pixels, want))
    checks.check(len(shown_pixels) == len(want) and worst <= 1,
                 "[%d DPI] %s banner is %s reduced to %dx%d by area averaging (largest "
                 "difference %d)" % (n, window, large.name, w, h, worst))


def patch_window(a, checks, n, work):
    """The patch window halfway through vt.exe, its captions showing progress."""
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""})
    with harness.TrickleServer(work / "server", a.host, a.port, head_delay=0,
                               rate=4000) as server:
        # vt.exe's answer stops halfway until the window has been measured.
        halfway = server.hold(lambda path, index: path.endswith("/vt.exe"), share=0.5)
        proc = app.start()
        try:
            harness.wait_until(halfway.held, 120, "vt.exe halfway")
            wid = harness.wait_window(harness.PATCH_CAPTION, timeout=120)
            size = harness.geometry(wid)[2:]
            checks.check(size == CLIENT[n]["patch"], "[%d DPI] patch window client area %dx%d"
                         " is %dx%d" % ((n,) + size + CLIENT[n]["patch"]))

            def transferring(shown):
                texts = [c["text"] for c in shown if c["visible"]]
                return any(t.endswith("KB/S") for t in texts) and any(
                    t.endswith("%") and t != "100%" for t in texts)

            shown = fits(a, checks, "patch", harness.PATCH_CAPTION, n, ready=transferring)
            checks.check(transferring(shown), "[%d DPI] measured during a transfer: %s"
                         % (n, [c["text"] for c in shown if c["visible"] and c["text"]]))
            shot = a.artefacts / ("dpi-%d-patch.png" % n)
            if checks.check(harness.wait_painted(wid, shot) is not None,
                            "[%d DPI] screenshot %s" % (n, shot)):
                banner_is_sharp(a, checks, "patch", n, shot, shown)
        except TimeoutError as e:
            checks.check(False, "[%d DPI] patch window: %s" % (n, e))
        finally:
            halfway.release()
            harness.stop(proc)


def server_window(a, checks, n, work):
    """The server window with its rows probed."""
    svrlist = "".join("%s:%s\r\n" % s for s in SERVERS)
    app = harness.AppDir(a.build, {"vtgame.ini": VTGAME_INI,
                                   "resource/data/SvrList.dat": svrlist})
    root = work / "current"
    (root / "autopatch").mkdir(parents=True, exist_ok=True)
    (root / "autopatch" / "vtgame.ini").write_bytes(VTGAME_INI.encode("cp949"))
    with harness.StaticServer(root, a.host, a.port):
        proc = app.start()
        try:
            wid = harness.wait_window(harness.SERVER_CAPTION, timeout=120)
            size = harness.geometry(wid)[2:]
            checks.check(size == CLIENT[n]["servers"], "[%d DPI] server window client area "
                         "%dx%d is %dx%d" % ((n,) + size + CLIENT[n]["servers"]))
            listed = harness.eventually(
                lambda: (lambda r: r if r and len(r[1]) == len(SERVERS)
                         and all(row[1] for row in r[1]) else None)(
                    harness.list_rows(a.build)), 60, step=0.5)
            checks.check(listed is not None and [r[0] for r in listed[1]]
                         == [s[1] for s in SERVERS],
                         "[%d DPI] the list shows every server, probed" % n)
            shown = fits(a, checks, "servers", harness.SERVER_CAPTION, n)
            shot = a.artefacts / ("dpi-%d-servers.png" % n)
            if checks.check(harness.wait_painted(wid, shot) is not None,
                            "[%d DPI] screenshot %s" % (n, shot)):
                banner_is_sharp(a, checks, "servers", n, shot, shown)
        except TimeoutError as e:
            checks.check(False, "[%d DPI] server window: %s" % (n, e))
        finally:
            harness.stop(proc)


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    work = Path(tempfile.mkdtemp(prefix="vt-e2e-dpi-"))
    # One set file and the client; the client trickles for long enough to be looked at.
    harness.make_patch(work / "server", files=1, korean=True, size_range=(3000, 3000),
                       client=None)
    for n in sorted(CLIENT):
        with hdpi.WinePrefix(a.build, n):
            patch_window(a, checks, n, work)
            server_window(a, checks, n, work)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
