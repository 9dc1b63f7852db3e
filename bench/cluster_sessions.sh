#!/usr/bin/env bash
# The session bookkeeping of daemons sharing a PostgreSQL store (the daemon and session tables):
# three daemons, USERS idle sessions logged in over them (MultiConnect on, so no login waits for
# a claim), then SECONDS of idling while each daemon also takes a fresh login every 250 ms
# (idle_users' probe), then 15 s with nothing happening. Prints the statements on those tables,
# as PostgreSQL logs them, a second in each phase.
# Usage: bench/cluster_sessions.sh [BUILD_DIR] [USERS] [SECONDS]
set -euo pipefail

build=${1:-build-release}
users=${2:-10000}
seconds=${3:-30}
bin="$build/bin"
for program in TarvoServer idle_users store_latency; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done
source "$(dirname "$0")/pg_store.sh"
start_pg_store 0

homes=() ports=() metrics=() daemons=()
cleanup() {
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "${homes[@]}"
  cleanup_store
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"
for i in 0 1 2; do
  homes+=("$(mktemp -d /tmp/tarvo-bench-XXXXXX)")
  ports+=("$(free_port)")
  metrics+=("$(free_port)")
  printf '[ServerPort]:%s\n[MultiConnect]:yes\n[MetricsAddress]:127.0.0.1:%s\n' \
    "${ports[i]}" "${metrics[i]}" > "${homes[i]}/tarvoserver.ini"
  TARVO_HOME="${homes[i]}" "$bin/TarvoServer" 2>/dev/null &
  daemons+=($!)
  wait_port "${ports[i]}" || { echo "daemon $i did not start" >&2; exit 1; }
done
columns="name_key, user_name, user_password, pwd_sealed, user_limit, user_counter, user_locked"
pg_sql "INSERT INTO UsersTable ($columns) SELECT 'u' || i, 'u' || i, 'pw', 0, 0, 0, 0
        FROM generate_series(0, $((users / 3))) AS i
        UNION ALL SELECT 'probe', 'probe', 'pw', 0, 0, 0, 0"

# The probes a new store connection makes for the tables are not the bookkeeping's.
bookkeeping() {
  grep -E 'DaemonTable|SessionTable|tarvo_claim_session' | grep -c -v -E 'WHERE 1 = 0|pg_proc' || true
}
log_rows() { wc -l < "$cluster/server.log"; }
pg_sql "ALTER SYSTEM SET log_statement = 'all'" && pg_sql "SELECT pg_reload_conf()" >/dev/null
from=$(log_rows)
start=$(date +%s.%N)
runs=()
for i in 0 1 2; do
  "$bin/idle_users" run "${ports[i]}" "${daemons[i]}" "${metrics[i]}" $((users / 3)) "$seconds" \
    > "${homes[i]}/idle.out" &
  runs+=($!)
done
# The logins are in once every daemon counts its third (its metrics' session gauge).
for i in 0 1 2; do
  for ((tries = 0; tries < 1500; ++tries)); do
    # At least: idle_users' timed logins come and go beside them.
    (( $(curl -s "http://127.0.0.1:${metrics[i]}/metrics" |
         awk '/^tarvo_sessions /{print $2}') + 0 >= users / 3 )) && break
    sleep 0.2
  done
  ((tries < 1500)) || { echo "daemon $i: the logins did not all succeed" >&2; cat "${homes[i]}/idle.out" >&2; exit 1; }
done
logged_in=$(date +%s.%N)
mid=$(log_rows)
# idle_users says how each daemon served its sessions (a session it lost fails it: shown, not
# fatal here).
for i in 0 1 2; do
  wait "${runs[i]}" || true
  sed "s/^/daemon $i: /" "${homes[i]}/idle.out"
done
finish=$(date +%s.%N)
# The sessions' ends are stored with the next heartbeat, a second away at most.
sleep 2
quiet=$(log_rows)
sleep 15
pg_sql "ALTER SYSTEM RESET log_statement" && pg_sql "SELECT pg_reload_conf()" >/dev/null
login_statements=$(sed -n "$((from + 1)),${mid}p" "$cluster/server.log" | bookkeeping)
idle_statements=$(sed -n "$((mid + 1)),${quiet}p" "$cluster/server.log" | bookkeeping)
quiet_statements=$(tail -n +"$((quiet + 1))" "$cluster/server.log" | bookkeeping)
awk -v n="$users" -v a="$login_statements" -v b="$idle_statements" -v c="$quiet_statements" \
    -v s="$start" -v l="$logged_in" -v f="$finish" 'BEGIN {
  printf "%d sessions over 3 daemons: logins %.1f s, %d bookkeeping statements (%.1f/s)\n", n, l - s, a, a / (l - s)
  printf "held %.1f s, a probe login every 250 ms a daemon: %d statements (%.2f/s)\n", f - l + 2, b, b / (f - l + 2)
  printf "nothing happening 15 s: %d statements (%.2f/s)\n", c, c / 15 }'
