#!/usr/bin/env bash
# Installs every Debian package Tarvo needs and builds it into build/. Safe to run again.
# Usage: scripts/setup.sh [--sanitize]   (--sanitize builds build-asan/ with ASan and UBSan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
mapfile -t packages < <(grep -v '^#' "$root/scripts/packages.txt" | grep -v '^$')
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

build() {  # build <dir> <cmake options...>
  local dir=$1; shift
  cmake -S "$root" -B "$root/$dir" -G Ninja -DTARVO_WERROR=ON "$@"
  cmake --build "$root/$dir" -j "$(nproc)"
}
build build
if [ "${1:-}" = "--sanitize" ]; then
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVO_SANITIZE=ON -DTARVO_BUILD_BENCH=OFF
fi
