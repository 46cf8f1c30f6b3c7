#!/usr/bin/env bash
# The Debian package, unpacked into a scratch root (dpkg -x): its files, its control data, the systemd unit, and
# the installed binary serving the installed sample configuration on loopback.
#
# Usage: package_test.sh PACKAGE_DIR. Exits 77 (skipped) when PACKAGE_DIR holds no kestrum_*.deb: scripts/package.sh
# builds it (scripts/test.sh does so before running the tests).
set -euo pipefail

package_dir="$1"
shopt -s nullglob
debs=("$package_dir"/kestrum_*.deb)
if ((${#debs[@]} == 0)); then
  echo "SKIPPED: no kestrum_*.deb in $package_dir; build it with scripts/package.sh"
  exit 77
fi
deb="${debs[0]}"
echo "package: $deb ($(date -r "$deb" '+%F %T'))"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  "$@" || fail "$what"
}

scratch="$(mktemp -d /tmp/kestrum-package-XXXXXX)"
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
root="$scratch/root"
dpkg -x "$deb" "$root"
control="$(dpkg-deb -f "$deb")"

# --- control data ---
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in adduser libc6 libssl3 libcurl4 libhiredis libmariadb3 libhttp-parser; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib (dpkg-shlibdeps): $depends"
done
check "package name" grep -qx 'Package: kestrum' <<<"$control"
conffiles="$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)"
expected_conffiles="$(cd "$root" && find etc/kestrum -type f | sed 's#^#/#' | sort)"
[[ "$(sort <<<"$conffiles")" == "$expected_conffiles" && -n "$conffiles" ]] ||
  fail "conffiles are not exactly the files under /etc/kestrum: $conffiles"
postinst="$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst)"
check "postinst creates the system user kestrum" grep -q 'getent passwd kestrum' <<<"$postinst"
check "postinst creates a system user" grep -q -- '--system' <<<"$postinst"
if grep -Eq 'systemctl[^#]* (start|restart|enable --now)|deb-systemd-invoke (start|restart)' <<<"$postinst"; then
  fail "postinst starts the service"
fi

# --- files ---
check "/usr/bin/kestrum is an executable" test -x "$root/usr/bin/kestrum"
if readelf -d "$root/usr/bin/kestrum" | grep -q 'NEEDED.*libQt'; then
  fail "the packaged binary links Qt (the package carries the headless build)"
fi
# The fault injection hook is for test builds only: a server that knows its request header can be made to fault
# by any whitelisted caller. The header's name is in every binary that has the hook.
if grep -aqiF 'X-Kestrum-Fault' "$root/usr/bin/kestrum"; then
  fail "the packaged binary contains the fault injection hook (X-Kestrum-Fault): package a build without it"
fi
for f in config.ini mod/mysql/config.ini mod/redis/config.ini mod/crontab/config.ini; do
  check "/etc/kestrum/$f" test -f "$root/etc/kestrum/$f"
done
check "/etc/kestrum/ssl-cert/" test -d "$root/etc/kestrum/ssl-cert"
check "/var/log/kestrum/" test -d "$root/var/log/kestrum"
for link in config.ini:/etc/kestrum/config.ini mod:/etc/kestrum/mod ssl-cert:/etc/kestrum/ssl-cert log:/var/log/kestrum; do
  name="${link%%:*}"
  target="${link#*:}"
  [[ "$(readlink "$root/var/lib/kestrum/$name")" == "$target" ]] || fail "/var/lib/kestrum/$name does not point to $target"
done
# The packaged sample is neutral: every module off, loopback only, no credentials, no task, pointers to the README.
for f in mod/mysql/config.ini mod/redis/config.ini mod/crontab/config.ini; do
  grep -qx 'on=0' "$root/etc/kestrum/$f" || fail "/etc/kestrum/$f does not switch its module off"
done
grep -qx 'whitelist=127.0.0.1' "$root/etc/kestrum/config.ini" || fail "the sample whitelist is not 127.0.0.1"
if grep -Eq '^(user|password)=.+' "$root/etc/kestrum/mod/mysql/config.ini" "$root/etc/kestrum/mod/redis/config.ini"; then
  fail "the sample carries credentials"
fi
if grep -rqi 'demo' "$root/etc/kestrum"; then
  fail "the sample mentions the demo: $(grep -rli demo "$root/etc/kestrum")"
fi
tasks=("$root"/etc/kestrum/mod/crontab/tasks/*)
((${#tasks[@]} == 0)) || fail "the sample carries task files: ${tasks[*]}"
grep -q '/usr/share/doc/kestrum/README.md' "$root/etc/kestrum/config.ini" || fail "config.ini does not point at the README"
check "/usr/share/doc/kestrum/README.md" test -f "$root/usr/share/doc/kestrum/README.md"
help="$("$root/usr/bin/kestrum" --help)"
grep -qF '/usr/share/doc/kestrum/README.md' <<<"$help" || fail "--help does not name /usr/share/doc/kestrum/README.md: $help"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
if grep -qF "$source_dir" <<<"$help"; then
  fail "--help names the source tree $source_dir"
fi

mode="$(stat -c %a "$root/etc/kestrum/mod/mysql/config.ini")"
[[ "$mode" == 640 ]] || fail "mod/mysql/config.ini (database password) has mode $mode, not 640"

# --- systemd unit ---
unit="$root/lib/systemd/system/kestrum.service"
check "kestrum.service" test -f "$unit"
for line in 'ExecStart=/usr/bin/kestrum --headless --dir /var/lib/kestrum' 'User=kestrum' 'Restart=on-failure' \
  'NoNewPrivileges=yes' 'ProtectSystem=strict' 'ReadWritePaths=/var/lib/kestrum /var/log/kestrum' \
  'PrivateTmp=yes' 'ProtectHome=yes' 'WorkingDirectory=/var/lib/kestrum' \
  'ConditionPathExists=/etc/kestrum/ssl-cert/server2.key' 'WantedBy=multi-user.target' \
  'ExecReload=/bin/kill -HUP $MAINPID'; do
  grep -qxF "$line" "$unit" || fail "unit lacks '$line'"
done
if command -v systemd-analyze >/dev/null; then
  # verify wants the command to exist: point it at the unpacked binary. It reports problems but exits 0.
  sed "s#=/usr/bin/kestrum#=$root/usr/bin/kestrum#" "$unit" >"$scratch/kestrum.service"
  problems="$(systemd-analyze verify "$scratch/kestrum.service" 2>&1 || true)"
  [[ -z "$problems" ]] || fail "systemd-analyze verify: $problems"
else
  echo "note: systemd-analyze not installed, unit syntax not verified"
fi

# --- the installed binary on the installed sample configuration ---
# The run directory is laid out as /var/lib/kestrum is: links to a copy of /etc/kestrum and to a log directory.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
etc="$scratch/etc"
run="$scratch/run"
logs="$scratch/logs"
cp -a "$root/etc/kestrum" "$etc"
mkdir -p "$run" "$logs"
ln -s "$etc/config.ini" "$run/config.ini"
ln -s "$etc/mod" "$run/mod"
ln -s "$etc/ssl-cert" "$run/ssl-cert"
ln -s "$logs" "$run/log"
bash "$root/usr/share/kestrum/gen-certs.sh" "$etc" >/dev/null
http_port="$(free_port)"
https_port="$(free_port)"
sed -i "s/^port_http=.*/port_http=$http_port/; s/^port_https=.*/port_https=$https_port/" "$etc/config.ini"
(cd "$run" && exec "$root/usr/bin/kestrum" --headless --dir "$run" >"$scratch/stdout" 2>&1) &
server_pid=$!
answer=""
for _ in $(seq 50); do
  answer="$(curl -s --max-time 2 "http://127.0.0.1:$http_port/api/this/heart" || true)"
  [[ -n "$answer" ]] && break
  sleep 0.2
done
[[ "$answer" == $'\xEF\xBB\xBF''da da da ...' ]] || fail "HTTP heartbeat answered '$answer'"
answer="$(curl -sk --max-time 2 "https://127.0.0.1:$https_port/api/this/heart" || true)"
[[ "$answer" == $'\xEF\xBB\xBF''da da da ...' ]] || fail "HTTPS heartbeat answered '$answer'"
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[[ "$status" == 0 ]] || fail "SIGTERM: exit status $status"
log_files=("$logs"/*.txt)
if ((${#log_files[@]} != 1)); then
  fail "expected one log file under the linked log directory, found ${#log_files[@]}"
else
  grep -aq 'app/end' "${log_files[0]}" || fail "the log has no shutdown line"
  # What callers sent ends up in the log: readable by the owner and the group only.
  log_mode="$(stat -c %a "${log_files[0]}")"
  expected_mode="$(printf '%o' $((8#640 & ~8#$(umask))))"
  [[ "$log_mode" == "$expected_mode" ]] || fail "the log file has mode $log_mode, not $expected_mode (0640 under umask $(umask))"
fi

if ((failures)); then
  echo "--- server output ---"
  cat "$scratch/stdout"
  echo "$failures package check(s) failed"
  exit 1
fi
echo "package checks passed"
