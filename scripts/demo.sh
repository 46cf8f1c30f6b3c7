#!/usr/bin/env bash
# The demo: installs what is missing, builds, prepares the run directory demo/, starts a private Redis and MariaDB
# on loopback and runs kestrum headless in the foreground. Ctrl-C (or SIGTERM) shuts kestrum down, then both servers.
#
#   scripts/demo.sh [--reset] [--prepare-only] [--dir DIR]
#
# What the user changed stays: the sample configuration files, task files and TLS files are laid down only where
# they are absent, and the Redis and MariaDB data (DIR/servers/) is kept between runs. The only keys the demo
# rewrites are the ones that point kestrum at its servers (mod/redis port, mod/mysql adress), and only when the
# servers had to move; it says so when it does.
#   --reset         put the sample configuration, task files and fresh TLS files back (data and logs stay)
#   --prepare-only  only prepare the run directory: no install, no build, no server
#   --dir DIR       run directory (default: demo/ at the top of the repository)
set -euo pipefail

# The script itself, whatever the directory it was started from and the cd below.
script="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
usage() {
    sed -n '5p' "$script" | sed 's/^#   /usage: /' >&2
    exit "$1"
}

here=$(pwd)
cd "$(dirname "$0")/.."
root=$(pwd)
demo="$root/demo"
reset=0
prepare_only=0
while (($#)); do
    case "$1" in
        --reset) reset=1 ;;
        --prepare-only) prepare_only=1 ;;
        --dir)
            (($# >= 2)) || usage 2
            [[ "$2" == /* ]] && demo="$2" || demo="$here/$2"
            shift
            ;;
        -h | --help) usage 0 ;;
        *) usage 2 ;;
    esac
    shift
done

say() { echo "demo: $*" >&2; }

# ini_value FILE KEY: the first value of KEY in FILE (any section), blanks trimmed.
ini_value() {
    sed -n "s/^[[:space:]]*$2[[:space:]]*=[[:space:]]*//p" "$1" 2>/dev/null | head -n 1 | tr -d '\r' |
        sed 's/[[:space:]]*$//'
}

# Lays down the sample files that are absent; with --reset, the samples replace the user's files.
created=()
prepare() {
    mkdir -p "$demo"
    if ((reset)); then
        rm -rf "$demo/config.ini" "$demo/mod" "$demo/ssl-cert"
        say "configuration, task and TLS files reset to the samples"
    fi
    local file
    for file in config.ini mod/mysql/config.ini mod/redis/config.ini mod/crontab/config.ini; do
        if [[ ! -e "$demo/$file" ]]; then
            mkdir -p "$(dirname "$demo/$file")"
            cp "scripts/rundir/$file" "$demo/$file"
            created+=("$file")
        fi
    done
    # The help pages are ours, not the user's: they follow the samples on every run.
    for file in help.html mod/mysql/help.html mod/redis/help.html mod/crontab/help.html; do
        mkdir -p "$(dirname "$demo/$file")"
        cp "scripts/rundir/$file" "$demo/$file"
    done
    # Task files come as a set: a task the user deleted does not come back.
    if [[ ! -d "$demo/mod/crontab/tasks" ]]; then
        cp -r scripts/rundir/mod/crontab/tasks "$demo/mod/crontab/"
        created+=(mod/crontab/tasks/)
    fi
    local tls=(ca.crt server.cer server.key ca2.crt server2.cer server2.key) present=0
    for file in "${tls[@]}"; do
        [[ -e "$demo/ssl-cert/$file" ]] && present=$((present + 1))
    done
    if ((present == 0)); then
        bash scripts/gen-certs.sh "$demo" >/dev/null
        created+=(ssl-cert/)
    elif ((present < ${#tls[@]})); then
        say "$demo/ssl-cert/ is incomplete: kestrum will name the missing file (--reset makes new TLS files)"
    fi
    if ((${#created[@]})); then
        say "created in $demo: ${created[*]}"
    fi
    if ((${#created[@]} < 6)); then
        say "kept your files in $demo (scripts/demo.sh --reset restores the samples)"
    fi
}

if ((prepare_only)); then
    prepare
    exit 0
fi

bash scripts/install-deps.sh
bash scripts/build.sh kestrum
prepare

redis_config="$demo/mod/redis/config.ini"
mysql_config="$demo/mod/mysql/config.ini"

# Redis: on the configured port when it is free (or already ours), otherwise on the first free one.
redis_args=("$demo/servers/redis")
wanted=$(ini_value "$redis_config" port)
if ! redis_port=$(bash scripts/start-redis.sh --keep-data "${redis_args[@]}" ${wanted:+"$wanted"} 2>/dev/null); then
    redis_port=$(bash scripts/start-redis.sh --keep-data "${redis_args[@]}")
fi
mysql_host=$(bash scripts/start-mariadb.sh "$demo/servers/mariadb")
stop_servers() {
    bash scripts/start-redis.sh --stop "$demo/servers/redis" || true
    bash scripts/start-mariadb.sh --stop "$demo/servers/mariadb" || true
}
trap stop_servers EXIT

if [[ "$(ini_value "$redis_config" port)" != "$redis_port" ]]; then
    sed -i "0,/^[[:space:]]*port[[:space:]]*=.*/s//port=$redis_port/" "$redis_config"
    say "Redis runs on port $redis_port: set port=$redis_port in $redis_config"
fi
if [[ "$(ini_value "$mysql_config" adress)" != "$mysql_host" ]]; then
    sed -i "0,/^[[:space:]]*adress[[:space:]]*=.*/s//adress=$mysql_host/" "$mysql_config"
    say "MariaDB runs on $mysql_host: set adress=$mysql_host in $mysql_config"
fi
if [[ " ${created[*]} " == *" mod/mysql/config.ini "* && -n "${KESTRUM_DEMO_PASSWORD:-}" ]]; then
    sed -i "s/^password=.*/password=$KESTRUM_DEMO_PASSWORD/" "$mysql_config"
fi
# The sample rows are added once; rows the user changed or added stay.
mariadb --no-defaults --protocol=socket --socket="$demo/servers/mariadb/mysqld.sock" --user=root \
    --default-character-set=utf8mb4 kestrum_demo -e "
  CREATE TABLE IF NOT EXISTS kv (id INT PRIMARY KEY, name VARCHAR(64), price DECIMAL(10,2), created TIMESTAMP
    DEFAULT CURRENT_TIMESTAMP) CHARACTER SET utf8mb4;
  INSERT IGNORE INTO kv (id, name, price) VALUES (1, 'alpha', 12.50), (2, '中文', 3.00), (3, 'emoji 😀', 0.99);"

# Passes kestrum's status lines through and, once the start-up has shown its last one (HTTPS), tells where the
# server answers and what to try.
announce() {
    local line http="" https="" heart="" mysql="" redis=""
    while IFS= read -r line; do
        printf '%s\n' "$line"
        case "$line" in
            "heart: "*) heart=${line#heart: } ;;
            "mysql api root: "*) mysql=${line#mysql api root: } ;;
            "redis api root: "*) redis=${line#redis api root: } ;;
            "http: "*) http=${line#http: } ;;
            "https: "*)
                https=${line#https: }
                ready "$http" "$https" "$heart" "$mysql" "$redis"
                ;;
        esac
    done
}

ready() {
    local http=$1 https=$2 heart=$3 mysql=$4 redis=$5 base="" curl="curl"
    if [[ "$http" == http://*:* ]]; then
        base=$http
    elif [[ "$https" == https://*:* ]]; then
        base=$https
        curl="curl -k"
    fi
    echo
    echo "kestrum is ready. Run directory $demo (logs in log/; check it with: build/kestrum --check --dir $demo)"
    [[ "$http" == http://*:* ]] && echo "  HTTP     $http"
    [[ "$https" == https://*:* ]] && echo "  HTTPS    $https (self-signed: curl -k)"
    echo "  Redis    127.0.0.1:$redis_port    MariaDB  $mysql_host:3306 (database kestrum_demo)"
    if [[ -z "$base" ]]; then
        echo "No listener runs: see the messages above (config.ini port_http, port_https)."
        return
    fi
    echo "Try, from another terminal:"
    echo "  $curl $base$heart"
    [[ -n "$mysql" ]] && echo "  $curl -d '{\"sql\":\"select * from kv\"}' $base$mysql"
    [[ -n "$redis" ]] && echo "  $curl -d '{\"db\":0,\"key\":\"k\",\"value\":\"v\",\"outtime\":60000}' $base$redis/set"
    echo "Ctrl-C stops kestrum, Redis and MariaDB; configuration and data stay in $demo."
    echo
}

# Not exec: the trap must stop the servers after kestrum has shut down.
"$root/build/kestrum" --headless --dir "$demo" > >(announce) &
server=$!
trap 'kill -TERM $server 2>/dev/null || true' INT TERM
wait $server || true
wait $server 2>/dev/null || true
