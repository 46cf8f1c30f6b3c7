#!/usr/bin/env bash
# Point-select throughput through kestrum's SQL endpoint next to the same statements straight at MariaDB.
#
#   bench/mysql_point_select.sh [KESTRUM_BINARY]      (default: build/kestrum)
#
# Starts a private MariaDB on loopback (scripts/start-mariadb.sh) and kestrum (debug off, connectSum 16) in a
# temporary directory, fills a table of 1000 rows, then measures in the same run:
#   - kestrum: wrk with bench/mysql_point_select.lua (POST {"sql":"select * from kv where id=N"}), and
#   - direct:  sysbench oltp_point_select (one point select per event) on a 1000-row table, and
#   - same statement: mariadb-slap running kestrum's own statements (select * from kv where id=N, N shuffled),
#   - kestrum with parameters: wrk posting {"sql":"select * from kv where id=?","params":[N]} (a prepared
#     statement per connection, binary protocol), and
#   - direct prepared: sysbench oltp_point_select in its default mode (prepared statements),
# all with the same concurrency, and prints the throughputs and the ratios (targets: kestrum >= 0.5 x direct;
# parameterised kestrum >= 0.6 x sysbench prepared, with MariaDB's CPU per select behind it within 10 % of its CPU
# under sysbench prepared; the parameterised figures are medians of the rounds), and the CPU efficiency: MariaDB's
# CPU per select under sysbench divided by kestrum's and MariaDB's per request.
# Pinned by default (bench/lib.sh): kestrum and MariaDB on CPU 0, wrk, sysbench and mariadb-slap on CPU 1;
# PINNED=0 runs unpinned.
# Environment: CONCURRENCY (16), DURATION seconds per run (10), ROUNDS of alternating runs (3), WRK_THREADS (1
# pinned, 2 unpinned),
# PROFILE_OUT (a perf.data path: profiles kestrum during the first run), WORKERS (kestrum's worker_threads,
# default: its own), NET_THREADS (its network_threads, default: its own).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
binary=$(realpath "${1:-$root/build/kestrum}")
concurrency=${CONCURRENCY:-16}
duration=${DURATION:-10}
rounds=${ROUNDS:-3}
[[ -x "$binary" ]] || { echo "kestrum binary not found: $binary" >&2; exit 2; }
source "$here/lib.sh"
if ((PINNED)); then wrk_threads=${WRK_THREADS:-1}; else wrk_threads=${WRK_THREADS:-2}; fi

