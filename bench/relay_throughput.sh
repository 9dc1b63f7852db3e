#!/usr/bin/env bash
# The daemon's relay throughput on loopback, without a SOCKS client: one relay downloads and
# then uploads BYTES (default 1 GiB) through a fresh TarvoServer; then the daemon's memory per
# idle relay with 1,000 relays open.
# Usage: bench/relay_throughput.sh [BUILD_DIR] [BYTES]   (a release build is what figures are for)
set -euo pipefail

build=${1:-build-release}
bytes=${2:-1073741824}
bin="$build/bin"
for program in TarvoServer tarvostore relay_throughput; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

source "$(dirname "$0")/bench_daemon.sh"
start_bench_daemon "[AuditType]:1"

"$bin/relay_throughput" "$port" bench benchpass "$bytes" 1000 "$daemon"
