#!/usr/bin/env bash
# The launcher's own steps per file, each timed alone under Wine (file_steps_bench.exe), and the
# steps of one record rewritten into a full manifest (record_cost_bench.exe).
# Usage: bench/file_steps.sh [windows build dir] [rounds]
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=$(cd "${1:-$VT_BUILD/win}" && pwd)
vt_display >/dev/null 2>&1
vt_wine_env >/dev/null 2>&1
scratch=$(mktemp -d)
trap 'kill ${VT_XVFB_PID:-} 2>/dev/null || true; rm -rf "$scratch"' EXIT
win="Z:$(echo "$scratch" | tr / '\\')\\"
wine "$BUILD/bench/file_steps_bench.exe" "$win" "${2:-1000}"
wine "$BUILD/bench/record_cost_bench.exe" "$win"
