#!/usr/bin/env bash
# Several instances: what the scheduler's lease costs Redis, and what nginx in front of the group serves.
#
# 1. Lease: 1, 2, then 3 instances, each with TASKS task files due every second (action: nothing) and the lease
#    on; over SECONDS seconds, Redis' commands (INFO commandstats) and CPU time (/proc) per second, per task
#    moment and per instance.
# 2. Heartbeat through nginx: wrk against one instance directly, nginx with that one instance, and nginx with
#    three instances, alternating ROUNDS times; requests/s, p99, and CPU time and context switches per request
#    of kestrum and nginx together.
#
# Uses build/kestrum (scripts/build.sh kestrum). Knobs: TASKS (20), SECONDS (10), DURATION (8), CONNECTIONS (32),
# ROUNDS (2).
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
source "$source_dir/bench/process-stats.sh"
tasks=${TASKS:-20}
seconds=${SECONDS_PER_RUN:-${SECONDS_LEASE:-10}}
duration=${DURATION:-8}
connections=${CONNECTIONS:-32}
rounds=${ROUNDS:-2}
kestrum="$source_dir/build/kestrum"
[[ -x "$kestrum" ]] || bash "$source_dir/scripts/build.sh" kestrum >/dev/null
for tool in wrk nginx redis-server redis-cli; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || { echo "missing: $tool" >&2; exit 1; }
done

work="$(mktemp -d /tmp/kestrum-cluster-bench.XXXXXX)"
pids=()
redis_pid=""
nginx_pid=""
stop_nodes() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_nodes
  [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  [[ -n "$redis_pid" ]] && kill "$redis_pid" 2>/dev/null && wait "$redis_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

bash "$source_dir/scripts/gen-certs.sh" "$work/certs" >/dev/null
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --dir "$work" >"$work/redis.log" 2>&1 &
redis_pid=$!
for _ in $(seq 50); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.1; done

# A run directory: HTTP on `port`, Redis and the scheduler on (with `tasks` task files when lease is 1).
make_node() {
  local dir=$1 port=$2 with_tasks=$3
  mkdir -p "$dir/mod/crontab/tasks"
  cp -r "$source_dir/scripts/rundir/." "$dir/"
  cp -r "$work/certs/ssl-cert" "$dir/"
  rm -f "$dir/mod/crontab/tasks/"*.ini
  sed -i "s/^onDebug=.*/onDebug=0/; s/^port_http=.*/port_http=$port/; s/^port_https=.*/port_https=/;
          s/^whitelist=.*/whitelist=127.0.0.1/; s/^local_ip=.*/local_ip=127.0.0.1/; s/^ip_lookup_url=.*/ip_lookup_url=/;
          s/^instance_name=.*/instance_name=$(basename "$dir")/" "$dir/config.ini"
  sed -i 's/^on=.*/on=0/' "$dir/mod/mysql/config.ini"
  sed -i "s/^port=.*/port=$redis_port/" "$dir/mod/redis/config.ini"
  if ((with_tasks)); then
    sed -i 's/^lease_db=.*/lease_db=2/' "$dir/mod/crontab/config.ini"
    for ((t = 1; t <= tasks; t++)); do
      printf '[sys]\ntime=* * * * * *\n[info]\ntype=none\n' >"$dir/mod/crontab/tasks/t$t.ini"
    done
  else
    sed -i 's/^on=.*/on=0/' "$dir/mod/crontab/config.ini" "$dir/mod/redis/config.ini"
  fi
}
start_node() {
  "$kestrum" --headless --dir "$1" >"$1.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$2/api/this/heart" && return 0; sleep 0.1; done
  echo "instance in $1 did not start" >&2
  exit 1
}
redis_calls() {
  redis-cli -p "$redis_port" info commandstats | tr -d '\r' |
    awk -F'[=,:]' '/^cmdstat_/ { total += $3 } /^cmdstat_set:/ { set = $3; usec = $5 } /^cmdstat_ping:/ { ping = $3 }
                   END { print total + 0, set + 0, ping + 0, usec + 0 }'
}

echo "== lease: $tasks task files due every second per instance, ${seconds}s per run =="
printf '%-10s %11s %8s %8s %15s %13s %15s %14s\n' instances "commands/s" "SET/s" "PING/s" "redis CPU ms/s" "us in SET/s" "SET per moment" "moments run"
for n in 0 1 2 3; do
  for ((i = 1; i <= n; i++)); do
    make_node "$work/lease$n-$i" "$(free_port)" 1
  done
  for ((i = 1; i <= n; i++)); do
    port=$(awk -F= '/^port_http=/ { print $2 }' "$work/lease$n-$i/config.ini")
    start_node "$work/lease$n-$i" "$port"
  done
  ((n)) && sleep 3
  read -r c0 s0 p0 u0 < <(redis_calls)
  t0=$(cpu_ticks "$redis_pid")
  sleep "$seconds"
  read -r c1 s1 p1 u1 < <(redis_calls)
  t1=$(cpu_ticks "$redis_pid")
  # Claims live period + 5 s = 6 s: in steady state the database holds 6 claims per task when every moment ran.
  claimed=$(redis-cli -p "$redis_port" -n 2 dbsize)
  ticks=$(getconf CLK_TCK)
  awk -v n="$n" -v c=$((c1 - c0)) -v s=$((s1 - s0)) -v p=$((p1 - p0)) -v t=$((t1 - t0)) -v sec="$seconds" \
      -v hz="$ticks" -v tasks="$tasks" -v u=$((u1 - u0)) -v k="$claimed" \
      'BEGIN { printf "%-10d %11.1f %8.1f %8.1f %15.2f %13.1f %15.2f %13.0f%%\n", n, c / sec, s / sec, p / sec,
               t * 1000 / hz / sec, u / sec, s / (sec * tasks), k * 100 / (6 * tasks) }'
  stop_nodes
