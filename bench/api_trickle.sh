#!/usr/bin/env bash
# The management API while 64 connections from 127.0.0.2 trickle a byte a second at its TCP
# listener and 16 at the metrics listener: the latency of API calls from 127.0.0.1 over HTTPS,
# over the local socket, and of scrapes, before and during the trickle (p50 and p99, ms).
# Usage: bench/api_trickle.sh [BUILD_DIR] [CALLS]
set -euo pipefail

build=${1:-build}
calls=${2:-200}
bin="$build/bin"
home=$(mktemp -d)
trap 'kill $daemon $trickler 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$home"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port); api=$(free_port); metrics=$(free_port)
printf '[ServerPort]:%s\n[ApiAddress]:127.0.0.1:%s\n[MetricsAddress]:127.0.0.1:%s\n' \
  "$port" "$api" "$metrics" > "$home/tarvoserver.ini"
TARVO_HOME="$home" TARVO_RUNTIME_DIR="$home" "$bin/TarvoServer" 2>"$home/err" >/dev/null &
daemon=$!
for _ in $(seq 100); do [[ -S "$home/tarvo-api.sock" ]] && break; sleep 0.1; done
token=$(TARVO_RUNTIME_DIR="$home" "$bin/tarvoadm" token create bench --role auditor)

measure() {  # label, then the curl arguments
  local label=$1; shift
  for _ in $(seq "$calls"); do curl -s -o /dev/null -w '%{time_total}\n' --max-time 10 "$@"; done |
    sort -n | awk -v label="$label" '{ t[NR] = $1 * 1000 }
      END { printf "%-22s p50 %6.1f ms  p99 %6.1f ms  (%d calls)\n", label, t[int(NR*0.5)], t[int(NR*0.99)], NR }'
}
run_all() {
  measure "https $1" -k -H "Authorization: Bearer $token" "https://127.0.0.1:$api/api/v1/sessions"
  measure "local socket $1" --unix-socket "$home/tarvo-api.sock" http://local/api/v1/sessions
  measure "scrape $1" "http://127.0.0.1:$metrics/metrics"
}

run_all quiet
python3 - "$api" "$metrics" <<'PY' &
import socket, sys, time
api, metrics = int(sys.argv[1]), int(sys.argv[2])
def connect(port):
    s = socket.socket()
    s.bind(("127.0.0.2", 0))
    try:
        s.connect(("127.0.0.1", port))
    except OSError:
        pass
    return s
# The API's get a TLS record's first bytes (a plain byte is refused at once), the metrics' a
# request's; one closed by the daemon's deadline is opened again.
slow = [[connect(api), api, b"\x16"] for _ in range(64)] + \
       [[connect(metrics), metrics, b"G"] for _ in range(16)]
for second in range(600):
    for entry in slow:
        try:
            entry[0].send(entry[2])
            entry[2] = b"\x03" if entry[1] == api else b"G"
        except OSError:
            entry[0].close()
            entry[0], entry[2] = connect(entry[1]), b"\x16" if entry[1] == api else b"G"
    time.sleep(1)
PY
trickler=$!
sleep 2
run_all trickled
