#!/usr/bin/env bash
# Builds the Debian package of the headless server: BUILD_DIR/package/kestrum_VERSION_ARCH.deb.
#
# The package is always made from a build of its own, build-package/ (scripts/build.sh --package: Release, installed
# under /usr, without the window, the tests, the benchmarks and the fault injection hook of the test builds); only
# the server is compiled there. BUILD_DIR only says where the package goes, so that the package test of that tree
# finds it. Usage: package.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
mkdir -p "$build/package"
out="$(cd "$build/package" && pwd)"

tree=build-package
bash scripts/build.sh --package kestrum
rm -f "$out"/kestrum_*.deb
(cd "$tree" && cpack -G DEB -B "$out" >/dev/null)
echo "package: $(ls "$out"/kestrum_*.deb) (built from $tree/)"
