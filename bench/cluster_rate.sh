#!/bin/sh
# A user limited to 300,000 bytes/s downloading through three daemons of one PostgreSQL store
# at once: the total they let through, then through two and one as the downloads end one by
# one, over ROUNDS runs of the test (default 3). Usage: bench/cluster_rate.sh [BUILD_DIR] [ROUNDS]
set -eu
build=${1:-build}
rounds=${2:-3}
i=0
while [ "$i" -lt "$rounds" ]; do
  "$build/tests/user_policy_test" \
      --gtest_filter='PolicySharedStoreTest.ALimitedUserOnThreeDaemonsGetsTheLimitInAll' 2>&1 |
    grep '^limit .* bytes/s, in all through three daemons' || true
  i=$((i + 1))
done
