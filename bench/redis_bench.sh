#!/usr/bin/env bash
# Redis gateway throughput: kestrum's /api/redis/get and /api/redis/set against Webdis GET and SET, with the same
# wrk settings, on one private Redis; redis-benchmark straight at Redis shows the ceiling. Then 1 MB values, an
# ASCII one and a Chinese one: kestrum's /set and /get against Webdis' PUT /SET and GET, one request at a time.
#
#   bench/redis_bench.sh [KESTRUM_BINARY]      (default: build/kestrum)
#
# Pinned by default (bench/lib.sh): kestrum, Webdis and Redis on CPU 0, wrk, redis-benchmark and curl on CPU 1;
# PINNED=0 runs unpinned. The figure that counts is the CPU efficiency: Webdis' and Redis' CPU per request
# divided by kestrum's and Redis' (Redis' CPU measured during each gateway's own runs).
#
# Environment: ROUNDS (alternating rounds, median reported, default 5 pinned, 3 unpinned), DURATION (wrk
# seconds per run, 10), THREADS (wrk threads and Webdis threads, 1 pinned, 2 unpinned), CONNECTIONS (wrk
# connections, 32 pinned, 50 unpinned), REDIS_CONNECTIONS (kestrum's connections to database 0 and Webdis'
# pool size, 8), WORKERS (kestrum's worker_threads, default: kestrum's own default), NET_THREADS (its
# network_threads), BIG_REPEATS (requests of each 1 MB case, median reported, 20; 0 skips the 1 MB cases).
# Everything runs on 127.0.0.1 in a temporary directory that is removed at the end. Debug logging is off.
# Needs wrk, webdis, redis-server, redis-benchmark, curl, python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
binary=${1:-$root/build/kestrum}
source "$root/bench/lib.sh"
duration=${DURATION:-10}
if ((PINNED)); then
    threads=${THREADS:-1} connections=${CONNECTIONS:-32} rounds=${ROUNDS:-5}
else
    threads=${THREADS:-2} connections=${CONNECTIONS:-50} rounds=${ROUNDS:-3}
fi
redisConnections=${REDIS_CONNECTIONS:-8}
bigRepeats=${BIG_REPEATS:-20}
for tool in wrk webdis redis-server redis-benchmark redis-cli curl python3; do
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

redisPort=$("${on_server[@]}" bash "$root/scripts/start-redis.sh" "$work/redis" "$(free_port)")
redisPid=$(cat "$work/redis/redis.pid" 2>/dev/null || pgrep -f "redis-server.*:$redisPort" | head -1)
pin_servers "$redisPid"
redis-cli -p "$redisPort" set bench:key hello >/dev/null

# Webdis with a private configuration, in the foreground.
webdisPort=$(free_port)
cat >"$work/webdis.json" <<JSON
{"redis_host":"127.0.0.1","redis_port":$redisPort,"redis_auth":null,"http_host":"127.0.0.1",
 "http_port":$webdisPort,"threads":$threads,"pool_size":$redisConnections,"daemonize":false,"database":0,
 "verbosity":0,"logfile":"$work/webdis.log"}
JSON
"${on_server[@]}" webdis "$work/webdis.json" >/dev/null 2>&1 &
pids+=($!)
webdisPid=$!

# kestrum with only the Redis module on.
httpPort=$(free_port)
run="$work/run"
kestrum_run_dir "$run" "port_http=$httpPort" "worker_threads=${WORKERS:-}" "network_threads=${NET_THREADS:-}"
printf '[sys]\non=1\nip=127.0.0.1\nport=%s\n[dbsum]\n0=%s\n' "$redisPort" "$redisConnections" \
    >"$run/mod/redis/config.ini"
"${on_server[@]}" "$binary" --headless --dir "$run" >"$work/kestrum.out" 2>&1 &
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

