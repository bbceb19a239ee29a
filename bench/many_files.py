"""Times the launcher on a set of many tiny files (see many_files.sh).

A launcher run is timed from its start until the server window shows; a run with nothing to
fetch is taken off, and the rest divided by the number of files is its time per file. The
bare WinINet loop fetches the same URLs into a scratch directory. Runs alternate, medians
are reported."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import harness  # noqa: E402

SETS_OTHER = ["graphics", "card1", "card2", "card3", "card4", "card5"]
BODY = b"x" * 100


def game_ini(sound):
    pairs = [("game", "1"), ("vtgame", "1"), ("sound", sound)] + [(s, "1") for s in SETS_OTHER]
    return harness.ini_bytes("game", pairs)


def name(i):
    return "f%05d.wav" % i


def make_server(root, files):
    """The patch tree: only the sound set changes, to `files` tiny files."""
    base = root / "autopatch"
    sound = base / "resource" / "sound"
    sound.mkdir(parents=True, exist_ok=True)
    for i in range(1, files + 1):
        (sound / name(i)).write_bytes(BODY)
    pairs = [("count", str(files))] + [(str(i), name(i) + ":1") for i in range(1, files + 1)]
    (sound / "vtsound.ini").write_bytes(harness.ini_bytes("sound", pairs))
    (base / "vtgame.ini").write_bytes(game_ini("2"))


def make_app(build, recorded, sound):
    """An installation whose sound set has `recorded` entries (of other names) and whose
    vtgame.ini says `sound` for it."""
    files = {"vtgame.ini": game_ini(sound), "resource/data/SvrList.dat": b""}
    if recorded:
        lines = b"".join(b"old%05d=1\r\n" % i for i in range(1, recorded + 1))
        files["resource/sound/vtsound.ini"] = b"[sound]\r\n" + lines
    return harness.AppDir(build, files)


def run_launcher(app, timeout, progress=None, every=1.0):
    """Seconds from start until the server window shows. `progress` is called about every
    `every` seconds while waiting."""
    start = time.monotonic()
    proc = app.start()
    try:
        last = start
        while True:
            if any(n == harness.SERVER_CAPTION for _, n in harness.windows()):
                break
            if proc.poll() is not None:
                raise RuntimeError("the launcher ended (%s) before the server window showed; "
                                   "windows: %s" % (proc.returncode, harness.windows()))
            now = time.monotonic()
            if now - start > timeout:
                raise TimeoutError("no server window after %.0f s" % timeout)
            if progress and now - last >= every:
                progress(now - start)
                last = now
            time.sleep(0.02)
        return time.monotonic() - start
    finally:
        proc.kill()
        proc.wait(timeout=30)


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def crossing(samples, count):
    """Seconds since the start when `count` files were on disk, between the two samples
    around it."""
    for (t0, n0), (t1, n1) in zip(samples, samples[1:]):
        if n0 <= count <= n1 and n1 > n0:
            return t0 + (t1 - t0) * (count - n0) / (n1 - n0)
    raise RuntimeError("no sample around %d files" % count)


def rename_loop(build, files, window, work):
    """The bare create-write-rename loop's ms per file over the first and the last `window`
    files of `files` placed into one folder."""
    scratch = work / "rename-loop"
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir()
    out = subprocess.run(["wine", str(Path(build) / "bench" / "rename_loop_bench.exe"),
                          harness.windows_path(scratch) + "\\", str(files), str(window)],
                         env=harness.wine_env(), capture_output=True, text=True, check=True)
    shutil.rmtree(scratch, ignore_errors=True)
    ms = [float(line.split()[1]) for line in out.stdout.splitlines()
          if line.startswith("rename_loop_ms_per_file")]
    return ms[0], ms[1]


def full_install(a, www, host, port, work):
    """A fresh install of `a.full` files, its ms per file over the first and the last
    thousand files beside the bare create-write-rename loop's at the same folder sizes."""
    shutil.rmtree(www)
    make_server(www, a.full)
    with harness.Nginx(www, host, port, workdir=work / "nginx-full"):
        app = make_app(a.build, 0, "1")
        sound = app.path / "resource" / "sound"
        samples = [(0.0, 0)]  # (seconds since start, files on disk)

        def count(elapsed):
            n = sum(1 for e in os.scandir(sound) if e.name.startswith("f")) \
                if sound.exists() else 0
            samples.append((elapsed, n))

        total = run_launcher(app, timeout=7200, progress=count, every=0.2)
        app.remove()
    samples.append((total, a.full))
    window = min(1000, a.full // 2)
    first_at = crossing(samples, 1)
    first = (crossing(samples, window) - first_at) * 1000 / (window - 1)
    last = (crossing(samples, a.full) - crossing(samples, a.full - window)) * 1000 / window
    bare_first, bare_last = rename_loop(a.build, a.full, window, work)
    print("full_install_files %d" % a.full)
    print("full_install_seconds %.1f" % total)
    print("%-28s %12s %12s %8s" % ("ms_per_file", "launcher", "rename_loop", "ratio"))
    for what, ours, bare in (("first_%d" % window, first, bare_first),
                             ("last_%d" % window, last, bare_last)):
        print("%-28s %12.2f %12.2f %8.2f" % (what, ours, bare, ours / bare))
    # What the folder's size adds per file: Wine's name lookup for the rename in both.
    print("%-28s %12.2f %12.2f" % ("growth_last_minus_first", last - first,
                                    bare_last - bare_first))


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", required=True)
    p.add_argument("--patch-host", required=True)
    p.add_argument("--files", type=int, default=2000)
    p.add_argument("--full", type=int, default=32766)
    p.add_argument("--runs", type=int, default=int(os.environ.get("VT_BENCH_RUNS", "3")))
    a = p.parse_args()
    host, _, port = a.patch_host.partition(":")
    port = int(port)
    work = Path(tempfile.mkdtemp(prefix="vt-many-"))
    www = work / "www"
    make_server(www, a.files)
    paths = work / "paths.txt"
    paths.write_text("".join("/autopatch/resource/sound/%s\n" % name(i)
                             for i in range(1, a.files + 1)))
    bare_out = work / "bare"
    bare_exe = str(Path(a.build) / "bench" / "bare_inet_bench.exe")

    def bare():
        shutil.rmtree(bare_out, ignore_errors=True)
        bare_out.mkdir()
        out = subprocess.run(["wine", bare_exe, host, str(port),
                              harness.windows_path(paths), harness.windows_path(bare_out) + "\\"],
                             env=harness.wine_env(), capture_output=True, text=True, check=True)
        ms = [float(line.split()[1]) for line in out.stdout.splitlines()
              if line.startswith("bare_ms_per_file")]
        return ms[0]

    def launcher(recorded, sound="1"):
        app = make_app(a.build, recorded, sound)
        try:
            t = run_launcher(app, timeout=600)
            if sound == "1":
                got = len(list((app.path / "resource" / "sound").glob("f*.wav")))
                if got != a.files:
                    raise RuntimeError("the launcher fetched %d of %d files" % (got, a.files))
            return t
        finally:
            app.remove()

    if a.runs > 0:
        with harness.Nginx(www, host, port, workdir=work / "nginx"):
            bare()  # warm: page cache, Wine's DLLs
            rows = []
            print("%-4s %9s %12s %12s %12s" % ("run", "bare_ms", "empty_ms", "recorded_ms",
                                                  "baseline_s"), flush=True)
            for r in range(a.runs):
                base = launcher(0, sound="2")
                b = bare()
                empty = (launcher(0) - base) * 1000 / a.files
                recorded = (launcher(30000) - base) * 1000 / a.files
                rows.append((b, empty, recorded))
                print("%-4d %9.2f %12.2f %12.2f %12.2f" % (r + 1, b, empty, recorded, base), flush=True)
            b = median([x[0] for x in rows])
            e = median([x[1] for x in rows])
            rec = median([x[2] for x in rows])
            print("median_bare_ms_per_file %.2f" % b)
            print("median_launcher_ms_per_file %.2f" % e)
            print("median_launcher_ms_per_file_30000_recorded %.2f" % rec)
            print("launcher_to_bare_ratio %.2f (goal <= 2.0)" % (e / b))
            print("recorded_to_empty_ratio %.2f (goal <= 1.2)" % (rec / e))

    if a.full > 0:
        full_install(a, www, host, port, work)
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
