#!/usr/bin/env bash
# Configures and builds kestrum in build/ (optimised, with debug info, with the fault injection hook that the
# tests use): every target, or the ones named.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_FAULT_INJECTION=ON >/dev/null
ninja -C build "$@"
