#!/usr/bin/env bash
# Configures and builds kestrum in build/ (optimised, with debug info): every target, or the ones named.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build "$@"
