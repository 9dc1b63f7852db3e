#!/usr/bin/env bash
# Builds the daemon with clang and -Wthread-safety -Werror in build-tsa/: a field touched without
# the lock that guards it, or a function called without the lock it requires, fails the build.
# Usage: scripts/thread_safety_build.sh [target...]   (default: the daemon and its libraries)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-tsa"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(TarvoServer)
if ! command -v clang++ >/dev/null; then
  echo "thread_safety_build.sh: clang++ not found; scripts/setup.sh installs it" >&2
  exit 1
fi
cmake -S "$root" -B "$build" -G Ninja -DTARVO_THREAD_SAFETY=ON -DTARVO_WERROR=ON \
  -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
echo "thread_safety_build.sh: the lock annotations hold"
