#!/usr/bin/env bash
# Benchmarks DownloadFileWithProgress against curl on the same 256 MiB file from nginx on
# loopback (both writing to the same directory, page cache warm, runs interleaved, medians
# reported), the same download pinned (staged, SHA-256 checked as a signed patch's payload)
# against `curl | sha256sum`, its CPU share while a 1 MiB body trickles in over 10 s, and its
# peak memory. Ours flushes the staged file to disk before it is placed (under Wine an fsync),
# so each is also compared with curl writing the file and then syncing it (`sync FILE`), and
# the pinned one with `curl | tee FILE | sha256sum` then `sync FILE`.
# Usage: bench/download.sh [windows build dir]
#   VT_BENCH_HOST (default 127.0.0.3), VT_BENCH_RUNS (default 7)
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=$(cd "${1:-$VT_BUILD/win}" && pwd)
HOST=${VT_BENCH_HOST:-127.0.0.3}
RUNS=${VT_BENCH_RUNS:-7}
NGINX_PORT=18090
TRICKLE_PORT=18091
WORK=$BUILD/bench-download
rm -rf "$WORK"
mkdir -p "$WORK/www" "$WORK/out" "$WORK/nginx"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$WORK/www/large.bin"
SUM=$(sha256sum "$WORK/www/large.bin" | cut -d' ' -f1)
PIN="$(stat -c %s "$WORK/www/large.bin"),$SUM"

cat >"$WORK/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $WORK/nginx;
    proxy_temp_path $WORK/nginx;
    fastcgi_temp_path $WORK/nginx;
    uwsgi_temp_path $WORK/nginx;
    scgi_temp_path $WORK/nginx;
    server {
        listen $HOST:$NGINX_PORT;
        root $WORK/www;
    }
}
CONF
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
NGINX_PID=$!
python3 "$VT_ROOT/tests/transfer/scripted_server.py" --host "$HOST" --port $TRICKLE_PORT &
TRICKLE_PID=$!
cleanup() {
    kill "$NGINX_PID" "$TRICKLE_PID" ${VT_XVFB_PID:-} 2>/dev/null || true
    rm -rf "$WORK/www" "$WORK/out"
}
trap cleanup EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://$HOST:$NGINX_PORT/" && break; sleep 0.1; done

# Wine's services start with the first program of a prefix (vt_wine_env does that) and keep its
# output open: start them here, not inside a command substitution that would wait for them.
vt_display >/dev/null 2>&1
vt_wine_env >/dev/null 2>&1
OUT_WIN=$(winepath -w "$WORK/out")\\
URL="http://$HOST:$NGINX_PORT/large.bin"
curl -s -o "$WORK/out/warm.bin" "$URL"  # page cache warm for both
rm -f "$WORK/out/warm.bin"

