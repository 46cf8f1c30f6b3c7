#!/usr/bin/env bash
# Soak run: kestrum under steady mixed load for a long while, with its own Redis and MariaDB on loopback.
#
# Builds kestrum in Release (build-bench-soak/), starts a private Redis and MariaDB (scripts/start-redis.sh,
# scripts/start-mariadb.sh) and kestrum with every module on, then runs bench/soak_load.py: keep-alive clients
# for the heartbeat, Redis set/get/order, MySQL selects and WebSocket echo, and clients that vanish mid-request.
# Every INTERVAL seconds one row: kestrum's resident memory, open descriptors, threads, and the load's answer
# counters. At the end: the rows, whether memory, descriptors and threads stayed flat after the warm-up (first
# two rows), and whether every request was answered. Exit status 1 when one of those checks fails.
#
# Usage: bench/soak.sh [seconds (600)] [interval (30)] [clients of each kind (4)]
set -euo pipefail

duration="${1:-600}"
interval="${2:-30}"
clients="${3:-4}"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$source_dir/build-bench-soak"

for tool in cmake ninja python3 redis-server mariadbd; do
    command -v "$tool" >/dev/null || [[ -x "/usr/sbin/$tool" ]] || { echo "missing: $tool" >&2; exit 1; }
done

# Release at -O2: GCC 12 at -O3 reports false -Wrestrict errors in std::string code under -Werror.
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKESTRUM_BUILD_TESTS=OFF -DKESTRUM_WITH_UI=OFF >/dev/null
if ! ninja -C "$build_dir" -j2 kestrum >"$build_dir/soak-build.log" 2>&1; then
    tail -20 "$build_dir/soak-build.log" >&2
    exit 1
fi

work="$(mktemp -d /tmp/kestrum-soak.XXXXXX)"
kestrum_pid=""
load_pid=""
cleanup() {
    [[ -n "$load_pid" ]] && kill "$load_pid" 2>/dev/null || true
    [[ -n "$kestrum_pid" ]] && kill "$kestrum_pid" 2>/dev/null && wait "$kestrum_pid" 2>/dev/null || true
    bash "$source_dir/scripts/start-redis.sh" --stop "$work/redis" >/dev/null 2>&1 || true
    bash "$source_dir/scripts/start-mariadb.sh" --stop "$work/mariadb" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)

run="$work/run"
cp -r "$source_dir/scripts/rundir" "$run"
bash "$source_dir/scripts/gen-certs.sh" "$run" >/dev/null
sed -i "s/^onDebug=.*/onDebug=0/; s/^port_http=.*/port_http=$port/; s/^port_https=.*/port_https=/;
        s/^whitelist=.*/whitelist=127.0.0.1/; s/^local_ip=.*/local_ip=127.0.0.1/; s/^ip_lookup_url=.*/ip_lookup_url=/" \
    "$run/config.ini"
sed -i 's/^on=.*/on=0/' "$run/mod/crontab/config.ini"
bash "$source_dir/scripts/start-redis.sh" "$work/redis" --config "$run" >/dev/null
mysql_host=$(bash "$source_dir/scripts/start-mariadb.sh" "$work/mariadb" --config "$run")
mariadb --no-defaults --protocol=socket --socket="$work/mariadb/mysqld.sock" --user=root kestrum_demo -e "
  CREATE TABLE IF NOT EXISTS kv (id INT PRIMARY KEY, name VARCHAR(64), price DECIMAL(10,2));
  INSERT IGNORE INTO kv (id, name, price) VALUES (1, 'alpha', 12.50), (2, 'beta', 3.00), (3, 'gamma', 0.99);"
echo "Redis and MariaDB ($mysql_host) up; kestrum on 127.0.0.1:$port" >&2

"$build_dir/kestrum" --headless --dir "$run" >"$work/kestrum.out" 2>&1 &
kestrum_pid=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/api/this/heart" && break
    sleep 0.1
done

status="$work/status"
python3 "$source_dir/bench/soak_load.py" 127.0.0.1 "$port" "$duration" "$status" --clients "$clients" \
    >"$work/load.out" 2>&1 &
load_pid=$!

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$kestrum_pid/status"; }
threads() { awk '/^Threads/ { print $2 }' "/proc/$kestrum_pid/status"; }
fds() { ls "/proc/$kestrum_pid/fd" | wc -l; }
# One counter from the snapshot taken by snapshot() (the load rewrites its file every second).
counters=""
snapshot() { counters=$(cat "$status" 2>/dev/null || true); }
counter() {
    local value
    value=$(awk -v key="$1" '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); if (kv[1] == key) print kv[2] } }' \
        <<<"$counters")
    echo "${value:-0}"
}

rows=()
printf '%8s %9s %5s %7s %10s %10s %6s %10s %9s\n' seconds rss_kib fds threads sent answered wrong unanswered vanished
start=$(date +%s)
while kill -0 "$load_pid" 2>/dev/null; do
    sleep "$interval" &
    wait $! || true
    kill -0 "$kestrum_pid" 2>/dev/null || { echo "kestrum ended during the soak" >&2; exit 1; }
    kill -0 "$load_pid" 2>/dev/null || break
    snapshot
    row=$(printf '%8d %9d %5d %7d %10d %10d %6d %10d %9d' $(($(date +%s) - start)) "$(rss_kib)" "$(fds)" \
        "$(threads)" "$(counter sent)" "$(counter answered)" "$(counter wrong)" "$(counter unanswered)" \
        "$(counter vanished)")
    rows+=("$row")
    echo "$row"
done
wait "$load_pid" || true
load_pid=""
snapshot
echo "load: $counters"

# Flat after the warm-up: the last row against the second (memory within 10 %, descriptors and threads within 5).
verdict=0
if [[ ${#rows[@]} -ge 3 ]]; then
    read -r _ rss2 fd2 th2 _ <<<"${rows[1]}"
    read -r _ rssN fdN thN _ <<<"${rows[-1]}"
    if ((rssN > rss2 + rss2 / 10)); then echo "memory grew: $rss2 -> $rssN KiB"; verdict=1; fi
    if ((fdN > fd2 + 5)); then echo "descriptors grew: $fd2 -> $fdN"; verdict=1; fi
    if ((thN > th2 + 5)); then echo "threads grew: $th2 -> $thN"; verdict=1; fi
fi
sent=$(counter sent)
answered=$(counter answered)
if ((sent != answered)) || (($(counter unanswered) > 0)); then
    echo "unanswered requests: sent $sent, answered $answered"
    verdict=1
fi
if (($(counter wrong) > 0)); then
    echo "wrong answers: $(counter wrong)"
    verdict=1
fi
[[ $verdict -eq 0 ]] && echo "flat after warm-up; every request answered"
exit "$verdict"
