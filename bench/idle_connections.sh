#!/usr/bin/env bash
# Memory of idle keep-alive connections: kestrum against nginx holding the same clients.
#
# For each server and each scheme, a fresh server process is started, warmed with a few requests, and its
# resident memory read; then bench/idle_clients.py opens the connections (half of them after one answered
# heartbeat request, half without a byte sent; over TLS every one finishes its handshake) and holds them
# idle, and the memory is read again. The growth divided by the number of connections is what one idle
# connection costs. Beside the plain connections, wrk measures the heartbeat's p99 latency, to show the idle
# crowd does not slow the busy ones. nginx's figure sums its master and worker processes.
#
# Usage: bench/idle_connections.sh [plain connections (10000)] [TLS connections (2000)] [wrk seconds (5)]
# SERVERS="kestrum" leaves nginx out (default "kestrum nginx").
set -euo pipefail

plain_count="${1:-10000}"
tls_count="${2:-2000}"
duration="${3:-5}"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$source_dir/build-bench-http"

for tool in wrk nginx openssl cmake ninja python3 curl; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (bash scripts/install-deps.sh --bench)" >&2; exit 1; }
done

# Every client connection costs a descriptor here and one in the server.
ulimit -n "$(ulimit -Hn)"
limit=$(ulimit -n)
if ((limit < plain_count + 200)); then
    plain_count=$((limit - 200))
    echo "descriptor limit $limit: $plain_count plain connections" >&2
fi

# Release at -O2: GCC 12 at -O3 reports false -Wrestrict errors in std::string code under -Werror.
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKESTRUM_BUILD_TESTS=OFF >/dev/null
if ! ninja -C "$build_dir" -j2 kestrum >"$build_dir/bench-build.log" 2>&1; then
    tail -20 "$build_dir/bench-build.log" >&2
    exit 1
fi

work="$(mktemp -d /tmp/kestrum-idle.XXXXXX)"
server_pid=""
client_pid=""
stop_client() {
    if [[ -n "$client_pid" ]]; then
        exec 3>&-
        wait "$client_pid" 2>/dev/null || true
        client_pid=""
    fi
}
stop_server() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=""
    fi
}
cleanup() {
    stop_client
    stop_server
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
http_port=$(free_port)
https_port=$(free_port)

# --- kestrum run directory: no back ends, no idle time-out during the run ---
run="$work/run"
cp -r "$source_dir/scripts/rundir" "$run"
bash "$source_dir/scripts/gen-certs.sh" "$run" >/dev/null
sed -i "s/^onDebug=.*/onDebug=0/; s/^port_http=.*/port_http=$http_port/; s/^port_https=.*/port_https=$https_port/;
        s/^whitelist=.*/whitelist=127.0.0.1/; s/^local_ip=.*/local_ip=127.0.0.1/; s/^ip_lookup_url=.*/ip_lookup_url=/;
        s/^idle_timeout=.*/idle_timeout=3600/" "$run/config.ini"
for module in mysql redis crontab; do
    [[ -f "$run/mod/$module/config.ini" ]] && sed -i 's/^on=.*/on=0/' "$run/mod/$module/config.ini"
done

# --- nginx answering the same heartbeat ---
mkdir -p "$work/nginx/logs"
printf '%s' 740391 >"$work/nginx/pass"
body=$'\xEF\xBB\xBF''da da da ...'
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes auto;
worker_rlimit_nofile $limit;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log error;
events { worker_connections $limit; }
http {
    access_log off;
    keepalive_requests 100000000;
    keepalive_timeout 3600s;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$http_port;
        listen 127.0.0.1:$https_port ssl;
        ssl_certificate $run/ssl-cert/server.cer;
        ssl_certificate_key $run/ssl-cert/server.key;
        ssl_password_file $work/nginx/pass;
        location = /api/this/heart { return 200 "$body"; }
    }
}
CONF

start_server() {
    if [[ $1 == kestrum ]]; then
        "$build_dir/kestrum" --headless --dir "$run" >"$work/kestrum.out" 2>&1 &
    else
        nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
    fi
    server_pid=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$http_port/api/this/heart" && break
        sleep 0.1
    done
    # Warm-up: first requests and handshakes allocate what every later connection shares.
    for _ in 1 2 3 4 5; do
        curl -s -o /dev/null "http://127.0.0.1:$http_port/api/this/heart"
        curl -sk -o /dev/null "https://127.0.0.1:$https_port/api/this/heart"
    done
    sleep 0.5
}

# Resident KiB of the server: the process and its children (nginx's workers).
rss_kib() {
    local total=0 pid
    for pid in "$server_pid" $(pgrep -P "$server_pid" || true); do
        total=$((total + $(awk '/VmRSS/ {print $2}' "/proc/$pid/status")))
    done
    echo "$total"
}

# p99 of the heartbeat in ms under wrk -c32
heartbeat_p99() {
    wrk -t1 -c32 -d"${duration}s" --latency "http://127.0.0.1:$http_port/api/this/heart" |
        awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v*=1000}; print v}'
}

# measure SERVER SCHEME COUNT
measure() {
    local server=$1 scheme=$2 count=$3 port=$http_port flags="" before after p99="-" alone="-"
    [[ $scheme == tls ]] && { port=$https_port; flags="--tls"; }
    start_server "$server"
    # The same load without the idle crowd, for comparison (the machine's other work shows up here too).
    [[ $scheme == plain ]] && alone=$(heartbeat_p99)
    sleep 0.5
    before=$(rss_kib)
    rm -f "$work/hold" && mkfifo "$work/hold"
    python3 "$source_dir/bench/idle_clients.py" 127.0.0.1 "$port" "$count" $flags <"$work/hold" >"$work/client.out" &
    client_pid=$!
    exec 3>"$work/hold"
    local began=$SECONDS
    until grep -q '^ready' "$work/client.out"; do
        kill -0 "$client_pid" 2>/dev/null || { echo "$server $scheme: client failed" >&2; exit 1; }
        sleep 0.2
    done
    local opened=$((SECONDS - began))
    sleep 1
    after=$(rss_kib)
    [[ $scheme == plain ]] && p99=$(heartbeat_p99)
    printf '%-7s %-5s %6d idle: RSS %7d -> %7d KiB, +%6.1f MiB, %6.2f KiB each; heartbeat p99 beside: %s ms (alone %s ms; opened in %d s)\n' \
        "$server" "$scheme" "$count" "$before" "$after" "$(echo "($after - $before) / 1024" | bc -l)" \
        "$(echo "($after - $before) / $count" | bc -l)" "$p99" "$alone" "$opened"
    stop_client
    stop_server
}

echo "idle keep-alive connections, half after one answered request; cores: $(nproc), descriptor limit $limit"
for scheme in plain tls; do
    count=$plain_count
    [[ $scheme == tls ]] && count=$tls_count
    for server in ${SERVERS:-kestrum nginx}; do
        measure "$server" "$scheme" "$count"
    done
done
