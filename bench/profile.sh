#!/usr/bin/env bash
# Times the all-current check of a manifest (32,766 entries unless told): our profile engine
# against the system's GetPrivateProfileStringA, in one run under Wine.
# Usage: bench/profile.sh [windows build dir] [entries]
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=${1:-$VT_BUILD/win}
shift || true
cmake --build "$BUILD" --target profile_bench >/dev/null
vt_display
trap '[ -n "${VT_XVFB_PID:-}" ] && kill "$VT_XVFB_PID" 2>/dev/null' EXIT
vt_wine_env
wine "$BUILD/bench/profile_bench.exe" "$@"
