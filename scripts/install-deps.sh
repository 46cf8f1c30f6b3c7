#!/usr/bin/env bash
# Installs what building, testing (and, with --bench, benchmarking; with --screenshots, taking the window's
# screenshots; with --fuzz, fuzzing) kestrum needs; only what is missing. Flags combine.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config git openssl curl python3 procps file dpkg-dev systemd
          libssl-dev libasio-dev libhttp-parser-dev libhiredis-dev libmariadb-dev libcurl4-openssl-dev
          libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev prometheus-cpp-dev
          qt6-base-dev qt6-qpa-plugins
          redis-server mariadb-server mariadb-client nginx-light python3-websockets)
for flag in "$@"; do
  case "$flag" in
    --bench) packages+=(wrk webdis sysbench redis-tools) ;;
    --screenshots) packages+=(xvfb xauth fonts-noto-cjk fonts-dejavu-core) ;;
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;  # libFuzzer builds (tests/*/fuzz)
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Services must not start on their own: tests and the demo start private servers.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
