#!/usr/bin/env bash
# Redis gateway throughput: kestrum's /api/redis/get and /api/redis/set against Webdis GET and SET, with the same
# wrk settings, on one private Redis; redis-benchmark straight at Redis shows the ceiling.
#
#   bench/redis_bench.sh [KESTRUM_BINARY]      (default: build/kestrum)
#
# Environment: ROUNDS (alternating rounds, median reported, default 3), DURATION (wrk seconds per run, 10),
# THREADS (wrk threads, 2), CONNECTIONS (wrk connections, 50), REDIS_CONNECTIONS (kestrum's connections to
# database 0 and Webdis' pool size, 8), WORKERS (kestrum's worker_threads, default: kestrum's own default).
# Everything runs on 127.0.0.1 in a temporary directory that is removed at the end. Debug logging is off. Needs wrk, webdis, redis-server, redis-benchmark.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/kestrum}
duration=${DURATION:-10}
threads=${THREADS:-2}
connections=${CONNECTIONS:-50}
redisConnections=${REDIS_CONNECTIONS:-8}
rounds=${ROUNDS:-3}
for tool in wrk webdis redis-server redis-benchmark redis-cli; do
    command -v "$tool" >/dev/null || { echo "missing $tool (bash scripts/install-deps.sh --bench)" >&2; exit 1; }
done
[[ -x "$binary" ]] || { echo "no kestrum binary at $binary" >&2; exit 1; }

work=$(mktemp -d /tmp/kestrum-redis-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    bash "$root/scripts/start-redis.sh" --stop "$work/redis" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

source "$root/bench/lib.sh"

redisPort=$(bash "$root/scripts/start-redis.sh" "$work/redis" "$(free_port)")
redisPid=$(cat "$work/redis/redis.pid" 2>/dev/null || pgrep -f "redis-server.*:$redisPort" | head -1)
redis-cli -p "$redisPort" set bench:key hello >/dev/null

# Webdis with a private configuration, in the foreground.
webdisPort=$(free_port)
cat >"$work/webdis.json" <<JSON
{"redis_host":"127.0.0.1","redis_port":$redisPort,"redis_auth":null,"http_host":"127.0.0.1",
 "http_port":$webdisPort,"threads":$threads,"pool_size":$redisConnections,"daemonize":false,"database":0,
 "verbosity":0,"logfile":"$work/webdis.log"}
JSON
webdis "$work/webdis.json" >/dev/null 2>&1 &
pids+=($!)
webdisPid=$!

# kestrum with only the Redis module on.
httpPort=$(free_port)
run="$work/run"
kestrum_run_dir "$run" "port_http=$httpPort" "worker_threads=${WORKERS:-}" "network_threads=${NET_THREADS:-}"
printf '[sys]\non=1\nip=127.0.0.1\nport=%s\n[dbsum]\n0=%s\n' "$redisPort" "$redisConnections" \
    >"$run/mod/redis/config.ini"
"$binary" --headless --dir "$run" >"$work/kestrum.out" 2>&1 &
pids+=($!)
kestrumPid=$!

wait_http "http://127.0.0.1:$webdisPort/PING"
wait_http "http://127.0.0.1:$httpPort/api/this/heart"

cat >"$work/get.lua" <<'LUA'
wrk.method = "POST"
wrk.body = '{"db":0,"key":"bench:key"}'
wrk.headers["Content-Type"] = "application/json"
LUA
cat >"$work/set.lua" <<'LUA'
wrk.method = "POST"
wrk.body = '{"db":0,"key":"bench:set","value":"hello"}'
wrk.headers["Content-Type"] = "application/json"
LUA

declare -A rps p99 cpu switches rcpu
# measure NAME GATEWAY_PID WRK_ARGS...: runs wrk and appends "requests/s p99-ms gateway-us-CPU/request
# gateway-switches/request redis-us-CPU/request" to $work/NAME.runs.
measure() {
    local name=$1 gateway=$2
    shift 2
    local out r p c0 c1 s0 s1 d0 d1
    c0=$(cpu_ticks "$gateway")
    s0=$(ctx_switches "$gateway")
    d0=$(cpu_ticks "$redisPid")
    out=$(wrk -t"$threads" -c"$connections" -d"${duration}s" --latency "$@")
    c1=$(cpu_ticks "$gateway")
    s1=$(ctx_switches "$gateway")
    d1=$(cpu_ticks "$redisPid")
    r=$(wrk_rps <<<"$out")
    p=$(wrk_p99_ms <<<"$out")
    echo "$r $p $(awk -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v x=$((d1 - d0)) -v r="$r" -v d="$duration" \
        -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.0f %.1f %.0f", c / hz * 1e6 / (r * d), s / (r * d),
        x / hz * 1e6 / (r * d) }')" >>"$work/$name.runs"
    local errors
    errors=$(awk '/Non-2xx|Socket errors/' <<<"$out")
    [[ -z "$errors" ]] || echo "$name: $errors" >&2
}

