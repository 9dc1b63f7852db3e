#!/usr/bin/env bash
# What one user's stalled relays cost another user and the host: a fresh TarvoServer, user
# "bench" opens RELAYS relays (default 1,024) that stall both ways while user "other" times
# 1 MiB downloads; prints the host's TCP memory (/proc/net/sockstat) and the daemon's share
# before and during, the download's median time without and with the attack, and then the
# attacker's own download on a narrow relay (a second session of "bench").
# Usage: bench/stalled_relays.sh [BUILD_DIR] [RELAYS] [ROUNDS]
set -euo pipefail

build=${1:-build-release}
relays=${2:-1024}
rounds=${3:-15}
bin="$build/bin"
for program in TarvoServer tarvostore stalled_relays; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

source "$(dirname "$0")/bench_daemon.sh"
# The attacker's second session, for a download on a narrow relay, needs MultiConnect.
start_bench_daemon "[MultiConnect]:yes"
TARVO_HOME="$home" "$bin/tarvostore" add other otherpass >/dev/null
echo "net.ipv4.tcp_mem (pages): $(cat /proc/sys/net/ipv4/tcp_mem)"
"$bin/stalled_relays" "$port" "$daemon" bench benchpass other otherpass "$relays" "$rounds"
