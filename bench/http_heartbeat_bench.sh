#!/usr/bin/env bash
# Heartbeat throughput: kestrum against nginx answering the same 15-byte body, over HTTP and HTTPS (keep-alive).
#
# Builds kestrum in Release (build-release/), starts it headless with debug off and every back-end module off,
# starts nginx with a private configuration on loopback, and drives both with the same wrk settings, alternating
# kestrum / nginx ROUNDS times per scheme. Prints requests/s, p99 latency, CPU time and context switches per
# request of every run and their medians, the ratio kestrum/nginx of requests/s and the CPU efficiency (nginx's
# CPU per request / kestrum's), and kestrum's resident memory when idle and after the load.
#
# Pinned by default (bench/lib.sh): kestrum and nginx on CPU 0, nginx with one worker process, wrk on CPU 1;
# PINNED=0 runs unpinned (nginx with one worker per core).
#
# Usage: bench/http_heartbeat_bench.sh [seconds per run (8)] [connections (32)] [rounds (2)]
# KESTRUM_BIN=path uses that binary instead of building build-release/.
set -euo pipefail

duration="${1:-8}"
connections="${2:-32}"
rounds="${3:-2}"
threads=1
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$source_dir/build-release"
work_log=$(mktemp /tmp/kestrum-bench-build.XXXXXX)

binary="${KESTRUM_BIN:-$build_dir/kestrum}"

for tool in wrk nginx openssl cmake ninja; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

if [[ -z "${KESTRUM_BIN:-}" ]] && ! bash "$source_dir/scripts/build.sh" --release kestrum >"$work_log" 2>&1; then
    tail -20 "$work_log" >&2
    exit 1
fi
rm -f "$work_log"

work="$(mktemp -d /tmp/kestrum-bench.XXXXXX)"
kestrum_pid=""
nginx_pid=""
cleanup() {
    [[ -n "$kestrum_pid" ]] && kill "$kestrum_pid" 2>/dev/null && wait "$kestrum_pid" 2>/dev/null || true
    [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

source "$source_dir/bench/lib.sh"
k_http=$(free_port); k_https=$(free_port); n_http=$(free_port); n_https=$(free_port)

# --- kestrum run directory: every module off ---
run="$work/run"
kestrum_run_dir "$run" "port_http=$k_http" "port_https=$k_https"
"${on_server[@]}" "$binary" --headless --dir "$run" >"$work/kestrum.out" 2>&1 &
kestrum_pid=$!

# --- nginx with the same answer ---
mkdir -p "$work/nginx/logs"
printf '%s' 740391 >"$work/nginx/pass"
body=$'\xEF\xBB\xBF''da da da ...'
nginx_workers=auto
((PINNED)) && nginx_workers=1  # one core for the servers: one worker
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $nginx_workers;
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
"${on_server[@]}" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!

for url in "http://127.0.0.1:$k_http" "https://127.0.0.1:$k_https" "http://127.0.0.1:$n_http" \
    "https://127.0.0.1:$n_https"; do
    wait_http "$url/api/this/heart"
done
[[ "$(curl -s "http://127.0.0.1:$k_http/api/this/heart")" == "$(curl -s "http://127.0.0.1:$n_http/api/this/heart")" ]] ||
    { echo "bodies differ" >&2; exit 1; }

rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$kestrum_pid/status"; }
idle_rss=$(rss_kib)
# nginx serves from its worker processes; the master only starts them.
nginx_pids=("$nginx_pid" $(pgrep -P "$nginx_pid"))

# run NAME URL PID...: one wrk run; appends "requests/s p99-ms CPU-us/request switches/request" of the processes
# to $work/NAME.runs and prints it.
run_wrk() {
    local name=$1 url=$2 out c0 c1 s0 s1 rps requests
    shift 2
    c0=$(cpu_ticks "$@"); s0=$(ctx_switches "$@")
    out="$("${on_load[@]}" wrk -t"$threads" -c"$connections" -d"${duration}s" --latency "$url")"
    c1=$(cpu_ticks "$@"); s1=$(ctx_switches "$@")
    rps=$(wrk_rps <<<"$out")
    requests=$(awk -v r="$rps" -v d="$duration" 'BEGIN { print r * d }')
    echo "$rps $(wrk_p99_ms <<<"$out") $(cpu_us_per_request $((c1 - c0)) "$requests") $(per_request $((s1 - s0)) "$requests")" |
        tee -a "$work/$name.runs"
}

echo "wrk -t$threads -c$connections -d${duration}s, $rounds rounds, cores: $(nproc); $(bench_mode)"
printf '%-5s %-6s %-8s %12s %8s %14s %12s\n' scheme round server "requests/s" "p99 ms" "CPU us/req" "switches/req"
for scheme in http https; do
    if [[ $scheme == http ]]; then k_url="http://127.0.0.1:$k_http/api/this/heart"; n_url="http://127.0.0.1:$n_http/api/this/heart"
    else k_url="https://127.0.0.1:$k_https/api/this/heart"; n_url="https://127.0.0.1:$n_https/api/this/heart"; fi
    # Alternating runs, so that load from elsewhere on the machine hits both alike.
    for round in $(seq "$rounds"); do
        read -r rps p99 cpu sw < <(run_wrk "kestrum-$scheme" "$k_url" "$kestrum_pid")
        printf '%-5s %-6s %-8s %12.0f %8.2f %14s %12s\n' "$scheme" "$round" kestrum "$rps" "$p99" "$cpu" "$sw"
        read -r rps p99 cpu sw < <(run_wrk "nginx-$scheme" "$n_url" "${nginx_pids[@]}")
        printf '%-5s %-6s %-8s %12.0f %8.2f %14s %12s\n' "$scheme" "$round" nginx "$rps" "$p99" "$cpu" "$sw"
    done
    for server in kestrum nginx; do
        printf '%-5s %-6s %-8s %12.0f %8.2f %14s %12s\n' "$scheme" median "$server" \
            "$(awk '{print $1}' "$work/$server-$scheme.runs" | median)" "$(awk '{print $2}' "$work/$server-$scheme.runs" | median)" \
            "$(awk '{print $3}' "$work/$server-$scheme.runs" | median)" "$(awk '{print $4}' "$work/$server-$scheme.runs" | median)"
    done
    printf '%-5s ratio kestrum/nginx (median requests/s) %.2f, CPU efficiency (nginx CPU/req / kestrum CPU/req) %s\n' \
        "$scheme" "$(awk -v a="$(awk '{print $1}' "$work/kestrum-$scheme.runs" | median)" \
               -v b="$(awk '{print $1}' "$work/nginx-$scheme.runs" | median)" 'BEGIN { print (b > 0 ? a / b : 0) }')" \
        "$(efficiency "$(awk '{print $3}' "$work/nginx-$scheme.runs" | median)" \
                      "$(awk '{print $3}' "$work/kestrum-$scheme.runs" | median)")"
done
echo "kestrum RSS: idle $((idle_rss / 1024)) MiB ($idle_rss KiB), after load $(( $(rss_kib) / 1024 )) MiB"
