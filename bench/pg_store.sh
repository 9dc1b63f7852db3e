# Sourced by the bench scripts: a throw-away PostgreSQL cluster on loopback with the database
# VPNdb, and a delay proxy (store_latency proxy) in front of it holding each direction a fixed
# time without queueing chunks behind each other, as a network path does.
# Needs: bin. Sets: cluster, pg_bin, pg_port, proxy_port, pids; exports TARVO_STORE (through
# the proxy). Usage: start_pg_store DELAY_US; pg_sql SQL; cleanup_store (also on exit).

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -x "$pg_bin/initdb" && -x "$pg_bin/pg_ctl" ]] || { echo "no PostgreSQL server installed" >&2; exit 1; }
[[ -x "$bin/store_latency" ]] || { echo "missing $bin/store_latency" >&2; exit 1; }

source "$(dirname "${BASH_SOURCE[0]}")/loopback_ports.sh"

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
trap cleanup_store EXIT

# SQL on the database itself, not through the proxy.
pg_sql() { "$pg_bin/psql" -X -q -t -A -h 127.0.0.1 -p "$pg_port" -U postgres -d VPNdb -c "$1"; }

start_pg_store() {
  local delay_us=$1
  pg_port=$(free_port)
  LC_ALL=C as_owner "$pg_bin/initdb" -D "$cluster/data" -A trust -U postgres --no-sync --no-locale \
    -E UTF8 >/dev/null
  LC_ALL=C as_owner "$pg_bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $cluster -c fsync=off" start >/dev/null
  pg_running=1
  "$pg_bin/psql" -X -q -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -c 'CREATE DATABASE "VPNdb"'
  # The proxy prints its port once it listens.
  mkfifo "$cluster/proxy.port"
  "$bin/store_latency" proxy "$pg_port" "$delay_us" > "$cluster/proxy.port" &
  pids+=($!)
  read -r proxy_port < "$cluster/proxy.port"
  export TARVO_STORE="Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=$proxy_port;Database=VPNdb;Username=postgres"
}

# The statements PostgreSQL logs while the command runs (log_statement = all), one a line.
pg_logged_statements() {
  pg_sql "ALTER SYSTEM SET log_statement = 'all'" && pg_sql "SELECT pg_reload_conf()" >/dev/null
  local from
  from=$(wc -l < "$cluster/server.log")
  "$@" >/dev/null
  pg_sql "ALTER SYSTEM RESET log_statement" && pg_sql "SELECT pg_reload_conf()" >/dev/null
  tail -n +"$((from + 1))" "$cluster/server.log" | grep -E 'LOG:  (statement|execute [^:]*):' |
    grep -v -E 'log_statement|pg_reload_conf' || true
}