declare -A rps p99 cpu switches rcpu total
# measure NAME GATEWAY_PID WRK_ARGS...: runs wrk and appends "requests/s p99-ms gateway-us-CPU/request
# gateway-switches/request redis-us-CPU/request gateway-and-redis-us-CPU/request" to $work/NAME.runs.
measure() {
    local name=$1 gateway=$2
    shift 2
    local out r p c0 c1 s0 s1 d0 d1
    c0=$(cpu_ticks "$gateway")
    s0=$(ctx_switches "$gateway")
    d0=$(cpu_ticks "$redisPid")
    out=$("${on_load[@]}" wrk -t"$threads" -c"$connections" -d"${duration}s" --latency "$@")
    c1=$(cpu_ticks "$gateway")
    s1=$(ctx_switches "$gateway")
    d1=$(cpu_ticks "$redisPid")
    r=$(wrk_rps <<<"$out")
    p=$(wrk_p99_ms <<<"$out")
    echo "$r $p $(awk -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v x=$((d1 - d0)) -v r="$r" -v d="$duration" \
        -v hz="$(getconf CLK_TCK)" 'BEGIN { n = r * d; printf "%.1f %.1f %.1f %.1f", c / hz * 1e6 / n, s / n,
        x / hz * 1e6 / n, (c + x) / hz * 1e6 / n }')" >>"$work/$name.runs"
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
    total[$name]=$(awk '{print $6}' "$work/$name.runs" | median)
done

# redis-benchmark straight at Redis, same number of clients.
csv=$("${on_load[@]}" redis-benchmark -h 127.0.0.1 -p "$redisPort" -c "$connections" -n 200000 -t get,set --csv 2>/dev/null)
while IFS=, read -r test r _ _ _ _ p _; do
    test=${test//\"/}
    case $test in
        GET) rps[redis_get]=${r//\"/}; p99[redis_get]=${p//\"/} ;;
        SET) rps[redis_set]=${r//\"/}; p99[redis_set]=${p//\"/} ;;
    esac
done <<<"$csv"

printf '\nwrk -t%s -c%s -d%ss on loopback, median of %s rounds; kestrum with %s Redis connections, Webdis with pool_size %s and %s threads\n%s\n\n' \
    "$threads" "$connections" "$duration" "$rounds" "$redisConnections" "$redisConnections" "$threads" "$(bench_mode)"
printf '%-16s %12s %8s %28s %14s %16s\n' "run" "requests/s" "p99 ms" "gateway CPU us, switches/req" "Redis CPU us" \
    "both CPU us/req"
for name in kestrum_heart kestrum_get webdis_get redis_get kestrum_set webdis_set redis_set; do
    extra="" redis="" both=""
    [[ $name == redis_* ]] || { extra="${cpu[$name]}, ${switches[$name]}"; redis=${rcpu[$name]}; both=${total[$name]}; }
    printf '%-16s %12s %8s %28s %14s %16s\n' "$name" "${rps[$name]:-?}" "${p99[$name]:-?}" "$extra" "$redis" "$both"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "?" }'; }
printf '\nCPU efficiency, (Webdis + Redis) / (kestrum + Redis) CPU per request: GET %s x   SET %s x   (target >= 1.2)\n' \
    "$(efficiency "${total[webdis_get]}" "${total[kestrum_get]}")" \
    "$(efficiency "${total[webdis_set]}" "${total[kestrum_set]}")"
printf 'kestrum / Webdis requests/s: GET %s x   SET %s x\n' \
    "$(ratio "${rps[kestrum_get]}" "${rps[webdis_get]}")" "$(ratio "${rps[kestrum_set]}" "${rps[webdis_set]}")"
printf 'kestrum / its own heartbeat: GET %s x   SET %s x\n' \
    "$(ratio "${rps[kestrum_get]}" "${rps[kestrum_heart]}")" "$(ratio "${rps[kestrum_set]}" "${rps[kestrum_heart]}")"
printf 'kestrum / redis-benchmark: GET %s x   SET %s x\n' \
    "$(ratio "${rps[kestrum_get]}" "${rps[redis_get]}")" "$(ratio "${rps[kestrum_set]}" "${rps[redis_set]}")"

