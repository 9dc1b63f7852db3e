#!/usr/bin/env bash
# Online guessing on loopback: wrong passwords at one user from ADDRESSES source addresses
# taking turns (default 4200) for SECONDS (default 20). Prints the attempts a second, how many
# reached the password check (the daemon's own count) against those refused unchecked, the
# daemon's CPU, and how fast the audit file grew.
# Usage: bench/login_guessing.sh [BUILD_DIR] [ADDRESSES] [SECONDS]   (a Release build)
set -euo pipefail

build=${1:-build-release}
addresses=${2:-4200}
seconds=${3:-20}
bin="$build/bin"
for program in TarvoServer tarvostore tarvoadm daemon_load; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

source "$(dirname "$0")/bench_daemon.sh"
start_bench_daemon "[AuditType]:1"

audit="$home/vpn_log.csv"
before=$(stat -c %s "$audit" 2>/dev/null || echo 0)
"$bin/daemon_load" guess "$port" "$daemon" bench "$addresses" "$seconds"
after=$(stat -c %s "$audit" 2>/dev/null || echo 0)
TARVO_HOME="$home" "$bin/tarvoadm" stats | awk -v s="$seconds" '
  /^tarvo_logins_total\{outcome="wrong_password"\}/ { printf "checked: %d wrong passwords reached the check (%.1f a second)\n", $2, $2 / s }
  /^tarvo_logins_total\{outcome="throttled"\}/ { printf "throttled: %d refused unchecked\n", $2 }'
echo "audit file: $(( (after - before) / 1024 )) KiB in ${seconds} s"
