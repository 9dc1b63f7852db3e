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
for program in TarvoServer tarvostore store_latency tunnel_probe; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -x "$pg_bin/initdb" && -x "$pg_bin/pg_ctl" ]] || { echo "no PostgreSQL server installed" >&2; exit 1; }

source "$(dirname "$0")/loopback_ports.sh"

# The server refuses to run as root, so the cluster belongs to "postgres" then.
cluster=$(mktemp -d /tmp/tarvo-pg-XXXXXX)
as_owner() { if [[ $EUID -eq 0 ]]; then /usr/sbin/runuser -u postgres -- "$@"; else "$@"; fi; }
[[ $EUID -eq 0 ]] && chown postgres: "$cluster"
pids=()
pg_running=
cleanup_store() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -n "$pg_running" ]] && as_owner "$pg_bin/pg_ctl" -D "$cluster/data" -m fast -w stop >/dev/null 2>&1
  rm -rf "$cluster"
}

pg_port=$(free_port)
LC_ALL=C as_owner "$pg_bin/initdb" -D "$cluster/data" -A trust -U postgres --no-sync --no-locale \
  -E UTF8 >/dev/null
LC_ALL=C as_owner "$pg_bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 60 \
  -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $cluster -c fsync=off" start >/dev/null
pg_running=1
trap cleanup_store EXIT
"$pg_bin/psql" -X -q -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -c 'CREATE DATABASE "VPNdb"'

# The proxy prints its port once it listens.
mkfifo "$cluster/proxy.port"
"$bin/store_latency" proxy "$pg_port" "$delay_us" > "$cluster/proxy.port" &
pids+=($!)
read -r proxy_port < "$cluster/proxy.port"
export TARVO_STORE="Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=$proxy_port;Database=VPNdb;Username=postgres"

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
