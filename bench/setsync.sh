#!/usr/bin/env bash
# Set synchronisation of a 32,766-entry all-current manifest: ours against the platform's
# profile functions, and the presence check of a start whose set is current; one run under
# Wine. The set's files are made from Linux once (under Wine that alone takes minutes).
# Usage: bench/setsync.sh [windows build dir]
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
dir=${1:-$VT_BUILD/win}
[ -x "$dir/bench/setsync_bench.exe" ] || vt_build_win "$dir"
work="$VT_BUILD/setsync-bench"
mkdir -p "$work/resource/sound" "$work/resource/data" "$work/temp"
python3 - "$work/resource/sound" <<'PY'
import os, sys
folder = sys.argv[1]
for i in range(1, 32767):
    path = os.path.join(folder, "sound_file_%d.wav" % i)
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(b"x")
PY
vt_display
trap '[ -n "${VT_XVFB_PID:-}" ] && kill "$VT_XVFB_PID" 2>/dev/null' EXIT
vt_wine_env
wine "$dir/bench/setsync_bench.exe" "$(winepath -w "$work")"
