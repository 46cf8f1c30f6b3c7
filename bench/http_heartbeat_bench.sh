#!/usr/bin/env bash
# Heartbeat throughput: kestrum against nginx answering the same 15-byte body, over HTTP and HTTPS (keep-alive).
#
# Builds kestrum in Release (build-bench-http/), starts it headless with debug off and every back-end module off,
# starts nginx with a private configuration on loopback, and drives both with the same wrk settings, alternating
# kestrum / nginx ROUNDS times per scheme. Prints requests/s and p99 latency of every run, the averages, the ratio
# kestrum/nginx, and kestrum's resident memory when idle and after the load.
#
# Usage: bench/http_heartbeat_bench.sh [seconds per run (8)] [connections (32)] [rounds (2)]
set -euo pipefail

duration="${1:-8}"
connections="${2:-32}"
rounds="${3:-2}"
threads=1
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$source_dir/build-bench-http"

for tool in wrk nginx openssl cmake ninja; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

# Release at -O2: GCC 12 at -O3 reports false -Wrestrict errors in std::string code under -Werror.
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKESTRUM_BUILD_TESTS=OFF >/dev/null
if ! ninja -C "$build_dir" -j2 kestrum >"$build_dir/bench-build.log" 2>&1; then
    tail -20 "$build_dir/bench-build.log" >&2
    exit 1
fi

work="$(mktemp -d /tmp/kestrum-bench.XXXXXX)"
kestrum_pid=""
nginx_pid=""
cleanup() {
    [[ -n "$kestrum_pid" ]] && kill "$kestrum_pid" 2>/dev/null && wait "$kestrum_pid" 2>/dev/null || true
    [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
k_http=$(free_port); k_https=$(free_port); n_http=$(free_port); n_https=$(free_port)

# --- kestrum run directory ---
run="$work/run"
cp -r "$source_dir/scripts/rundir" "$run"
bash "$source_dir/scripts/gen-certs.sh" "$run" >/dev/null
sed -i "s/^onDebug=.*/onDebug=0/; s/^port_http=.*/port_http=$k_http/; s/^port_https=.*/port_https=$k_https/;
        s/^whitelist=.*/whitelist=127.0.0.1/; s/^local_ip=.*/local_ip=127.0.0.1/; s/^ip_lookup_url=.*/ip_lookup_url=/" \
    "$run/config.ini"
for module in mysql redis crontab; do
    [[ -f "$run/mod/$module/config.ini" ]] && sed -i 's/^on=.*/on=0/' "$run/mod/$module/config.ini"
done
"$build_dir/kestrum" --headless --dir "$run" >"$work/kestrum.out" 2>&1 &
kestrum_pid=$!

# --- nginx with the same answer ---
mkdir -p "$work/nginx/logs"
printf '%s' 740391 >"$work/nginx/pass"
body=$'\xEF\xBB\xBF''da da da ...'
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log error;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 100000000;
    keepalive_timeout 60s;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$n_http;
        listen 127.0.0.1:$n_https ssl;
        ssl_certificate $run/ssl-cert/server.cer;
        ssl_certificate_key $run/ssl-cert/server.key;
        ssl_password_file $work/nginx/pass;
        location = /api/this/heart { return 200 "$body"; }
    }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!

wait_for() {
    for _ in $(seq 100); do
        curl -sk -o /dev/null "$1" && return 0
        sleep 0.1
    done
    echo "no answer from $1" >&2
    exit 1
}
wait_for "http://127.0.0.1:$k_http/api/this/heart"
wait_for "https://127.0.0.1:$k_https/api/this/heart"
wait_for "http://127.0.0.1:$n_http/api/this/heart"
wait_for "https://127.0.0.1:$n_https/api/this/heart"
[[ "$(curl -s "http://127.0.0.1:$k_http/api/this/heart")" == "$(curl -s "http://127.0.0.1:$n_http/api/this/heart")" ]] ||
    { echo "bodies differ" >&2; exit 1; }

rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$kestrum_pid/status"; }
idle_rss=$(rss_kib)

# run URL -> "requests/s p99_ms"
run_wrk() {
    local out rps p99
    out="$(wrk -t"$threads" -c"$connections" -d"${duration}s" --latency "$1")"
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v*=1000}; print v}' <<<"$out")
    echo "$rps $p99"
}

echo "wrk -t$threads -c$connections -d${duration}s, $rounds rounds, cores: $(nproc)"
for scheme in http https; do
    if [[ $scheme == http ]]; then k_url="http://127.0.0.1:$k_http/api/this/heart"; n_url="http://127.0.0.1:$n_http/api/this/heart"
    else k_url="https://127.0.0.1:$k_https/api/this/heart"; n_url="https://127.0.0.1:$n_https/api/this/heart"; fi
    k_sum=0; n_sum=0; k_p99=0; n_p99=0
    for round in $(seq "$rounds"); do
        read -r rps p99 < <(run_wrk "$k_url")
        printf '%-5s round %d  kestrum %10.0f req/s  p99 %7.2f ms\n' "$scheme" "$round" "$rps" "$p99"
        k_sum=$(echo "$k_sum + $rps" | bc -l); k_p99=$(echo "$k_p99 + $p99" | bc -l)
        read -r rps p99 < <(run_wrk "$n_url")
        printf '%-5s round %d  nginx   %10.0f req/s  p99 %7.2f ms\n' "$scheme" "$round" "$rps" "$p99"
        n_sum=$(echo "$n_sum + $rps" | bc -l); n_p99=$(echo "$n_p99 + $p99" | bc -l)
    done
    printf '%-5s average  kestrum %10.0f req/s  p99 %7.2f ms | nginx %10.0f req/s  p99 %7.2f ms | ratio %.2f\n' \
        "$scheme" "$(echo "$k_sum / $rounds" | bc -l)" "$(echo "$k_p99 / $rounds" | bc -l)" \
        "$(echo "$n_sum / $rounds" | bc -l)" "$(echo "$n_p99 / $rounds" | bc -l)" "$(echo "$k_sum / $n_sum" | bc -l)"
done
echo "kestrum RSS: idle $((idle_rss / 1024)) MiB ($idle_rss KiB), after load $(( $(rss_kib) / 1024 )) MiB"
