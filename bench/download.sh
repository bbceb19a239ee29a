#!/usr/bin/env bash
# Benchmarks DownloadFileWithProgress against curl on the same 256 MiB file from nginx on
# loopback, its CPU share while a 1 MiB body trickles in over 10 s, and its peak memory.
# Usage: bench/download.sh [windows build dir]   (address: VT_BENCH_HOST, default 127.0.0.3)
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
BUILD=$(cd "${1:-$VT_BUILD/win}" && pwd)
HOST=${VT_BENCH_HOST:-127.0.0.3}
NGINX_PORT=18090
TRICKLE_PORT=18091
WORK=$BUILD/bench-download
rm -rf "$WORK"
mkdir -p "$WORK/www" "$WORK/out" "$WORK/nginx"
head -c $((256 * 1024 * 1024)) /dev/urandom >"$WORK/www/large.bin"

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
    kill "$NGINX_PID" "$TRICKLE_PID" 2>/dev/null || true
    rm -rf "$WORK/www" "$WORK/out"
}
trap cleanup EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://$HOST:$NGINX_PORT/" && break; sleep 0.1; done

URL="http://$HOST:$NGINX_PORT/large.bin"
curl -s -o "$WORK/out/warm.bin" "$URL"  # page cache warm for both
rm -f "$WORK/out/warm.bin"
CURL_BPS=$(curl -s -o "$WORK/out/curl.bin" -w '%{speed_download}' "$URL")
rm -f "$WORK/out/curl.bin"

vt_wine_env >/dev/null 2>&1
OUT_WIN=$(winepath -w "$WORK/out")\\
RESULT=$(wine "$BUILD/bench/download_bench.exe" "$HOST:$NGINX_PORT/large.bin" \
    "$HOST:$TRICKLE_PORT/trickle/1048576/10" "$OUT_WIN" | tr -d '\r')
echo "$RESULT"
echo "curl_mb_per_s $(awk -v b="$CURL_BPS" 'BEGIN { printf "%.1f", b / 1e6 }')"
OURS=$(echo "$RESULT" | awk '$1 == "large_mb_per_s" { print $2 }')
echo "throughput_ratio_to_curl $(awk -v o="$OURS" -v c="$CURL_BPS" 'BEGIN { printf "%.2f", o * 1e6 / c }') (goal >= 1.0)"
echo "trickle_cpu_share_percent $(echo "$RESULT" | awk '$1 == "trickle_cpu_share_percent" { print $2 }') (goal <= 5)"
echo "peak_above_idle_mib $(echo "$RESULT" | awk '$1 == "peak_above_idle_mib" { print $2 }') (goal <= 16)"
