# Sourced by the benchmark scripts: free ports, waits, a kestrum run directory, wrk figures, what processes
# used (CPU time, context switches) read from /proc, per request, pinned mode and the CPU efficiency figure.

# Pinned mode (PINNED=1, the default): the servers a benchmark compares and their back ends run on CPU
# SERVER_CPU (0) with `taskset -c`, the load generator on LOAD_CPU (1). Every server then has the same single
# core however many threads it starts, and the load generator takes no cycles from it. PINNED=0 leaves every
# process where the scheduler puts it. Pinning needs both CPUs in this shell's affinity; without them the
# benchmark runs unpinned and says so.
#   "${on_server[@]}" COMMAND ... &     starts a server (or back end) on the server CPU
#   "${on_load[@]}" COMMAND ...         runs a load generator (wrk, sysbench, curl) on the load CPU
PINNED=${PINNED:-1}
SERVER_CPU=${SERVER_CPU:-0}
LOAD_CPU=${LOAD_CPU:-1}
on_server=()
on_load=()
if [[ $PINNED == 1 ]]; then
    if [[ $SERVER_CPU != "$LOAD_CPU" ]] && taskset -c "$SERVER_CPU" true 2>/dev/null &&
        taskset -c "$LOAD_CPU" true 2>/dev/null; then
        on_server=(taskset -c "$SERVER_CPU")
        on_load=(taskset -c "$LOAD_CPU")
    else
        echo "pinning needs CPUs $SERVER_CPU and $LOAD_CPU; running unpinned" >&2
        PINNED=0
    fi
else
    PINNED=0
fi

# pin_servers PID...: moves running processes, all their threads, to the server CPU (for back ends that a
# helper script started in the background). Nothing when unpinned.
pin_servers() {
    ((PINNED)) || return 0
    local pid
    for pid in "$@"; do taskset -a -p -c "$SERVER_CPU" "$pid" >/dev/null; done
}

# One line that says how the processes were placed, for the benchmark's header.
bench_mode() {
    if ((PINNED)); then
        echo "pinned: servers and back ends on CPU $SERVER_CPU, load generator on CPU $LOAD_CPU"
    else
        echo "unpinned: servers, back ends and load generator share $(nproc) CPUs"
    fi
}

# efficiency REFERENCE_US KESTRUM_US: the CPU efficiency, the reference's CPU per request divided by
# kestrum's, each with its back end included (Webdis + Redis against kestrum + Redis). Above 1 kestrum does
# the same work with less CPU. Unlike requests/s it barely moves when a VM's CPU is stolen by neighbours.
efficiency() { awk -v r="$1" -v k="$2" 'BEGIN { if (r > 0 && k > 0) printf "%.2f", r / k; else print "?" }'; }

# A loopback TCP port that was free a moment ago.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Waits up to 10 s until URL answers (any status; TLS unchecked); fails with a message otherwise.
wait_http() {
    for _ in $(seq 1 100); do
        curl -sk -o /dev/null -m 1 "$1" && return 0
        sleep 0.1
    done
    echo "no answer from $1" >&2
    return 1
}

# Waits up to 10 s until something accepts connections on 127.0.0.1:PORT.
wait_port() {
    for _ in $(seq 1 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on 127.0.0.1:$1" >&2
    return 1
}

# kestrum_run_dir DIR [LINE...]: a kestrum run directory serving 127.0.0.1 on 127.0.0.1 with debug lines off,
# every module off and fresh TLS files; each LINE ("port_http=8080") is added to config.ini [sys]. A module is
# switched on by writing its mod/NAME/config.ini afterwards.
kestrum_run_dir() {
    local dir=$1 module
    shift
    mkdir -p "$dir"
    printf '[sys]\nonDebug=0\nlocal_ip=127.0.0.1\nwhitelist=127.0.0.1\nip_lookup_url=\n' >"$dir/config.ini"
    printf '%s\n' "$@" >>"$dir/config.ini"
    for module in mysql redis crontab; do
        mkdir -p "$dir/mod/$module"
        printf '[sys]\non=0\n' >"$dir/mod/$module/config.ini"
    done
    # Start-up sets up both TLS contexts even with HTTPS off.
    bash "$(dirname "${BASH_SOURCE[0]}")/../scripts/gen-certs.sh" "$dir" >/dev/null 2>&1
}

# CPU time in clock ticks (user + system) of the processes given, all their threads.
cpu_ticks() {
    local pid sum=0
    for pid in "$@"; do
        sum=$((sum + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
    done
    echo "$sum"
}

# Context switches, voluntary and forced, of all threads of the processes given.
ctx_switches() {
    local pid
    for pid in "$@"; do cat /proc/"$pid"/task/*/status 2>/dev/null; done |
        awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'
}

# cpu_us_per_request TICKS REQUESTS: microseconds of CPU per request.
cpu_us_per_request() {
    awk -v t="$1" -v n="$2" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", (n > 0 ? t / hz * 1e6 / n : 0) }'
}

# per_request COUNT REQUESTS: a count (context switches) per request.
per_request() { awk -v c="$1" -v n="$2" 'BEGIN { printf "%.1f", (n > 0 ? c / n : 0) }'; }

# Figures from wrk's output (standard input): requests per second; the 99th latency percentile in ms (--latency).
wrk_rps() { awk '/^Requests\/sec:/ { print $2 }'; }
wrk_p99_ms() {
    awk '$1 == "99%" { v = $2; if (v ~ /us$/) { sub(/us$/, "", v); v /= 1000 } else if (v ~ /ms$/) { sub(/ms$/, "", v) }
                       else if (v ~ /s$/) { sub(/s$/, "", v); v *= 1000 }; printf "%.2f", v }'
}

# The median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
