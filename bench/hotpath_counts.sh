#!/usr/bin/env bash
# System calls and allocations per Redis /get on kestrum's network thread: one network thread, one kept-alive
# connection (wrk -t1 -c1), allocations counted by bench/alloc_count.c preloaded, system calls by strace -c
# attached to that thread alone. The figures are counts, so a busy machine changes them little.
#
#   bench/hotpath_counts.sh [KESTRUM_BINARY]      (default: build-release/kestrum)
#
# Needs wrk, strace, redis-server, redis-cli and a C compiler.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build-release/kestrum}
work=$(mktemp -d /tmp/kestrum-hotpath-XXXXXX)
source "$root/bench/lib.sh"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    bash "$root/scripts/start-redis.sh" --stop "$work/redis" >/dev/null 2>&1 || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cc -O2 -shared -fPIC "$root/bench/alloc_count.c" -o "$work/alloc_count.so" -lpthread

redisPort=$(bash "$root/scripts/start-redis.sh" "$work/redis" "$(free_port)")
redis-cli -p "$redisPort" set bench:key hello >/dev/null
httpPort=$(free_port)
kestrum_run_dir "$work/run" "port_http=$httpPort" "network_threads=1" "worker_threads=1"
printf '[sys]\non=1\nip=127.0.0.1\nport=%s\n[dbsum]\n0=2\n' "$redisPort" >"$work/run/mod/redis/config.ini"
ALLOC_COUNT_FILE=$work/allocs LD_PRELOAD=$work/alloc_count.so "$binary" --headless --dir "$work/run" \
    >"$work/out" 2>&1 &
pid=$!
pids+=($pid)
wait_http "http://127.0.0.1:$httpPort/api/this/heart"
printf 'wrk.method = "POST"\nwrk.body = %s\n' "'{\"db\":0,\"key\":\"bench:key\"}'" >"$work/get.lua"
get() { wrk -t1 -c1 -d"$1" -s "$work/get.lua" "http://127.0.0.1:$httpPort/api/redis/get" | awk '/requests in/ {print $1}'; }

get 1s >/dev/null
sleep 0.5
cp "$work/allocs" "$work/before"
n=$(get 2s)
sleep 0.5
cp "$work/allocs" "$work/after"
# The network thread is the one that allocated most.
read -r tid allocs < <(awk 'NR == FNR { a[$1] = $2; next } { print $1, $2 - a[$1] }' "$work/before" "$work/after" |
    sort -k2 -n | tail -1)
echo "allocations per /get on the network thread: $(awk -v a="$allocs" -v n="$n" 'BEGIN { printf "%.1f", a / n }')"

strace -c -p "$tid" -o "$work/strace" 2>/dev/null &
tracer=$!
sleep 0.5
n=$(get 2s)
kill -INT "$tracer"
wait "$tracer" 2>/dev/null || true
echo "system calls per /get on the network thread ($n requests under strace):"
awk -v n="$n" '$NF != "total" && $4 ~ /^[0-9]+$/ { printf "  %-16s %6.2f\n", $NF, $4 / n; sum += $4 }
    END { printf "  %-16s %6.2f\n", "total", sum / n }' "$work/strace"
