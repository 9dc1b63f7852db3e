#!/usr/bin/env bash
# Whole-daemon figures on loopback: CPU use of an idle TarvoServer holding 100 logged-in
# sessions for 30 s, and logins per second with 50 clients logging in at once.
# Usage: bench/daemon_load.sh [BUILD_DIR]   (a Release build is what the figures are for)
set -euo pipefail

build=${1:-build-release}
bin="$build/bin"
for program in TarvoServer tarvostore daemon_load; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

home=$(mktemp -d /tmp/tarvo-bench-XXXXXX)
daemon=
cleanup() {
  [[ -n "$daemon" ]] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# MultiConnect on, so one user can hold every session; audit rows are written as in production.
printf '[ServerPort]:%s\n[MultiConnect]:yes\n[AuditType]:1\n' "$port" > "$home/tarvoserver.ini"
TARVO_HOME="$home" "$bin/tarvostore" add bench benchpass

ulimit -n "$(ulimit -Hn)"
TARVO_HOME="$home" "$bin/TarvoServer" &
daemon=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

"$bin/daemon_load" idle "$port" "$daemon" bench benchpass 100 30
"$bin/daemon_load" logins "$port" bench benchpass 50 40
