#!/usr/bin/env bash
# The launcher over a wide-area path: nginx behind a user-space delay proxy (bench/delay_proxy.py:
# a one-way delay each way, one bandwidth per direction shared by all connections) that listens
# on the build's patch host. For each round trip, a fresh install of a set of 2,000 files of
# 30 kB by vtlauncher.exe, by one curl on one kept-alive connection and by curl -Z with 8
# parallel connections, with what curl measures of the path; then a 64 MiB vt.exe by the
# launcher and by curl (and its share of the link); then the proxy's own ceiling (no delay, no
# limit) against curl straight to nginx. The full run takes about 20 minutes. Details in
# bench/network.py.
# Usage: bench/network.sh [windows build dir]   (the proxy listens on the build's VT_PATCH_HOST,
#   read from its CMake cache, unless VT_BENCH_PATCH_HOST names another; nginx on its port + 100)
#   VT_BENCH_RTTS  round trips in ms (default "0 20 60 120"; "" for none)
#   VT_BENCH_FILES files in the set (default 2000)   VT_BENCH_MBIT link rate (default 50)
#   VT_BENCH_BIG_RTT round trip of the 64 MiB run (default 60; "" for none)
#   VT_BENCH_CEILING=0 leaves out the proxy's ceiling
#   VT_BENCH_CONNECTIONS the launcher's connections, one run each (default "8 1")
#   Quick run: VT_BENCH_RTTS=60 VT_BENCH_FILES=200 bench/network.sh build/win
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=$(cd "${1:-$VT_BUILD/win}" && pwd)
HOST=$(vt_bench_patch_host network "$BUILD") || exit 2

# Everything started from here carries this mark (nginx, which rewrites its environment, and the
# proxy are noted by process group instead), so the way out ends exactly that, Wine's server
# included when this run started it.
export VT_E2E_RUN="$$-netbench-$RANDOM$RANDOM"
GROUPS_FILE=$(mktemp /tmp/vt-netbench-groups.XXXXXX)
BENCH_PID=""
cleanup() {
    trap - EXIT INT TERM
    if [ -n "$BENCH_PID" ] && kill -0 "$BENCH_PID" 2>/dev/null; then
        kill -TERM "$BENCH_PID" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$BENCH_PID" 2>/dev/null || break; sleep 0.1; done
    fi
    local g
    while read -r g; do
        [ -n "$g" ] && kill -KILL -- "-$g" 2>/dev/null || true
    done <"$GROUPS_FILE"
    rm -f "$GROUPS_FILE"
    python3 "$VT_ROOT/bench/network.py" --end-marked "$VT_E2E_RUN" $$ ${VT_XVFB_PID:-} || true
    [ -n "${VT_XVFB_PID:-}" ] && kill "$VT_XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

vt_display >/dev/null 2>&1
vt_wine_env >/dev/null 2>&1
python3 "$VT_ROOT/bench/network.py" --build "$BUILD" --patch-host "$HOST" \
    --nginx-port $((${HOST##*:} + 100)) --groups "$GROUPS_FILE" \
    --files "${VT_BENCH_FILES:-2000}" --rtts "${VT_BENCH_RTTS-0 20 60 120}" \
    --rate-mbit "${VT_BENCH_MBIT:-50}" --big-rtt "${VT_BENCH_BIG_RTT-60}" \
    --ceiling "${VT_BENCH_CEILING:-1}" --connections "${VT_BENCH_CONNECTIONS:-8 1}" &
BENCH_PID=$!
wait "$BENCH_PID"
