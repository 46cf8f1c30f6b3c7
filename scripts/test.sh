#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test. The tests start the Redis and MariaDB
# servers they need themselves, on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure
