#!/usr/bin/env bash
# Many tiny files: the real vtlauncher.exe fetching a set of N small files from nginx on
# loopback, with an empty local manifest and with 30,000 entries already recorded, against a
# bare WinINet loop (bare_inet_bench.exe) over the same URLs; with VT_BENCH_FULL=1 then a
# fresh install of a 32,766-file set (about ten minutes), its time per file over the first and
# the last thousand files beside a bare create-write-rename loop's (rename_loop_bench.exe) at
# the same folder sizes. Details in bench/many_files.py.
# Usage: bench/many_files.sh [windows build dir]   (serves on the build's own VT_PATCH_HOST,
#   read from its CMake cache, unless VT_BENCH_PATCH_HOST names another)
#   VT_BENCH_FILES (default 2000), VT_BENCH_RUNS (rounds, default 3; 0 for the install alone),
#   VT_BENCH_FULL=1 adds the install (VT_BENCH_FULL_FILES, default 32766)
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=$(cd "${1:-$VT_BUILD/win}" && pwd)
# The launcher asks the host it was built for, so that is where the files must be served.
HOST=$(vt_bench_patch_host many_files "$BUILD") || exit 2
vt_display >/dev/null 2>&1
vt_wine_env >/dev/null 2>&1
trap 'kill ${VT_XVFB_PID:-} 2>/dev/null || true' EXIT
python3 "$VT_ROOT/bench/many_files.py" --build "$BUILD" \
    --patch-host "$HOST" --files "${VT_BENCH_FILES:-2000}" \
    --full "$([ "${VT_BENCH_FULL:-0}" = 1 ] && echo "${VT_BENCH_FULL_FILES:-32766}" || echo 0)"
