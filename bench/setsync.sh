#!/usr/bin/env bash
# Set synchronisation of a 32,766-entry all-current manifest: ours against the platform's
# profile functions, one run under Wine. Usage: bench/setsync.sh [windows build dir]
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
dir=${1:-$VT_BUILD/win}
[ -x "$dir/bench/setsync_bench.exe" ] || vt_build_win "$dir"
vt_display
trap '[ -n "${VT_XVFB_PID:-}" ] && kill "$VT_XVFB_PID" 2>/dev/null' EXIT
vt_wine_env
wine "$dir/bench/setsync_bench.exe"
