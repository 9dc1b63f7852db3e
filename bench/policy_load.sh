#!/usr/bin/env bash
# What per-user policy costs the daemon: an unlimited user's download alone, through a policy
# whose rates never bind, and beside LIMITED users (default 100) limited to RATE bytes/s down
# each (default 1000000); the daemon's CPU per relayed MB in each case.
# Usage: bench/policy_load.sh [BUILD_DIR] [BYTES] [LIMITED] [RATE]   (a release build)
set -euo pipefail

build=${1:-build-release}
bytes=${2:-2000000000}
limited=${3:-100}
rate=${4:-1000000}
bin="$build/bin"
for program in TarvoServer tarvostore policy_load; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

source "$(dirname "$0")/bench_daemon.sh"
start_bench_daemon "[MultiConnect]:1"

TARVO_HOME="$home" "$bin/policy_load" "$port" "$daemon" "$bytes" "$limited" "$rate"
