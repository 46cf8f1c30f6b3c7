#!/usr/bin/env bash
# Starts a private redis-server for the demo, on 127.0.0.1, without persistence unless --keep-data is given.
#
#   scripts/start-redis.sh [--keep-data] DIR [PORT]     start (or find running) the server that lives in DIR;
#                                                       --keep-data saves the data in DIR/dump.rdb at shutdown
#                                                       (and every minute) and loads it at the next start
#   scripts/start-redis.sh DIR [PORT] --config RUNDIR   the same, then point RUNDIR/mod/redis/config.ini at it
#   scripts/start-redis.sh --stop DIR                   shut it down
#
# The working directory, pid file and log stay under DIR; no system service is touched. PORT defaults to the
# first free one of 6379 .. 6399. On success the port is the only line printed on standard output; progress goes
# to standard error. The written configuration opens connections to databases 0, 1 and 2 ([dbsum] 0=4, 1=2, 2=2).
set -euo pipefail

usage() { echo "usage: $0 [--keep-data] DIR [PORT] [--config RUNDIR] | $0 --stop DIR" >&2; exit 2; }

stop=0
save=("")
if [[ "${1:-}" == "--keep-data" ]]; then save=("60 1"); shift; fi
config_dir=""
if [[ "${1:-}" == "--stop" ]]; then stop=1; shift; fi
if [[ $stop -eq 0 && $# -ge 3 && "${*: -2:1}" == "--config" ]]; then
    config_dir=${*: -1}
    set -- "${@:1:$(($# - 2))}"
fi
[[ $# -ge 1 && $# -le 2 ]] || usage
[[ $stop -eq 0 || $# -eq 1 ]] || usage

mkdir -p "$1"
dir=$(cd "$1" && pwd)
pidfile="$dir/redis.pid"

source "$(dirname "$0")/server-lib.sh"

if [[ $stop -eq 1 ]]; then
    stop_server Redis 100
fi

# Writes the module configuration of a kestrum run directory for this server (the file is replaced).
write_config() {
    [[ -n "$config_dir" ]] || return 0
    mkdir -p "$config_dir/mod/redis"
    printf '[sys]\non=1\nip=127.0.0.1\nport=%s\npassword=\nisUnicode=1\napi_url=/api/redis\n[dbsum]\n0=4\n1=2\n2=2\n' \
        "$1" >"$config_dir/mod/redis/config.ini"
    echo "wrote $config_dir/mod/redis/config.ini" >&2
}

if pid=$(running_pid) && [[ -f "$dir/port" ]]; then
    echo "Redis already running in $dir (pid $pid)" >&2
    write_config "$(cat "$dir/port")"
    cat "$dir/port"
    exit 0
fi

port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

if [[ $# -eq 2 ]]; then
    candidates=("$2")
else
    candidates=($(seq 6379 6399))
fi
port=""
for candidate in "${candidates[@]}"; do
    port_taken "$candidate" && continue
    setsid redis-server --port "$candidate" --bind 127.0.0.1 --save "${save[@]}" --appendonly no --dir "$dir" \
        --daemonize no --pidfile "$pidfile" --logfile "$dir/redis.log" </dev/null >/dev/null 2>&1 &
    server=$!
    for _ in $(seq 1 100); do
        kill -0 "$server" 2>/dev/null || break
        if [[ "$(redis-cli -h 127.0.0.1 -p "$candidate" ping 2>/dev/null)" == "PONG" ]]; then
            port=$candidate
            break
        fi
        sleep 0.1
    done
    [[ -n "$port" ]] && break
    kill "$server" 2>/dev/null || true
done
if [[ -z "$port" ]]; then
    echo "could not start Redis on 127.0.0.1 port ${candidates[*]}, see $dir/redis.log" >&2
    exit 1
fi
echo "$server" >"$pidfile"
echo "$port" >"$dir/port"
write_config "$port"
echo "Redis on 127.0.0.1:$port, files in $dir" >&2
echo "$port"
