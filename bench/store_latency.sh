#!/usr/bin/env bash
# A relay's round trip while the user store is slow and busy: a throw-away PostgreSQL cluster on
# loopback, a delay proxy in front of it holding each direction DELAY_US (2 ms), and a
# TarvoServer whose store is reached through the proxy. One logged-in user relays one-byte round
# trips to a loopback echo server, first alone, then while 50 clients log in again and again.
# Prints the round trip's median, p99 and max in both cases, and the logins per second.
# Usage: bench/store_latency.sh [BUILD_DIR] [SECONDS] [DELAY_US] [CLIENTS]
#        (a Release build is what the figures are for: build-release)
set -euo pipefail

build=${1:-build-release}
seconds=${2:-10}
delay_us=${3:-2000}
clients=${4:-50}
bin="$build/bin"
for program in TarvoServer tarvostore store_latency tunnel_probe daemon_load; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done
source "$(dirname "$0")/pg_store.sh"
start_pg_store "$delay_us"

echo_port=$(free_port)
"$bin/tunnel_probe" echo "$echo_port" &
pids+=($!)

source "$(dirname "$0")/bench_daemon.sh"
trap 'cleanup_bench_daemon; cleanup_store' EXIT
# MultiConnect on, so the clients can all log in as one user; audit rows written as in
# production.
start_bench_daemon "[MultiConnect]:yes" "[AuditType]:1"
TARVO_HOME="$home" "$bin/tarvostore" add probe probepass >/dev/null

echo "store: PostgreSQL behind a proxy holding each direction ${delay_us} us"
"$bin/store_latency" run "$port" bench benchpass probe probepass "$echo_port" "$clients" "$seconds"

# What one login costs the store, from PostgreSQL's own statement log: ten logins one after
# another (their sessions end at once, with nothing to store).
echo "statements PostgreSQL logged for 10 logins:"
pg_logged_statements "$bin/daemon_load" logins "$port" bench benchpass 1 10 | sed 's/^.*LOG:  /  /' |
  sort | uniq -c
