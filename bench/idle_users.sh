#!/usr/bin/env bash
# Many logged-in idle users on one daemon: USERS sessions of distinct users, each sending the
# client's TrafficInfo every 10 s. Prints the daemon's memory per session (RSS; the kernel's TCP
# memory of both ends apart), its CPU over SECONDS (schedstat, all threads), its store
# statements a second, and a fresh login's latency meanwhile. STORE: sqlite (the default store
# file) or postgres (a throw-away cluster behind a delay proxy holding each direction DELAY_US).
# Usage: bench/idle_users.sh [BUILD_DIR] [USERS] [SECONDS] [STORE] [DELAY_US]
#        (a Release build is what the figures are for: build-release)
set -euo pipefail

build=${1:-build-release}
users=${2:-10000}
seconds=${3:-30}
store=${4:-sqlite}
delay_us=${5:-2000}
bin="$build/bin"
for program in TarvoServer tarvostore idle_users; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done

if [[ $store == postgres ]]; then
  source "$(dirname "$0")/pg_store.sh"
  start_pg_store "$delay_us"
fi
source "$(dirname "$0")/bench_daemon.sh"
[[ $store == postgres ]] && trap 'cleanup_bench_daemon; cleanup_store' EXIT
metrics_port=$(free_port)
# MultiConnect on, so the timed logins of "probe" never meet the one before; audit rows written
# as in production.
start_bench_daemon "[MultiConnect]:yes" "[AuditType]:1" "[MetricsAddress]:127.0.0.1:$metrics_port"
TARVO_HOME="$home" "$bin/tarvostore" add probe pw >/dev/null

# The users straight into the store (the daemon made its tables), plain passwords.
columns="name_key, user_name, user_password, pwd_sealed, user_limit, user_counter, user_locked"
if [[ $store == postgres ]]; then
  pg_sql "INSERT INTO UsersTable ($columns) SELECT 'u' || i, 'u' || i, 'pw', 0, 0, 0, 0
          FROM generate_series(0, $((users - 1))) AS i"
  echo "store: PostgreSQL behind a proxy holding each direction ${delay_us} us"
else
  sqlite3 "$home/VPNdb.sqlite3" "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n
    WHERE i < $((users - 1))) INSERT INTO UsersTable ($columns)
    SELECT 'u' || i, 'u' || i, 'pw', 0, 0, 0, 0 FROM n"
  echo "store: SQLite"
fi
wait_port "$metrics_port" || { echo "no metrics endpoint" >&2; exit 1; }
"$bin/idle_users" run "$port" "$daemon" "$metrics_port" "$users" "$seconds"
