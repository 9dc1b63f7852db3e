#!/usr/bin/env bash
# What a Prometheus scrape costs: 1 GiB downloads through a fresh TarvoServer with per-user
# metrics on, in turns without and with a scraper every INTERVAL ms (default 100, 150 times a
# common 15 s scrape interval), then the daemon's processor time per scrape.
# Usage: bench/metrics_scrape.sh [BUILD_DIR] [BYTES] [ROUNDS] [INTERVAL_MS]
set -euo pipefail

build=${1:-build-release}
bytes=${2:-1073741824}
rounds=${3:-5}
interval=${4:-100}
bin="$build/bin"
for program in TarvoServer tarvostore metrics_scrape; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

source "$(dirname "$0")/bench_daemon.sh"
metrics_port=$(free_port)
start_bench_daemon "[MetricsAddress]:127.0.0.1:$metrics_port" "[MetricsPerUser]:yes"

"$bin/metrics_scrape" "$port" "$metrics_port" "$daemon" "$bytes" "$rounds" "$interval"