done

echo "== heartbeat: wrk -t1 -c$connections -d${duration}s, $rounds rounds =="
ports=()
for i in 1 2 3; do
  ports+=("$(free_port)")
  make_node "$work/web$i" "${ports[-1]}" 0
  start_node "$work/web$i" "${ports[-1]}"
done
nginx_conf() {
  local lb=$1
  shift
  mkdir -p "$work/nginx"
  {
    echo "daemon off; master_process off; worker_processes 1; pid $work/nginx/pid; error_log $work/nginx/error.log;"
    echo "events { worker_connections 4096; }"
    echo "http { access_log off; client_body_temp_path $work/nginx/b; proxy_temp_path $work/nginx/p;"
    echo "  fastcgi_temp_path $work/nginx/f; uwsgi_temp_path $work/nginx/u; scgi_temp_path $work/nginx/s;"
    echo "  upstream kestrum {"
    for port in "$@"; do echo "    server 127.0.0.1:$port max_fails=2 fail_timeout=5s;"; done
    echo "    keepalive 64; }"
    echo "  server { listen 127.0.0.1:$lb; keepalive_requests 1000000;"
    echo "    location / { proxy_pass http://kestrum; proxy_http_version 1.1; proxy_set_header Connection \"\";"
    echo "      proxy_next_upstream error timeout http_502 http_503; } } }"
  } >"$work/nginx/nginx.conf"
}
start_nginx() {
  [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  /usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
  nginx_pid=$!
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$1/api/this/heart" && return 0; sleep 0.1; done
}
lb1=$(free_port)
lb3=$(free_port)
run_wrk() {  # label port pids...
  local label=$1 port=$2
  shift 2
  local cpu0=0 ctx0=0 cpu1=0 ctx1=0 pid
  for pid in "$@"; do cpu0=$((cpu0 + $(cpu_ticks "$pid"))); ctx0=$((ctx0 + $(ctx_switches "$pid"))); done
  local out
  out=$(wrk -t1 -c"$connections" -d"${duration}s" --latency "http://127.0.0.1:$port/api/this/heart")
  for pid in "$@"; do cpu1=$((cpu1 + $(cpu_ticks "$pid"))); ctx1=$((ctx1 + $(ctx_switches "$pid"))); done
  local rps p99 requests
  rps=$(awk '/Requests\/sec/ { print $2 }' <<<"$out")
  p99=$(awk '$1 == "99%" { print $2 }' <<<"$out")
  requests=$(awk '/requests in/ { print $1 }' <<<"$out")
  awk -v l="$label" -v r="$rps" -v p="$p99" -v c=$((cpu1 - cpu0)) -v x=$((ctx1 - ctx0)) -v q="$requests" \
      -v hz="$(getconf CLK_TCK)" \
      'BEGIN { printf "%-22s %10.0f req/s  p99 %-8s  CPU %5.1f us/req  ctx %5.2f /req\n", l, r, p, c * 1e6 / hz / q, x / q }'
}
for ((r = 1; r <= rounds; r++)); do
  run_wrk "one instance" "${ports[0]}" "${pids[0]}"
  nginx_conf "$lb1" "${ports[0]}"
  start_nginx "$lb1"
  run_wrk "nginx + 1 instance" "$lb1" "${pids[0]}" "$nginx_pid"
  nginx_conf "$lb3" "${ports[@]}"
  start_nginx "$lb3"
  run_wrk "nginx + 3 instances" "$lb3" "${pids[@]}" "$nginx_pid"
done
