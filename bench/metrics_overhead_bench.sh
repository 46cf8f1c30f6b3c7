#!/usr/bin/env bash
# What the metrics page costs the request path: two kestrum instances from one binary, one with metrics_path set
# (and scraped once a second during its runs, as Prometheus would), one without, driven alternately by the same
# wrk heartbeat load. Prints every run, the medians of requests/s and p99, kestrum's CPU time per request, and
# the on/off ratio.
#
# Usage: bench/metrics_overhead_bench.sh [seconds per run (8)] [connections (32)] [rounds (5)]
# KESTRUM_BIN=path uses that binary instead of building build-bench-http/ (Release, -O2).
set -euo pipefail

duration="${1:-8}"
connections="${2:-32}"
rounds="${3:-5}"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"

for tool in wrk curl python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
binary="${KESTRUM_BIN:-}"
if [[ -z "$binary" ]]; then
  build_dir="$source_dir/build-bench-http"
  cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DKESTRUM_BUILD_TESTS=OFF -DKESTRUM_WITH_UI=OFF >/dev/null
  ninja -C "$build_dir" -j2 kestrum >/dev/null
  binary="$build_dir/kestrum"
fi

work="$(mktemp -d /tmp/kestrum-metrics-bench.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

declare -A port pid
for variant in off on; do
  run="$work/$variant"
  cp -r "$source_dir/scripts/rundir" "$run"
  bash "$source_dir/scripts/gen-certs.sh" "$run" >/dev/null
  port[$variant]=$(free_port)
  metrics=""
  [[ $variant == on ]] && metrics=/metrics
  sed -i "s/^onDebug=.*/onDebug=0/; s/^port_http=.*/port_http=${port[$variant]}/; s/^port_https=.*/port_https=/;
          s/^whitelist=.*/whitelist=127.0.0.1/; s/^local_ip=.*/local_ip=127.0.0.1/; s#^metrics_path=.*#metrics_path=$metrics#" \
    "$run/config.ini"
  for module in mysql redis crontab; do sed -i 's/^on=.*/on=0/' "$run/mod/$module/config.ini"; done
  "$binary" --headless --dir "$run" >"$work/$variant.out" 2>&1 &
  pid[$variant]=$!
  pids+=("$!")
done
for variant in off on; do
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:${port[$variant]}/api/this/heart" && break
    sleep 0.1
  done
done
curl -sf -o /dev/null "http://127.0.0.1:${port[on]}/metrics" || { echo "no metrics page" >&2; exit 1; }

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# run VARIANT -> "requests/s p99_ms cpu_us_per_request"
run_wrk() {
  local variant=$1 out rps p99 requests before after scraper=""
  if [[ $variant == on ]]; then
    (while true; do curl -s -o /dev/null "http://127.0.0.1:${port[on]}/metrics"; sleep 1; done) &
    scraper=$!
  fi
  before=$(cpu_ticks "${pid[$variant]}")
  out="$(wrk -t1 -c"$connections" -d"${duration}s" --latency "http://127.0.0.1:${port[$variant]}/api/this/heart")"
  after=$(cpu_ticks "${pid[$variant]}")
  [[ -n "$scraper" ]] && { kill "$scraper"; wait "$scraper" 2>/dev/null || true; }
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  requests=$(awk '/requests in/ {print $1}' <<<"$out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v*=1000}; print v}' <<<"$out")
  echo "$rps $p99 $(echo "($after - $before) * 1000000 / $(getconf CLK_TCK) / $requests" | bc -l)"
}
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

echo "wrk -t1 -c$connections -d${duration}s, $rounds rounds alternating off/on, cores: $(nproc)"
declare -A rps_list p99_list cpu_list
for round in $(seq "$rounds"); do
  order="off on"
  ((round % 2 == 0)) && order="on off"
  for variant in $order; do
    read -r rps p99 cpu < <(run_wrk "$variant")
    printf 'round %d  metrics %-3s %10.0f req/s  p99 %7.2f ms  cpu %6.2f us/req\n' "$round" "$variant" "$rps" "$p99" "$cpu"
    rps_list[$variant]+="$rps"$'\n'; p99_list[$variant]+="$p99"$'\n'; cpu_list[$variant]+="$cpu"$'\n'
  done
done
for variant in off on; do
  printf 'median   metrics %-3s %10.0f req/s  p99 %7.2f ms  cpu %6.2f us/req\n' "$variant" \
    "$(printf '%s' "${rps_list[$variant]}" | median)" "$(printf '%s' "${p99_list[$variant]}" | median)" \
    "$(printf '%s' "${cpu_list[$variant]}" | median)"
done
printf 'on/off throughput ratio (medians): %.3f\n' \
  "$(echo "$(printf '%s' "${rps_list[on]}" | median) / $(printf '%s' "${rps_list[off]}" | median)" | bc -l)"
