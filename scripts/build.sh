#!/usr/bin/env bash
# Configures and builds kestrum with warnings as errors and with the fault injection hook that the tests use: every
# target, or the ones named.
#   bash scripts/build.sh [--release | --asan | --tsan] [TARGET...]
#     (default)  build/          optimised with debug info (RelWithDebInfo)
#     --release  build-release/  Release (-O3), benchmarks included
#     --asan     build-asan/     AddressSanitizer + UndefinedBehaviorSanitizer, -O1
#     --tsan     build-tsan/     ThreadSanitizer, -O1
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "${1:-}" in
  --release) dir=build-release options=(-DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON) && shift ;;
  --asan) dir=build-asan options=(-DCMAKE_BUILD_TYPE=Sanitize -DKESTRUM_SANITIZE=address,undefined) && shift ;;
  --tsan) dir=build-tsan options=(-DCMAKE_BUILD_TYPE=Sanitize -DKESTRUM_SANITIZE=thread) && shift ;;
esac
cmake -S . -B "$dir" -G Ninja -DKESTRUM_WERROR=ON -DKESTRUM_FAULT_INJECTION=ON "${options[@]}" >/dev/null
# One job per core: several builds may share the machine (ninja alone would start two more).
ninja -C "$dir" -j "$(nproc)" "$@"
