# Sourced by the bench scripts: a TarvoServer in a temporary home on a free loopback port, with
# one user "bench" (password "benchpass"), stopped and removed when the script exits.
# Needs: bin (the build's bin directory). Sets: home, port, daemon.
# Usage: start_bench_daemon [SETTINGS LINES...]   (each line like "[AuditType]:1")

source "$(dirname "${BASH_SOURCE[0]}")/loopback_ports.sh"

home=$(mktemp -d /tmp/tarvo-bench-XXXXXX)
daemon=
cleanup_bench_daemon() {
  [[ -n "$daemon" ]] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$home"
}
trap cleanup_bench_daemon EXIT

start_bench_daemon() {
  port=$(free_port)
  { printf '[ServerPort]:%s\n' "$port"; printf '%s\n' "$@"; } > "$home/tarvoserver.ini"
  TARVO_HOME="$home" "$bin/tarvostore" add bench benchpass >/dev/null
  ulimit -n "$(ulimit -Hn)"
  TARVO_HOME="$home" "$bin/TarvoServer" &
  daemon=$!
  wait_port "$port" || { echo "TarvoServer did not start listening on port $port" >&2; return 1; }
}
