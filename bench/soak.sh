#!/usr/bin/env bash
# The soak test for ten minutes (or SECONDS_TO_RUN): clients log in, relay TCP and UDP, resolve
# names and disconnect at random; it prints its figures and fails on any failed operation, a
# leak, descriptors not returned, or memory that grows by more than 1 % from the first half to
# the second (after a warm-up third; 10 % on an ASan build, whose allocator grows by itself).
# Best run on an ASan build.
# Usage: bench/soak.sh [BUILD_DIR] [SECONDS_TO_RUN]
set -euo pipefail

build=${1:-build}
seconds=${2:-600}
test="$build/tests/soak_test"
[[ -x "$test" ]] || { echo "missing $test (build the soak_test target)" >&2; exit 1; }
TARVO_SOAK_SECONDS="$seconds" "$test" --gtest_brief=0