work=$(mktemp -d /tmp/kestrum-mysql-bench-XXXXXX)
kestrum_pid=""
cleanup() {
    if [[ -n "$kestrum_pid" ]]; then kill "$kestrum_pid" 2>/dev/null || true; wait "$kestrum_pid" 2>/dev/null || true; fi
    "$root/scripts/start-mariadb.sh" --stop "$work/db" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

export KESTRUM_DEMO_USER=bench KESTRUM_DEMO_PASSWORD=bench-pass
host=$("${on_server[@]}" "$root/scripts/start-mariadb.sh" "$work/db")
sql() { mariadb --no-defaults --protocol=socket --socket="$work/db/mysqld.sock" --user=root kestrum_demo -e "$1"; }

values=""
for i in $(seq 1 1000); do values+="${values:+,}($i,'value-$i',$((i * 7)))"; done
sql "DROP TABLE IF EXISTS kv; CREATE TABLE kv (id INT PRIMARY KEY, v VARCHAR(64), n INT) ENGINE=InnoDB;
     INSERT INTO kv VALUES $values;"

sysbench_args=(--db-driver=mysql --mysql-host="$host" --mysql-port=3306 --mysql-user=bench
               --mysql-password=bench-pass --mysql-db=kestrum_demo --tables=1 --table-size=1000)
sysbench oltp_point_select "${sysbench_args[@]}" prepare >/dev/null
# The statements kestrum gets, for mariadb-slap: one per row, shuffled.
shuf -i 1-1000 | awk '{ printf "select * from kv where id=%d;\n", $1 }' >"$work/statements.sql"
slap_args=(--no-defaults --host="$host" --port=3306 --user=bench --password=bench-pass
           --create-schema=kestrum_demo --concurrency="$concurrency" --iterations=1 --delimiter=";"
           --query="$work/statements.sql")
# Runs mariadb-slap for about $duration seconds (at the rate given) and prints statements per second.
slap_qps() {
    local count=$(awk -v r="$1" -v d="$duration" 'BEGIN { printf "%d", r * d }') start end
    start=$(date +%s.%N)
    "${on_load[@]}" mariadb-slap "${slap_args[@]}" --number-of-queries="$count" >/dev/null
    end=$(date +%s.%N)
    awk -v n="$count" -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", n / (b - a) }'
}

port=$(free_port)
run="$work/run"
kestrum_run_dir "$run" "port_http=$port" "worker_threads=${WORKERS:-}" "network_threads=${NET_THREADS:-}"
printf '[sys]\non=1\nconnectSum=16\nadress=%s\nuser=bench\npassword=bench-pass\ndatabase=kestrum_demo\n' \
    "$host" >"$run/mod/mysql/config.ini"
(cd "$run" && exec "${on_server[@]}" "$binary" --headless --dir "$run") >"$work/kestrum.out" 2>&1 &
kestrum_pid=$!
wait_port "$port"
check=$("${on_load[@]}" curl -s --max-time 10 -X POST --data '{"sql":"select * from kv where id=7"}' "http://127.0.0.1:$port/api/mysql" || true)
echo "sample answer: $check" >&2
[[ "$check" == *'"errcode":200'* ]] || { echo "kestrum does not answer; see $work/kestrum.out" >&2; cat "$work/kestrum.out" >&2; exit 1; }

ticks_per_sec=$(getconf CLK_TCK)
mariadb_pid=$(cat "$work/db/mysqld.pid")
pin_servers "$mariadb_pid"
# Every answer of a short checked run must be a success envelope.
failed=$(CHECK_ANSWERS=1 "${on_load[@]}" wrk -t"$wrk_threads" -c"$concurrency" -d2s -s "$here/mysql_point_select.lua" \
    "http://127.0.0.1:$port/api/mysql" | awk -F= '/^failed_answers=/ {print $2}')
failed_params=$(PARAMS=1 CHECK_ANSWERS=1 "${on_load[@]}" wrk -t"$wrk_threads" -c"$concurrency" -d2s -s "$here/mysql_point_select.lua" \
    "http://127.0.0.1:$port/api/mysql" | awk -F= '/^failed_answers=/ {print $2}')
# The HTTP layer alone (heartbeat GET), for context.
k0=$(cpu_ticks "$kestrum_pid")
heart_rps=$("${on_load[@]}" wrk -t"$wrk_threads" -c"$concurrency" -d"${duration}s" "http://127.0.0.1:$port/api/this/heart" | wrk_rps)
k1=$(cpu_ticks "$kestrum_pid")
heart_cpu=$(awk -v t=$((k1 - k0)) -v r="$heart_rps" -v d="$duration" -v hz="$ticks_per_sec" \
    'BEGIN { printf "%.1f", t / hz * 1e6 / (r * d) }')

# Alternate the two sides so that load from other processes on the machine hits both alike.
kestrum_runs=()
direct_runs=()
slap_runs=()
kestrum_cpu=()
kestrum_switches=()
server_cpu_k=()
server_cpu_d=()
param_runs=()
param_cpu=()
server_cpu_p=()
prepared_runs=()
server_cpu_ps=()
for round in $(seq 1 "$rounds"); do
    if [[ -n "${PROFILE_OUT:-}" && $round -eq 1 ]]; then
        perf record -F 999 -g -p "$kestrum_pid" -o "$PROFILE_OUT" -- sleep "$duration" >/dev/null 2>&1 &
    fi
    k0=$(cpu_ticks "$kestrum_pid")
    m0=$(cpu_ticks "$mariadb_pid")
    s0=$(ctx_switches "$kestrum_pid")
    kestrum_runs+=("$("${on_load[@]}" wrk -t"$wrk_threads" -c"$concurrency" -d"${duration}s" -s "$here/mysql_point_select.lua" \
        "http://127.0.0.1:$port/api/mysql" | wrk_rps)")
    k1=$(cpu_ticks "$kestrum_pid")
    m1=$(cpu_ticks "$mariadb_pid")
    s1=$(ctx_switches "$kestrum_pid")
    kestrum_switches+=("$(awk -v s=$((s1 - s0)) -v r="${kestrum_runs[-1]}" -v d="$duration" \
        'BEGIN { printf "%.1f", s / (r * d) }')")
    # CPU microseconds per request: kestrum itself, and the server behind it.
    kestrum_cpu+=("$(awk -v t=$((k1 - k0)) -v r="${kestrum_runs[-1]}" -v d="$duration" -v hz="$ticks_per_sec" \
        'BEGIN { printf "%.1f", t / hz * 1e6 / (r * d) }')")
    server_cpu_k+=("$(awk -v t=$((m1 - m0)) -v r="${kestrum_runs[-1]}" -v d="$duration" -v hz="$ticks_per_sec" \
        'BEGIN { printf "%.1f", t / hz * 1e6 / (r * d) }')")
    m0=$(cpu_ticks "$mariadb_pid")
    # Text protocol (no prepared statements), as kestrum sends its statements.
    direct_runs+=("$("${on_load[@]}" sysbench oltp_point_select "${sysbench_args[@]}" --threads="$concurrency" \
        --time="$duration" --point-selects=1 --skip-trx=on --db-ps-mode=disable --report-interval=0 run |
        awk '/queries:/ {gsub(/[()]/, "", $3); print $3; exit}')")
    m1=$(cpu_ticks "$mariadb_pid")
    server_cpu_d+=("$(awk -v t=$((m1 - m0)) -v r="${direct_runs[-1]}" -v d="$duration" -v hz="$ticks_per_sec" \
        'BEGIN { printf "%.1f", t / hz * 1e6 / (r * d) }')")
    slap_runs+=("$(slap_qps "${direct_runs[-1]}")")
    # The parameterised form through kestrum, then sysbench's prepared point select (its default mode).
    k0=$(cpu_ticks "$kestrum_pid")
    m0=$(cpu_ticks "$mariadb_pid")
    param_runs+=("$(PARAMS=1 "${on_load[@]}" wrk -t"$wrk_threads" -c"$concurrency" -d"${duration}s" -s "$here/mysql_point_select.lua" \
        "http://127.0.0.1:$port/api/mysql" | wrk_rps)")
    k1=$(cpu_ticks "$kestrum_pid")
    m1=$(cpu_ticks "$mariadb_pid")
    param_cpu+=("$(awk -v t=$((k1 - k0)) -v r="${param_runs[-1]}" -v d="$duration" -v hz="$ticks_per_sec" \
        'BEGIN { printf "%.0f", t / hz * 1e6 / (r * d) }')")
    server_cpu_p+=("$(awk -v t=$((m1 - m0)) -v r="${param_runs[-1]}" -v d="$duration" -v hz="$ticks_per_sec" \
        'BEGIN { printf "%.0f", t / hz * 1e6 / (r * d) }')")
    m0=$(cpu_ticks "$mariadb_pid")
    prepared_runs+=("$("${on_load[@]}" sysbench oltp_point_select "${sysbench_args[@]}" --threads="$concurrency" \
        --time="$duration" --point-selects=1 --skip-trx=on --report-interval=0 run |
        awk '/queries:/ {gsub(/[()]/, "", $3); print $3; exit}')")
    m1=$(cpu_ticks "$mariadb_pid")
    server_cpu_ps+=("$(awk -v t=$((m1 - m0)) -v r="${prepared_runs[-1]}" -v d="$duration" -v hz="$ticks_per_sec" \
        'BEGIN { printf "%.0f", t / hz * 1e6 / (r * d) }')")
    echo "round $round: kestrum with params ${param_runs[-1]} req/s (kestrum ${param_cpu[-1]} us CPU/request," \
        "server ${server_cpu_p[-1]} us/select), sysbench prepared ${prepared_runs[-1]} selects/s" \
        "(server ${server_cpu_ps[-1]} us/select)" >&2
    echo "round $round: kestrum ${kestrum_runs[-1]} req/s (kestrum ${kestrum_cpu[-1]} us CPU and ${kestrum_switches[-1]} context switches/request," \
        "server ${server_cpu_k[-1]} us/select), direct ${direct_runs[-1]} selects/s" \
        "(server ${server_cpu_d[-1]} us/select), same statement ${slap_runs[-1]} selects/s" >&2
done
sysbench oltp_point_select "${sysbench_args[@]}" cleanup >/dev/null
mean() { printf '%s\n' "$@" | awk '{ s += $1; n++ } END { printf "%.1f", (n ? s / n : 0) }'; }
kestrum_rps=$(mean "${kestrum_runs[@]}")
direct_qps=$(mean "${direct_runs[@]}")
slap_qps=$(mean "${slap_runs[@]}")

ratio=$(awk -v a="$kestrum_rps" -v b="$direct_qps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
echo "kestrum_requests_per_sec=$kestrum_rps (mean of $rounds runs; failed answers in the checked run: ${failed:-?})"
echo "direct_point_selects_per_sec=$direct_qps (mean of $rounds runs)"
echo "kestrum_heartbeat_requests_per_sec=$heart_rps (HTTP layer alone; kestrum $heart_cpu us CPU/request)"
echo "kestrum_cpu_us_per_request=$(mean "${kestrum_cpu[@]}")"
echo "same_statement_selects_per_sec=$slap_qps (mariadb-slap, mean of $rounds runs)"
echo "ratio_same_statement=$(awk -v a="$kestrum_rps" -v b="$slap_qps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
echo "server_cpu_us_per_select: via kestrum $(mean "${server_cpu_k[@]}"), direct $(mean "${server_cpu_d[@]}")"
echo "ratio=$ratio (target >= 0.50)"
echo "cpu_efficiency=$(efficiency "$(mean "${server_cpu_d[@]}")" \
    "$(awk -v k="$(mean "${kestrum_cpu[@]}")" -v m="$(mean "${server_cpu_k[@]}")" 'BEGIN { print k + m }')")" \
    "(MariaDB CPU per select under sysbench / kestrum and MariaDB CPU per request); $(bench_mode)"
median_of() { printf '%s\n' "$@" | median; }
param_rps=$(median_of "${param_runs[@]}")
prepared_qps=$(median_of "${prepared_runs[@]}")
text_rps=$(median_of "${kestrum_runs[@]}")
echo "kestrum_params_requests_per_sec=$param_rps (median of $rounds runs; text form median $text_rps;" \
    "failed answers in the checked run: ${failed_params:-?})"
echo "sysbench_prepared_point_selects_per_sec=$prepared_qps (median of $rounds runs)"
echo "kestrum_params_cpu_us_per_request=$(median_of "${param_cpu[@]}") (text form $(median_of "${kestrum_cpu[@]}"))"
server_p=$(median_of "${server_cpu_p[@]}")
server_ps=$(median_of "${server_cpu_ps[@]}")
echo "server_cpu_us_per_select: via kestrum with params $server_p, sysbench prepared $server_ps" \
    "(ratio $(awk -v a="$server_p" -v b="$server_ps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'), target <= 1.10)"
echo "ratio_params_to_prepared=$(awk -v a="$param_rps" -v b="$prepared_qps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }') (target >= 0.60)"
echo "ratio_params_to_text=$(awk -v a="$param_rps" -v b="$text_rps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
