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

source "$(dirname "$0")/bench_daemon.sh"
# MultiConnect on, so one user can hold every session; audit rows are written as in production.
start_bench_daemon "[MultiConnect]:yes" "[AuditType]:1"

"$bin/daemon_load" idle "$port" "$daemon" bench benchpass 100 30
"$bin/daemon_load" logins "$port" bench benchpass 50 40
"$bin/daemon_load" logins-v2 "$port" bench benchpass 50 40
