"""Times the pool of connections (pool_bench.exe) with 1 and 8 connections against the single
path (the same files one after the other through DownloadFileWithProgress on the caller's
thread, pool_bench.exe single) and the bare WinINet loop (bare_inet_bench.exe) on N tiny files
from nginx on loopback (see pool.sh). Runs alternate; medians are reported."""

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
import many_files  # noqa: E402


def timed(exe, host, port, paths, out, *extra):
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    run = subprocess.run(["wine", exe, host, str(port), harness.windows_path(paths),
                          harness.windows_path(out) + "\\", *extra],
                         env=harness.wine_env(), capture_output=True, text=True, check=True)
    return float([line.split()[1] for line in run.stdout.splitlines()
                  if line.endswith("ms_per_file") or "_ms_per_file " in line][0])


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", required=True)
    p.add_argument("--host", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--files", type=int, default=2000)
    p.add_argument("--runs", type=int, default=3)
    a = p.parse_args()
    work = Path(tempfile.mkdtemp(prefix="vt-pool-"))
    www = work / "www"
    many_files.make_server(www, a.files)
    paths = work / "paths.txt"
    paths.write_text("".join("/autopatch/resource/sound/%s\n" % many_files.name(i)
                             for i in range(1, a.files + 1)))
    bench = Path(a.build) / "bench"
    bare = lambda: timed(str(bench / "bare_inet_bench.exe"), a.host, a.port, paths, work / "o")
    pool = lambda n: timed(str(bench / "pool_bench.exe"), a.host, a.port, paths, work / "o",
                           str(n))
    rows = []
    with harness.Nginx(www, a.host, a.port, workdir=work / "nginx"):
        bare()  # warm
        print("%-4s %9s %9s %9s %9s" % ("run", "bare_ms", "single_ms", "pool1_ms", "pool8_ms"),
              flush=True)
        for r in range(a.runs):
            row = (bare(), pool("single"), pool(1), pool(8))
            rows.append(row)
            print("%-4d %9.3f %9.3f %9.3f %9.3f" % ((r + 1,) + row), flush=True)
    med = [many_files.median([row[k] for row in rows]) for k in range(4)]
    print("median_bare_ms_per_file %.3f" % med[0])
    print("median_single_ms_per_file %.3f" % med[1])
    print("median_pool1_ms_per_file %.3f" % med[2])
    print("median_pool8_ms_per_file %.3f" % med[3])
    print("single_to_bare_ratio %.2f" % (med[1] / med[0]))
    print("pool1_to_single_ratio %.2f (goal <= 1.1)" % (med[2] / med[1]))
    print("pool8_to_pool1_ratio %.2f" % (med[3] / med[2]))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