# 1 MB values, one request at a time: kestrum's /set and /get against Webdis' PUT /SET (the value as the body)
# and GET, alternating, BIG_REPEATS times each; the median time of a request as curl sees it, and the CPU of the
# gateway and Redis per request.
((bigRepeats > 0)) || exit 0
python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
size = 1 << 20
values = {"ascii": ("abcdefghijklmnopqrstuvwxyz0123456789" * (size // 36 + 1))[:size],
          "chinese": ("中文数值测试缓存网关" * (size // 30 + 1))[:size // 3]}
for kind, value in values.items():
    with open(f"{work}/big-{kind}.value", "w", encoding="utf-8") as f:
        f.write(value)
    with open(f"{work}/big-{kind}.set.json", "w", encoding="utf-8") as f:
        json.dump({"db": 0, "key": f"bench:big:{kind}", "value": value}, f, ensure_ascii=False)
PY

# big NAME GATEWAY_PID CURL_ARGS...: one request; appends "milliseconds CPU-ticks-of-gateway-and-Redis" to
# $work/big-NAME.runs and leaves the answer in $work/big.answer.
big() {
    local name=$1 gateway=$2 c0 c1 seconds
    shift 2
    c0=$(cpu_ticks "$gateway" "$redisPid")
    seconds=$("${on_load[@]}" curl -s -o "$work/big.answer" -w '%{time_total}' "$@")
    c1=$(cpu_ticks "$gateway" "$redisPid")
    echo "$(awk -v s="$seconds" 'BEGIN { printf "%.2f", s * 1000 }') $((c1 - c0))" >>"$work/big-$name.runs"
}
kinds=(ascii chinese)
for kind in "${kinds[@]}"; do
    valueBytes=$(stat -c %s "$work/big-$kind.value")
    for ((i = 1; i <= bigRepeats; ++i)); do
        big "kestrum_set_$kind" "$kestrumPid" --data-binary "@$work/big-$kind.set.json" \
            "http://127.0.0.1:$httpPort/api/redis/set"
        grep -q '"errcode":200' "$work/big.answer" || { echo "kestrum 1 MB /set failed" >&2; exit 1; }
        big "webdis_set_$kind" "$webdisPid" -X PUT --data-binary "@$work/big-$kind.value" \
            "http://127.0.0.1:$webdisPort/SET/bench:big:webdis:$kind"
        big "kestrum_get_$kind" "$kestrumPid" --data-binary "{\"db\":0,\"key\":\"bench:big:$kind\"}" \
            "http://127.0.0.1:$httpPort/api/redis/get"
        (($(stat -c %s "$work/big.answer") >= valueBytes)) || { echo "kestrum 1 MB /get too short" >&2; exit 1; }
        big "webdis_get_$kind" "$webdisPid" "http://127.0.0.1:$webdisPort/GET/bench:big:webdis:$kind"
        (($(stat -c %s "$work/big.answer") >= valueBytes)) || { echo "Webdis 1 MB GET too short" >&2; exit 1; }
    done
done
hz=$(getconf CLK_TCK)
printf '\n1 MB values, one request at a time (curl), median of %s; CPU of the gateway and Redis per request\n' \
    "$bigRepeats"
printf '%-20s %10s %14s\n' "run" "median ms" "CPU ms/req"
declare -A bigMs bigCpu
for kind in "${kinds[@]}"; do
    for name in kestrum_set webdis_set kestrum_get webdis_get; do
        runs="$work/big-${name}_$kind.runs"
        bigMs[${name}_$kind]=$(awk '{print $1}' "$runs" | median)
        bigCpu[${name}_$kind]=$(awk -v hz="$hz" '{ t += $2 } END { printf "%.1f", t / hz * 1000 / NR }' "$runs")
        printf '%-20s %10s %14s\n' "${name}_$kind" "${bigMs[${name}_$kind]}" "${bigCpu[${name}_$kind]}"
    done
done
for kind in "${kinds[@]}"; do
    printf '%-8s Webdis time / kestrum time: set %s x  get %s x   (target >= 1);  CPU efficiency: set %s x  get %s x\n' \
        "$kind" "$(ratio "${bigMs[webdis_set_$kind]}" "${bigMs[kestrum_set_$kind]}")" \
        "$(ratio "${bigMs[webdis_get_$kind]}" "${bigMs[kestrum_get_$kind]}")" \
        "$(efficiency "${bigCpu[webdis_set_$kind]}" "${bigCpu[kestrum_set_$kind]}")" \
        "$(efficiency "${bigCpu[webdis_get_$kind]}" "${bigCpu[kestrum_get_$kind]}")"
done
