#!/usr/bin/env bash
# Pictures of the desktop window for the README: prepares the demo run directory (as scripts/demo.sh does,
# with a private Redis and MariaDB on loopback), runs the window under Xvfb and saves PNG files of the main
# window, the configuration editor, the help window and two notices into docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh --screenshots
bash scripts/build.sh kestrum_screenshots

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

out="$root/docs/screenshots"
mkdir -p "$out"
# Ports of the sample configuration may be taken by a running demo: the pictures then show "fail".
LANG=C.UTF-8 xvfb-run -a -s "-screen 0 1280x900x24 -dpi 96" \
  "$root/build/src/ui/kestrum_screenshots" "$demo" "$out"
ls -l "$out"
