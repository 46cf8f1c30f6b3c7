# Shared by start-redis.sh and start-mariadb.sh (sourced): a private server known by its pid file.

# Prints the pid recorded in $pidfile when that process is alive; fails otherwise.
running_pid() {
    [[ -f "$pidfile" ]] || return 1
    local pid
    pid=$(cat "$pidfile" 2>/dev/null) || return 1
    [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

# stop_server NAME TENTHS: ends the server of $pidfile, waiting up to TENTHS tenths of a second, then exits 0.
stop_server() {
    local pid
    if pid=$(running_pid); then
        kill "$pid"
        for _ in $(seq 1 "$2"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        rm -f "$pidfile"
        echo "stopped $1 in $dir" >&2
    else
        echo "no $1 running in $dir" >&2
    fi
    exit 0
}
