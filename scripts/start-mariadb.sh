#!/usr/bin/env bash
# Starts a private MariaDB server for the demo, on a loopback address with port 3306.
#
#   scripts/start-mariadb.sh DIR                   start (or find running) the server whose data lives in DIR
#   scripts/start-mariadb.sh DIR --config RUNDIR   the same, then point RUNDIR/mod/mysql/config.ini at it
#   scripts/start-mariadb.sh --stop DIR            shut it down
#
# The data directory, socket, pid file and logs all stay under DIR; no system database or service is touched.
# The server binds the first address of 127.0.0.2 .. 127.0.0.9 whose port 3306 is free. The database
# "kestrum_demo" and its user are created (user and password from KESTRUM_DEMO_USER / KESTRUM_DEMO_PASSWORD,
# default "kestrum" / "kestrum-demo"). On success the address is the only line printed on standard output;
# progress goes to standard error.
set -euo pipefail

usage() { echo "usage: $0 DIR [--config RUNDIR] | $0 --stop DIR" >&2; exit 2; }

stop=0
config_dir=""
if [[ "${1:-}" == "--stop" ]]; then stop=1; shift; fi
if [[ $stop -eq 0 && $# -eq 3 && "$2" == "--config" ]]; then
    config_dir=$3
    set -- "$1"
fi
[[ $# -eq 1 ]] || usage

mkdir -p "$1"
dir=$(cd "$1" && pwd)
data="$dir/data"
sock="$dir/mysqld.sock"
pidfile="$dir/mysqld.pid"
user=${KESTRUM_DEMO_USER:-kestrum}
password=${KESTRUM_DEMO_PASSWORD:-kestrum-demo}
database=kestrum_demo

source "$(dirname "$0")/server-lib.sh"

if [[ $stop -eq 1 ]]; then
    stop_server MariaDB 300
fi

# Writes the module configuration of a kestrum run directory for this server (the file is replaced).
write_config() {
    [[ -n "$config_dir" ]] || return 0
    mkdir -p "$config_dir/mod/mysql"
    printf '[sys]\non=1\nconnectSum=5\nadress=%s\nuser=%s\npassword=%s\ndatabase=%s\napi_url=/api/mysql\n' \
        "$1" "$user" "$password" "$database" >"$config_dir/mod/mysql/config.ini"
    echo "wrote $config_dir/mod/mysql/config.ini" >&2
}

if pid=$(running_pid) && [[ -f "$dir/address" ]]; then
    echo "MariaDB already running in $dir (pid $pid)" >&2
    write_config "$(cat "$dir/address")"
    cat "$dir/address"
    exit 0
fi

if [[ ! -d "$data/mysql" ]]; then
    echo "creating data directory $data" >&2
    mariadb-install-db --no-defaults --user=root --datadir="$data" --auth-root-authentication-method=socket \
        --skip-test-db --skip-name-resolve >"$dir/install.log" 2>&1 || {
        echo "mariadb-install-db failed, see $dir/install.log" >&2
        exit 1
    }
fi
mkdir -p "$dir/tmp"

port_taken() { (exec 3<>"/dev/tcp/$1/3306") 2>/dev/null; }

address=""
for last in 2 3 4 5 6 7 8 9; do
    candidate="127.0.0.$last"
    port_taken "$candidate" && continue
    rm -f "$sock"
    setsid mariadbd --no-defaults --user=root --datadir="$data" --socket="$sock" --pid-file="$pidfile" \
        --tmpdir="$dir/tmp" --bind-address="$candidate" --port=3306 --skip-name-resolve \
        --max-connections=500 --log-error="$dir/error.log" </dev/null >>"$dir/server.log" 2>&1 &
    server=$!
    for _ in $(seq 1 600); do
        if ! kill -0 "$server" 2>/dev/null; then break; fi
        if mariadb --no-defaults --protocol=socket --socket="$sock" --user=root -e "select 1" >/dev/null 2>&1; then
            address=$candidate
            break
        fi
        sleep 0.1
    done
    [[ -n "$address" ]] && break
    kill "$server" 2>/dev/null || true
done
if [[ -z "$address" ]]; then
    echo "could not start MariaDB on 127.0.0.2-9 port 3306, see $dir/error.log" >&2
    exit 1
fi

quote() { printf "'%s'" "${1//\'/\'\'}"; }
mariadb --no-defaults --protocol=socket --socket="$sock" --user=root -e "
    CREATE DATABASE IF NOT EXISTS \`$database\` CHARACTER SET utf8mb4;
    CREATE USER IF NOT EXISTS $(quote "$user")@'%' IDENTIFIED BY $(quote "$password");
    ALTER USER $(quote "$user")@'%' IDENTIFIED BY $(quote "$password");
    GRANT ALL PRIVILEGES ON \`$database\`.* TO $(quote "$user")@'%';"
echo "$address" >"$dir/address"
write_config "$address"
echo "MariaDB on $address:3306 (database $database, user $user), data in $dir" >&2
echo "$address"
