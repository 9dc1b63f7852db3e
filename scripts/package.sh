#!/usr/bin/env bash
# Builds the Debian packages in a release build of its own (build-package/):
#   tarvo_VERSION_amd64.deb          the service, tarvoadm, tarvostore, tarvoctl, tarvoclient
#   tarvo-console_VERSION_amd64.deb  the Qt console
# and prints their paths, one a line. Needs what scripts/setup.sh installs (dpkg-dev comes with
# build-essential). TARVO_PACKAGE_BUILD names another build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TARVO_PACKAGE_BUILD:-$root/build-package}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON \
  -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=OFF >/dev/null
# Progress on stderr: stdout is the list of packages.
cmake --build "$build" -j "$(nproc)" >&2
rm -rf "$build/debs"
(cd "$build" && cpack -G DEB -B "$build/debs" >&2)
ls "$build"/debs/*.deb
