#!/usr/bin/env bash
# Sets up, builds, and runs every test twice: in the normal build and under ASan + UBSan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --sanitize
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Most tests wait on the daemon's time rules rather than compute, so eight run at once on two
# processors (the soak takes two of the slots; see tests/CMakeLists.txt).
for dir in build build-asan; do
  echo "== tests in $dir"
  ctest --test-dir "$root/$dir" --output-on-failure -j 8 --timeout 600
done
