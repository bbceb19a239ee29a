#!/usr/bin/env bash
# The pool of connections on 2,000 tiny files from nginx on loopback, with 1 and 8 connections,
# against the single path and the bare WinINet loop over the same URLs (bench/pool.py).
# Usage: bench/pool.sh [windows build dir]
#   VT_BENCH_HOST (default 127.0.0.3), VT_BENCH_FILES (default 2000), VT_BENCH_RUNS (default 3)
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=$(cd "${1:-$VT_BUILD/win}" && pwd)
vt_display >/dev/null 2>&1
vt_wine_env >/dev/null 2>&1
trap 'kill ${VT_XVFB_PID:-} 2>/dev/null || true' EXIT
python3 "$VT_ROOT/bench/pool.py" --build "$BUILD" --host "${VT_BENCH_HOST:-127.0.0.3}" \
    --port 18092 --files "${VT_BENCH_FILES:-2000}" --runs "${VT_BENCH_RUNS:-3}"
