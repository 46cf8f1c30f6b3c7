#!/usr/bin/env bash
# What callers.ini costs: heartbeat and Redis /get CPU per request of kestrum without callers.ini and with one
# (the /get carrying a bearer key, kept-alive connections, so a key is verified once per connection), on one
# private Redis. Prints requests/s and kestrum's CPU microseconds per request of each run (median of ROUNDS)
# and the ratio with/without.
#
#   bench/callers_overhead_bench.sh [KESTRUM_BINARY]      (default: build/kestrum)
#
# Pinned by default (bench/lib.sh): kestrum and Redis on CPU 0, wrk on CPU 1; PINNED=0 runs unpinned.
#
# Environment: ROUNDS (default 3), DURATION (wrk seconds per run, 5), THREADS (wrk threads, 1), CONNECTIONS (16).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/kestrum}
duration=${DURATION:-5}
threads=${THREADS:-1}
connections=${CONNECTIONS:-16}
rounds=${ROUNDS:-3}
for tool in wrk redis-server redis-cli; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestrum-callers-bench-XXXXXX)
pid=""
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    bash "$root/scripts/start-redis.sh" --stop "$work/redis" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
source "$root/bench/lib.sh"

redisPort=$("${on_server[@]}" bash "$root/scripts/start-redis.sh" "$work/redis" "$(free_port)")
redis-cli -p "$redisPort" set cache:key hello >/dev/null
key=bench-key-AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA
hash=$(printf '%s' "$key" | sha256sum | cut -d' ' -f1)

start_kestrum() {  # start_kestrum with|without
    local run="$work/run-$1" port
    port=$(free_port)
    kestrum_run_dir "$run" "port_http=$port"
    printf '[sys]\non=1\nip=127.0.0.1\nport=%s\n[dbsum]\n0=4\n' "$redisPort" >"$run/mod/redis/config.ini"
    [[ $1 == with ]] && printf '[cache]\nkey_sha256=%s\nallow=redis.get\nredis_keys=cache:*\n' "$hash" \
        >"$run/callers.ini"
    "${on_server[@]}" "$binary" --headless --dir "$run" >"$work/kestrum-$1.out" 2>&1 &
    pid=$!
    url="http://127.0.0.1:$port"
    wait_http "$url/api/this/heart"
}
stop_kestrum() { kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""; }

cat >"$work/get.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"db":0,"key":"cache:key"}'
wrk.headers["Authorization"] = "Bearer $key"
LUA

measure() {  # measure NAME WRK_ARGS...: "requests/s kestrum-us-CPU/request" appended to NAME.runs
    local name=$1 out r c0 c1
    shift
    c0=$(cpu_ticks "$pid")
    out=$("${on_load[@]}" wrk -t"$threads" -c"$connections" -d"${duration}s" "$@")
    c1=$(cpu_ticks "$pid")
    r=$(wrk_rps <<<"$out")
    echo "$r $(awk -v c=$((c1 - c0)) -v r="$r" -v d="$duration" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.1f", c / hz * 1e6 / (r * d) }')" >>"$work/$name.runs"
    ! grep -q 'Non-2xx' <<<"$out" || echo "$name: $(grep 'Non-2xx' <<<"$out")" >&2
}

for ((round = 1; round <= rounds; ++round)); do
    for mode in without with; do
        start_kestrum "$mode"
        curl -s -H "Authorization: Bearer $key" -d '{"db":0,"key":"cache:key"}' "$url/api/redis/get" |
            grep -q hello || { echo "/get ($mode callers.ini) does not answer" >&2; exit 1; }
        measure "heart_$mode" "$url/api/this/heart"
        measure "get_$mode" -s "$work/get.lua" "$url/api/redis/get"
        stop_kestrum
    done
done

printf '\nwrk -t%s -c%s -d%ss, median of %s rounds; %s\n%-14s %12s %16s\n' "$threads" "$connections" \
    "$duration" "$rounds" "$(bench_mode)" run requests/s "CPU us/request"
for name in heart_without heart_with get_without get_with; do
    printf '%-14s %12s %16s\n' "$name" "$(awk '{print $1}' "$work/$name.runs" | median)" \
        "$(awk '{print $2}' "$work/$name.runs" | median)"
done
for what in heart get; do
    awk -v a="$(awk '{print $2}' "$work/${what}_without.runs" | median)" \
        -v b="$(awk '{print $2}' "$work/${what}_with.runs" | median)" -v w="$what" \
        'BEGIN { printf "%s: CPU per request with callers.ini %+.1f %%", w, (b / a - 1) * 100 }'
    echo " (CPU efficiency with / without: $(efficiency "$(awk '{print $2}' "$work/${what}_without.runs" | median)" \
        "$(awk '{print $2}' "$work/${what}_with.runs" | median)"))"
done
