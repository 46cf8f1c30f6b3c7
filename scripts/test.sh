#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, packages, runs every test. The tests start the Redis and
# MariaDB servers they need themselves, on loopback; the package test unpacks build/package/kestrum_*.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
bash scripts/package.sh
ctest --test-dir build --output-on-failure
