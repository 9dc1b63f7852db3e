#!/bin/sh
# A user limited to 300,000 bytes/s downloading through two daemons of one PostgreSQL store at
# once: the total the two let through, and what one gets once the other's download has ended,
# over ROUNDS runs of the test (default 3). Usage: bench/cluster_rate.sh [BUILD_DIR] [ROUNDS]
set -eu
build=${1:-build}
rounds=${2:-3}
i=0
while [ "$i" -lt "$rounds" ]; do
  "$build/tests/user_policy_test" \
      --gtest_filter='PolicySharedStoreTest.ALimitedUserOnTwoDaemonsGetsTheLimitInAll' 2>&1 |
    grep '^limit .* bytes/s: through two daemons' || true
  i=$((i + 1))
done
