#!/usr/bin/env bash
# Configures and builds kestrum with warnings as errors: every target, or the ones named.
#   bash scripts/build.sh [--release | --asan | --tsan | --package] [--fault-hook] [TARGET...]
#     (default)     build/          optimised with debug info (RelWithDebInfo)
#     --release     build-release/  Release (-O3), benchmarks included
#     --asan        build-asan/     AddressSanitizer + UndefinedBehaviorSanitizer, -O1
#     --tsan        build-tsan/     ThreadSanitizer, -O1
#     --package     build-package/  what the Debian package ships (scripts/package.sh): Release, installed under
#                                   /usr, headless, no tests, no benchmarks
#     --fault-hook  compiles the fault injection hook (a request header that faults the network thread) that the
#                   fault guard's tests use; scripts/test.sh asks for it. Never for a server that is deployed: a
#                   build without the flag leaves the hook out, even in a tree that had it before.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
hook=OFF
package=0
while (($#)); do
  case "$1" in
    --release) dir=build-release options=(-DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_BENCH=ON) ;;
    --asan) dir=build-asan options=(-DCMAKE_BUILD_TYPE=Sanitize -DKESTRUM_SANITIZE=address,undefined) ;;
    --tsan) dir=build-tsan options=(-DCMAKE_BUILD_TYPE=Sanitize -DKESTRUM_SANITIZE=thread) ;;
    --package)
      dir=build-package package=1
      options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKESTRUM_WITH_UI=OFF
               -DKESTRUM_BUILD_TESTS=OFF -DKESTRUM_BUILD_BENCH=OFF -DKESTRUM_SANITIZE=)
      ;;
    --fault-hook) hook=ON ;;
    --) shift && break ;;
    -*) echo "build.sh: unknown flag $1" >&2 && exit 2 ;;
    *) break ;;
  esac
  shift
done
if ((package)) && [[ "$hook" == ON ]]; then
  echo "build.sh: the package never carries the fault injection hook" >&2
  exit 2
fi
# The hook is always set explicitly: CMake keeps a cached ON otherwise.
cmake -S . -B "$dir" -G Ninja -DKESTRUM_WERROR=ON -DKESTRUM_FAULT_INJECTION=$hook "${options[@]}" >/dev/null
# One job per core: several builds may share the machine (ninja alone would start two more).
ninja -C "$dir" -j "$(nproc)" "$@"
