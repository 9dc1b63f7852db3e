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

home=$(mktemp -d /tmp/tarvo-bench-XXXXXX)
daemon=
cleanup() {
  [[ -n "$daemon" ]] && kill "$daemon" 2>/dev/null && wait "$daemon" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[ServerPort]:%s\n[AuditType]:1\n' "$port" > "$home/tarvoserver.ini"
TARVO_HOME="$home" "$bin/tarvostore" add bench benchpass >/dev/null

TARVO_HOME="$home" "$bin/TarvoServer" &
daemon=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

"$bin/relay_throughput" "$port" bench benchpass "$bytes" 1000 "$daemon"
