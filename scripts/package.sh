#!/usr/bin/env bash
# Builds the Debian package of the headless server: build/package/kestrum_VERSION_ARCH.deb.
#
# The package is made from build/ when that tree installs under /usr (only the server is built there: a tree
# with the desktop window has a headless server target of its own); otherwise (another prefix, or no tree yet)
# from build-package/, configured without the window and without tests. Usage: package.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
mkdir -p "$build/package"
out="$(cd "$build/package" && pwd)"

tree="$build"
if ! grep -qs '^CMAKE_INSTALL_PREFIX:PATH=/usr$' "$build/CMakeCache.txt"; then
  tree=build-package
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DKESTRUM_WITH_UI=OFF -DKESTRUM_BUILD_TESTS=OFF >/dev/null
fi
server=kestrum
if ninja -C "$tree" -t targets all | grep -q '^kestrum_headless:'; then
  server=kestrum_headless
fi
ninja -C "$tree" "$server"
rm -f "$out"/kestrum_*.deb
(cd "$tree" && cpack -G DEB -B "$out" >/dev/null)
echo "package: $(ls "$out"/kestrum_*.deb) (built from $tree/)"