# A sanity check that both gateways really do the work.
curl -s -d '{"db":0,"key":"bench:key"}' "http://127.0.0.1:$httpPort/api/redis/get" | grep -q hello ||
    { echo "kestrum /get does not answer as expected" >&2; exit 1; }
curl -s "http://127.0.0.1:$webdisPort/GET/bench:key" | grep -q hello ||
    { echo "webdis GET does not answer as expected" >&2; exit 1; }

# The runs alternate between the gateways so that a busy moment of the machine hits both alike; each figure is
# the median of its runs.
for ((round = 1; round <= rounds; ++round)); do
    measure kestrum_heart "$kestrumPid" "http://127.0.0.1:$httpPort/api/this/heart"  # HTTP layer alone, no Redis
    measure kestrum_get "$kestrumPid" -s "$work/get.lua" "http://127.0.0.1:$httpPort/api/redis/get"
    measure webdis_get "$webdisPid" "http://127.0.0.1:$webdisPort/GET/bench:key"
    measure kestrum_set "$kestrumPid" -s "$work/set.lua" "http://127.0.0.1:$httpPort/api/redis/set"
    measure webdis_set "$webdisPid" "http://127.0.0.1:$webdisPort/SET/bench:set/hello"
done
for name in kestrum_heart kestrum_get webdis_get kestrum_set webdis_set; do
    rps[$name]=$(awk '{print $1}' "$work/$name.runs" | median)
    p99[$name]=$(awk '{print $2}' "$work/$name.runs" | median)
    cpu[$name]=$(awk '{print $3}' "$work/$name.runs" | median)
    switches[$name]=$(awk '{print $4}' "$work/$name.runs" | median)
    rcpu[$name]=$(awk '{print $5}' "$work/$name.runs" | median)
done

# redis-benchmark straight at Redis, same number of clients.
csv=$(redis-benchmark -h 127.0.0.1 -p "$redisPort" -c "$connections" -n 200000 -t get,set --csv 2>/dev/null)
while IFS=, read -r test r _ _ _ _ p _; do
    test=${test//\"/}
    case $test in
        GET) rps[redis_get]=${r//\"/}; p99[redis_get]=${p//\"/} ;;
        SET) rps[redis_set]=${r//\"/}; p99[redis_set]=${p//\"/} ;;
    esac
done <<<"$csv"

printf '\nwrk -t%s -c%s -d%ss on loopback, median of %s rounds; kestrum with %s Redis connections, Webdis with pool_size %s\n\n' \
    "$threads" "$connections" "$duration" "$rounds" "$redisConnections" "$redisConnections"
printf '%-16s %12s %8s %28s %14s\n' "run" "requests/s" "p99 ms" "gateway CPU us, switches/req" "Redis CPU us"
for name in kestrum_heart kestrum_get webdis_get redis_get kestrum_set webdis_set redis_set; do
    extra="" redis=""
    [[ $name == redis_* ]] || { extra="${cpu[$name]}, ${switches[$name]}"; redis=${rcpu[$name]}; }
    printf '%-16s %12s %8s %28s %14s\n' "$name" "${rps[$name]:-?}" "${p99[$name]:-?}" "$extra" "$redis"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "?" }'; }
printf '\nkestrum / Webdis:          GET %s x   SET %s x   (target >= 1.2)\n' \
    "$(ratio "${rps[kestrum_get]}" "${rps[webdis_get]}")" "$(ratio "${rps[kestrum_set]}" "${rps[webdis_set]}")"
printf 'kestrum / its own heartbeat: GET %s x   SET %s x\n' \
    "$(ratio "${rps[kestrum_get]}" "${rps[kestrum_heart]}")" "$(ratio "${rps[kestrum_set]}" "${rps[kestrum_heart]}")"
printf 'kestrum / redis-benchmark: GET %s x   SET %s x\n' \
    "$(ratio "${rps[kestrum_get]}" "${rps[redis_get]}")" "$(ratio "${rps[kestrum_set]}" "${rps[redis_set]}")"
