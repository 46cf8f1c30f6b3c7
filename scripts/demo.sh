#!/usr/bin/env bash
# The demo: installs what is missing, builds, prepares the run directory demo/ (sample configuration, fresh TLS
# files), starts a private Redis and MariaDB on loopback and runs kestrum headless in the foreground.
# Ctrl-C (or SIGTERM) shuts kestrum down, then both servers.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
bash scripts/build.sh kestrum

demo="$root/demo"
mkdir -p "$demo"
cp -r scripts/rundir/. "$demo/"
bash scripts/gen-certs.sh "$demo" >/dev/null

redis_port=$(bash scripts/start-redis.sh "$demo/servers/redis")
mysql_host=$(bash scripts/start-mariadb.sh "$demo/servers/mariadb")
stop_servers() {
  bash scripts/start-redis.sh --stop "$demo/servers/redis" || true
  bash scripts/start-mariadb.sh --stop "$demo/servers/mariadb" || true
}
trap stop_servers EXIT

sed -i "s/^port=.*/port=$redis_port/" "$demo/mod/redis/config.ini"
sed -i "s/^adress=.*/adress=$mysql_host/; s/^password=.*/password=${KESTRUM_DEMO_PASSWORD:-kestrum-demo}/" \
  "$demo/mod/mysql/config.ini"
mariadb --no-defaults --protocol=socket --socket="$demo/servers/mariadb/mysqld.sock" --user=root --default-character-set=utf8mb4 kestrum_demo -e "
  CREATE TABLE IF NOT EXISTS kv (id INT PRIMARY KEY, name VARCHAR(64), price DECIMAL(10,2), created TIMESTAMP
    DEFAULT CURRENT_TIMESTAMP) CHARACTER SET utf8mb4;
  REPLACE INTO kv (id, name, price) VALUES (1, 'alpha', 12.50), (2, '中文', 3.00), (3, 'emoji 😀', 0.99);"

echo "kestrum: run directory $demo; Redis 127.0.0.1:$redis_port; MariaDB $mysql_host:3306" >&2
# Not exec: the trap must stop the servers after kestrum has shut down.
"$root/build/kestrum" --headless --dir "$demo" &
server=$!
trap 'kill -TERM $server 2>/dev/null || true' INT TERM
wait $server || true
wait $server 2>/dev/null || true
