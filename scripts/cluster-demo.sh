#!/usr/bin/env bash
# Several instances behind one load balancer: three kestrum instances on the demo configuration (ports 8081,
# 8082, 8083), sharing one private Redis and MariaDB, behind nginx on 127.0.0.1:8080. The scheduler's lease
# (mod/crontab/config.ini lease_db) makes each due moment of a task file run on one instance only. Everything goes
# to cluster-demo/ at the top of the repository (configuration, servers, logs); demo/ of scripts/demo.sh is never
# touched.
#
#   scripts/cluster-demo.sh           run in the foreground; Ctrl-C stops nginx, the instances and the servers
#   scripts/cluster-demo.sh --check   start, check, stop: callers through nginx while one instance is killed,
#                                     and a task due every second run once per moment by the group
#
# Knobs: NODES (default 3), BASE_PORT (8081), LB_PORT (8080), CHECK_SECONDS (6), CHECK_REQUESTS (10000).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
check=0
[[ "${1:-}" == "--check" ]] && check=1
nodes=${NODES:-3}
base_port=${BASE_PORT:-8081}
lb_port=${LB_PORT:-8080}
check_seconds=${CHECK_SECONDS:-6}

bash scripts/install-deps.sh
bash scripts/build.sh kestrum

demo="$root/cluster-demo"
cluster="$demo/nodes"
mkdir -p "$demo"
cp -r scripts/rundir/. "$demo/"
bash scripts/gen-certs.sh "$demo" >/dev/null

redis_port=$(bash scripts/start-redis.sh "$demo/servers/redis")
mysql_host=$(bash scripts/start-mariadb.sh "$demo/servers/mariadb")
pids=()
nginx_pid=""
cleanup() {
  [[ -n "$nginx_pid" ]] && kill -TERM "$nginx_pid" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}" $nginx_pid; do wait "$pid" 2>/dev/null || true; done
  bash scripts/start-redis.sh --stop "$demo/servers/redis" || true
  bash scripts/start-mariadb.sh --stop "$demo/servers/mariadb" || true
}
trap cleanup EXIT

sed -i "s/^port=.*/port=$redis_port/" "$demo/mod/redis/config.ini"
sed -i "s/^adress=.*/adress=$mysql_host/; s/^password=.*/password=${KESTRUM_DEMO_PASSWORD:-kestrum-demo}/" \
  "$demo/mod/mysql/config.ini"

# One run directory per instance: the demo's configuration with its own port, name and log folder. The lease
# goes to Redis database 2, for which the demo's Redis configuration opens a connection set.
rm -rf "$cluster"
for ((i = 1; i <= nodes; i++)); do
  node="$cluster/node$i"
  mkdir -p "$node"
  cp -r "$demo/config.ini" "$demo/mod" "$demo/ssl-cert" "$node/"
  sed -i "s/^port_http=.*/port_http=$((base_port + i - 1))/; s/^port_https=.*/port_https=/;
          s/^instance_name=.*/instance_name=node$i/" "$node/config.ini"
  sed -i "s/^lease_db=.*/lease_db=2/" "$node/mod/crontab/config.ini"
  if ((check)); then
    printf '[sys]\ntime=* * * * * *\n[info]\ntype=http\nmethod=get\nurl=http://127.0.0.1:%s/api/this/heart\n' \
      "$lb_port" >"$node/mod/crontab/tasks/tick.ini"
  fi
done

# nginx: round robin with passive health checks. An instance that refuses or drops a connection is left out
# for fail_timeout; requests that failed on it before anything was sent (and idempotent ones, such as the
# heartbeat) are passed on to the next instance.
mkdir -p "$cluster/nginx"
upstream=""
for ((i = 1; i <= nodes; i++)); do
  upstream+="    server 127.0.0.1:$((base_port + i - 1)) max_fails=2 fail_timeout=5s;"$'\n'
done
cat >"$cluster/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $cluster/nginx/nginx.pid;
error_log $cluster/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $cluster/nginx/body;
  proxy_temp_path $cluster/nginx/proxy;
  fastcgi_temp_path $cluster/nginx/fastcgi;
  uwsgi_temp_path $cluster/nginx/uwsgi;
  scgi_temp_path $cluster/nginx/scgi;
  upstream kestrum {
$upstream    keepalive 32;
  }
  server {
    listen 127.0.0.1:$lb_port;
    keepalive_requests 100000;
    location / {
      proxy_pass http://kestrum;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_connect_timeout 1s;
      proxy_read_timeout 30s;
      proxy_next_upstream error timeout http_502 http_503;
      proxy_next_upstream_tries 2;
    }
  }
}
EOF

for ((i = 1; i <= nodes; i++)); do
  "$root/build/kestrum" --headless --dir "$cluster/node$i" >"$cluster/node$i.out" 2>&1 &
  pids+=($!)
done
/usr/sbin/nginx -p "$cluster/nginx" -c "$cluster/nginx/nginx.conf" -e "$cluster/nginx/error.log" &
nginx_pid=$!

heart="http://127.0.0.1:$lb_port/api/this/heart"
for ((i = 1; i <= nodes; i++)); do
  port=$((base_port + i - 1))
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/api/this/heart" && break
    sleep 0.1
  done
done
curl -sf -o /dev/null "$heart" || { echo "cluster: nginx does not answer on $lb_port" >&2; exit 1; }
echo "cluster: $nodes instances on ports $base_port.. behind nginx on 127.0.0.1:$lb_port;" \
     "Redis 127.0.0.1:$redis_port (lease in database 2); MariaDB $mysql_host:3306; run directories $cluster" >&2

if ((!check)); then
  trap 'cleanup; trap - EXIT; exit 0' INT TERM
  wait "${pids[@]}" || true
  exit 0
fi

# --check 1: callers through nginx (one curl, keep-alive, requests one after the other) while instance 2 is
# killed (SIGKILL) in the middle.
requests=${CHECK_REQUESTS:-10000}
for ((k = 0; k < requests; k++)); do echo "url = \"$heart\""; done >"$cluster/urls.txt"
(sleep 0.5; kill -KILL "${pids[1]}") &
killer=$!
began=$(date +%s.%N)
codes=$(curl -s --max-time 60 -K "$cluster/urls.txt" -w '\n%{http_code}\n' | grep -a -x '[0-9][0-9][0-9]' || true)
took=$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
wait $killer || true
answers=$(grep -c -x 200 <<<"$codes" || true)
failures=$((requests - answers))
echo "check: $answers of $requests heartbeats answered through nginx, $failures failed in ${took}s; node2 was killed after 0.5s"

# --check 2: the task due every second, run once per moment by the group (count the "do" lines of all logs).
sleep 1
count_runs() { cat "$cluster"/node*/log/* 2>/dev/null | LC_ALL=C grep -a -c 'do[^a-z(]*name(tick)' || true; }
before=$(count_runs)
sleep "$check_seconds"
runs=$(($(count_runs) - before))
echo "check: task 'tick' ran $runs times in $check_seconds seconds on the $((nodes - 1)) instances left"
keys=$(redis-cli -p "$redis_port" -n 2 --scan --pattern 'kestrum:lease:tick:*' | head -3)
for key in $keys; do echo "check: $key -> $(redis-cli -p "$redis_port" -n 2 GET "$key")"; done

ok=1
((failures == 0)) || { echo "check: FAILED: callers saw failures" >&2; ok=0; }
((runs >= check_seconds - 1 && runs <= check_seconds + 1)) || { echo "check: FAILED: not one run per moment" >&2; ok=0; }
((ok)) && echo "check: ok"
((ok))
