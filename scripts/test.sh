#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs the tests in three build folders, each with
# the fault injection hook the fault guard's tests use (scripts/build.sh --fault-hook):
#   --release  build-release/  Release (-O3), every target including the benchmarks; the Debian package
#                              (scripts/package.sh, its own build without the hook in build-package/); every test
#                              executable and the package test
#   --asan     build-asan/     AddressSanitizer + UndefinedBehaviorSanitizer (-O1); every test executable, and
#                              the binary-level tests run this build's kestrum; the tests that recover faults on
#                              purpose run apart as MODULE_faults, without the leak check (tests/CMakeLists.txt)
#   --tsan     build-tsan/     ThreadSanitizer (-O1); the threaded parts: log, http, scheduler, mysql, redis (their
#                              binary-level tests run the AddressSanitizer kestrum when it is built)
# No flag runs all three, in that order (what CI runs); flags run the named ones in turn. The tests start the
# Redis and MariaDB servers they need themselves, on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
flavours=("$@")
((${#flavours[@]})) || flavours=(--release --asan --tsan)

bash scripts/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
tsan_suites=(log http scheduler mysql redis)

for flavour in "${flavours[@]}"; do
  case "$flavour" in
    --release)
      bash scripts/build.sh --release --fault-hook
      bash scripts/package.sh build-release
      ctest --test-dir build-release --output-on-failure
      ;;
    --asan)
      bash scripts/build.sh --asan --fault-hook
      ctest --test-dir build-asan --output-on-failure
      ;;
    --tsan)
      bash scripts/build.sh --tsan --fault-hook $(printf '%s_tests ' "${tsan_suites[@]}")
      binary=
      [[ -x build-asan/kestrum ]] && binary=$root/build-asan/kestrum
      KESTRUM_TEST_BINARY=${KESTRUM_TEST_BINARY:-$binary} \
        ctest --test-dir build-tsan --output-on-failure -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\$"
      ;;
    *)
      echo "unknown flag $flavour (--release, --asan, --tsan)" >&2
      exit 2
      ;;
  esac
done
