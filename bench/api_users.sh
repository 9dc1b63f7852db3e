#!/usr/bin/env bash
# The management API with USERS users in the store (default 100,000): a page of the user list
# and a search by name, CALLS times each over the local socket (p50 and p99, ms), then a bulk
# create of 1,000 users while a logged-in user relays one-byte round trips through tarvoclient
# (their spread during the create, and alone before it).
# Usage: bench/api_users.sh [BUILD_DIR] [USERS] [CALLS]
set -euo pipefail

build=${1:-build}
users=${2:-100000}
calls=${3:-100}
bin="$build/bin"
home=$(mktemp -d)
trap 'kill $daemon 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$home"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf '[ServerPort]:%s\n' "$port" > "$home/tarvoserver.ini"
TARVO_HOME="$home" TARVO_RUNTIME_DIR="$home" "$bin/TarvoServer" 2>"$home/err" >/dev/null &
daemon=$!
for _ in $(seq 100); do [[ -S "$home/tarvo-api.sock" ]] && break; sleep 0.1; done
api=(--unix-socket "$home/tarvo-api.sock")
curl -s "${api[@]}" -X POST http://local/api/v1/users -d '{"name":"seed","password":"p"}' >/dev/null
# Straight into the store's table, in one transaction.
sqlite3 "$home/VPNdb.sqlite3" "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n
  WHERE i + 1 < $users) INSERT INTO UsersTable (name_key, user_name, user_password, pwd_sealed,
  user_limit, user_counter, user_locked) SELECT printf('user%06d', i), printf('user%06d', i),
  'pw', 0, 0, 0, 0 FROM n;"

measure() {  # label, url
  for _ in $(seq "$calls"); do curl -s -o /dev/null -w '%{time_total}\n' "${api[@]}" "$2"; done |
    sort -n | awk -v label="$1" '{ t[NR] = $1 * 1000 }
      END { printf "%-28s p50 %6.1f ms  p99 %6.1f ms  (%d calls)\n", label, t[int(NR*0.5)], t[int(NR*0.99)], NR }'
}
measure "list, first page of 50" "http://local/api/v1/users?limit=50"
measure "list, sorted by counter" "http://local/api/v1/users?limit=50&sort=-counter&offset=5000"
measure "search by name" "http://local/api/v1/users?search=user0543"

# A relaying user: tarvoclient (protocol v2) and an echo server on loopback.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
echo_port=$(free_port); socks=$(free_port)
"$bin/tunnel_probe" echo "$echo_port" & others=($!)
curl -s "${api[@]}" -X POST http://local/api/v1/users -d '{"name":"relay","password":"rp"}' >/dev/null
TARVO_PASSWORD=rp XDG_CONFIG_HOME="$home" "$bin/tarvoclient" --server "127.0.0.1:$port" \
  --user relay --listen "127.0.0.1:$socks" 2>"$home/client-err" & others+=($!)
trap 'kill $daemon "${others[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$home"' EXIT
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$socks") 2>/dev/null && break; sleep 0.1; done
echo "relay round trips alone:             $("$bin/tunnel_probe" rtt-for "$socks" "$echo_port" 2000)"

body=$(python3 -c 'import json; print(json.dumps({"users": [{"name": f"bulk{i:04d}", "password": "p"} for i in range(1000)]}))')
"$bin/tunnel_probe" rtt-for "$socks" "$echo_port" 3000 > "$home/rtt-during" &
rtt=$!
sleep 0.5
curl -s -o /dev/null -w 'bulk create of 1,000 users: %{time_total} s (HTTP %{http_code})\n' \
  "${api[@]}" -X POST http://local/api/v1/users/bulk -d "$body"
wait "$rtt"
echo "relay round trips during the create: $(cat "$home/rtt-during")"
