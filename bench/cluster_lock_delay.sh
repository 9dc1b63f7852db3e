#!/bin/sh
# The time from a lock asked of one daemon (tarvoadm, its process start included) to the end of
# the user's session on another daemon of the same PostgreSQL store, over ROUNDS runs of the
# cluster test (default 5). Usage: bench/cluster_lock_delay.sh [BUILD_DIR] [ROUNDS]
set -eu
build=${1:-build}
rounds=${2:-5}
i=0
while [ "$i" -lt "$rounds" ]; do
  "$build/tests/cluster_test" --gtest_filter='ClusterTest.*' 2>&1 |
    sed -n 's/^lock through one daemon ended the session on another after \([0-9]*\) ms$/\1/p'
  i=$((i + 1))
done | awk '{ s += $1; if ($1 > m) m = $1; n++ }
            END { if (n) printf "lock to another daemon: mean %.0f ms, worst %d ms over %d runs\n", s / n, m, n }'