ours() {
    wine "$BUILD/bench/download_bench.exe" "$HOST:$NGINX_PORT/large.bin" "$1" "$OUT_WIN" \
        ${2:+"$2"} | tr -d '\r'
}
# curl piped into sha256sum: MB/s over the whole pipeline; fails on a wrong sum.
curl_sum() {
    local t0 t1 got
    t0=$(date +%s.%N)
    got=$(curl -s "$URL" | sha256sum | cut -d' ' -f1)
    t1=$(date +%s.%N)
    [ "$got" = "$SUM" ] || { echo "curl | sha256sum: wrong sum" >&2; return 1; }
    awk -v s="$(stat -c %s "$WORK/www/large.bin")" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.1f", s / (b - a) / 1e6 }'
}
# curl into a file, then that file synced (as our flush does): MB/s over both.
curl_sync() {
    local t0 t1
    t0=$(date +%s.%N)
    curl -s -o "$WORK/out/curl.bin" "$URL"
    sync "$WORK/out/curl.bin"
    t1=$(date +%s.%N)
    rm -f "$WORK/out/curl.bin"
    mb_per_s "$t0" "$t1"
}
# The same with the sum taken on the way, as the pinned download does.
curl_sum_sync() {
    local t0 t1 got
    t0=$(date +%s.%N)
    got=$(curl -s "$URL" | tee "$WORK/out/curl.bin" | sha256sum | cut -d' ' -f1)
    sync "$WORK/out/curl.bin"
    t1=$(date +%s.%N)
    rm -f "$WORK/out/curl.bin"
    [ "$got" = "$SUM" ] || { echo "curl | tee | sha256sum: wrong sum" >&2; return 1; }
    mb_per_s "$t0" "$t1"
}
mb_per_s() {
    awk -v s="$(stat -c %s "$WORK/www/large.bin")" -v a="$1" -v b="$2" \
        'BEGIN { printf "%.1f", s / (b - a) / 1e6 }'
}
ratio() { awk -v o="$1" -v c="$2" 'BEGIN { printf "%.2f", o / c }'; }
field() { awk -v k="$1" '$1 == k { print $2 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-4s %9s %9s %5s %10s %5s %8s %10s %9s %5s %13s %5s\n' run ours_MB/s curl_MB/s ratio \
    curl+sync ratio peak_MiB pinned_MB/s curl_sum ratio curl_sum+sync ratio
OURS_ALL=() CURL_ALL=() RATIO_ALL=() PEAK_ALL=() PINNED_ALL=() SUMMED_ALL=() HRATIO_ALL=()
SYNCED_ALL=() SRATIO_ALL=() SUMSYNCED_ALL=() SSRATIO_ALL=()
for i in $(seq "$RUNS"); do
    # Alternate which one goes first, so neither always follows the other.
    if [ $((i % 2)) -eq 1 ]; then
        C=$(curl -s -o "$WORK/out/curl.bin" -w '%{speed_download}' "$URL")
        rm -f "$WORK/out/curl.bin"
        CY=$(curl_sync)
        R=$(ours -)
    else
        R=$(ours -)
        CY=$(curl_sync)
        C=$(curl -s -o "$WORK/out/curl.bin" -w '%{speed_download}' "$URL")
        rm -f "$WORK/out/curl.bin"
    fi
    cmp -s "$WORK/out/large.bin" "$WORK/www/large.bin" || { echo "run $i: wrong content" >&2; exit 1; }
    rm -f "$WORK/out/large.bin"
    O=$(echo "$R" | field large_mb_per_s)
    CM=$(awk -v b="$C" 'BEGIN { printf "%.1f", b / 1e6 }')
    RA=$(ratio "$O" "$CM")
    RY=$(ratio "$O" "$CY")
    P=$(echo "$R" | field peak_above_idle_mib)
    if [ $((i % 2)) -eq 1 ]; then
        CS=$(curl_sum)
        CSY=$(curl_sum_sync)
        H=$(ours - "$PIN")
    else
        H=$(ours - "$PIN")
        CSY=$(curl_sum_sync)
        CS=$(curl_sum)
    fi
    cmp -s "$WORK/out/large.bin" "$WORK/www/large.bin" || { echo "run $i: wrong pinned content" >&2; exit 1; }
    rm -f "$WORK/out/large.bin"
    HO=$(echo "$H" | field large_mb_per_s)
    HR=$(ratio "$HO" "$CS")
    HY=$(ratio "$HO" "$CSY")
    printf '%-4s %9s %9s %5s %10s %5s %8s %10s %9s %5s %13s %5s\n' "$i" "$O" "$CM" "$RA" "$CY" \
        "$RY" "$P" "$HO" "$CS" "$HR" "$CSY" "$HY"
    OURS_ALL+=("$O") CURL_ALL+=("$CM") RATIO_ALL+=("$RA") PEAK_ALL+=("$P")
    PINNED_ALL+=("$HO") SUMMED_ALL+=("$CS") HRATIO_ALL+=("$HR")
    SYNCED_ALL+=("$CY") SRATIO_ALL+=("$RY") SUMSYNCED_ALL+=("$CSY") SSRATIO_ALL+=("$HY")
done

R=$(ours "$HOST:$TRICKLE_PORT/trickle/1048576/10")
rm -f "$WORK/out/large.bin"
echo "$R" | grep trickle_
echo "median_ours_mb_per_s $(printf '%s\n' "${OURS_ALL[@]}" | median)"
echo "median_curl_mb_per_s $(printf '%s\n' "${CURL_ALL[@]}" | median)"
echo "throughput_ratio_to_curl $(printf '%s\n' "${RATIO_ALL[@]}" | median) (median of runs; goal >= 1.0)"
echo "median_curl_sync_mb_per_s $(printf '%s\n' "${SYNCED_ALL[@]}" | median)"
echo "throughput_ratio_to_curl_sync $(printf '%s\n' "${SRATIO_ALL[@]}" | median) (median of runs)"
echo "median_pinned_mb_per_s $(printf '%s\n' "${PINNED_ALL[@]}" | median)"
echo "median_curl_sha256sum_mb_per_s $(printf '%s\n' "${SUMMED_ALL[@]}" | median)"
echo "pinned_ratio_to_curl_sha256sum $(printf '%s\n' "${HRATIO_ALL[@]}" | median) (median of runs; goal >= 1.0)"
echo "median_curl_sha256sum_sync_mb_per_s $(printf '%s\n' "${SUMSYNCED_ALL[@]}" | median)"
echo "pinned_ratio_to_curl_sha256sum_sync $(printf '%s\n' "${SSRATIO_ALL[@]}" | median) (median of runs)"
echo "trickle_cpu_share_percent $(echo "$R" | field trickle_cpu_share_percent) (goal <= 5)"
echo "peak_above_idle_mib $(printf '%s\n' "${PEAK_ALL[@]}" | sort -g | tail -1) (largest; goal <= 16)"
