#!/usr/bin/env bash
# How a server's per-event cost grows with the idle relays it holds, on loopback: for each N,
# TarvoServer and then shadowsocks-libev (ss-local + ss-server, aes-256-gcm) hold N idle relays
# to an echo server while one more relay times one-byte round trips; then the server's CPU
# over an idle window with the N relays open. Tarvo's relays are data connections of the wire
# client library (1,000 per session, several sessions of user "bench"); shadowsocks' are SOCKS5
# connections through ss-local, so its round trip crosses one more process than Tarvo's.
# Prints a table, and the servers' resident memory per relay at the largest N.
# Usage: bench/idle_relays.sh [-b BUILD_DIR] [-r ROUNDS] [-s SECONDS] [N ...]
#   defaults: -b build-release -r 2000 -s 10, N = 0 1000 4000 8000
#   bench/idle_relays.sh -r 300 -s 3 0 1000      a short run while developing
#   bench/idle_relays.sh 9000                    9,000 relays on one daemon (18,000 descriptors)
# Installs shadowsocks-libev for itself when it is missing (root, Debian).
set -euo pipefail

build=build-release
rounds=2000
seconds=10
while getopts b:r:s: option; do
  case $option in
    b) build=$OPTARG ;;
    r) rounds=$OPTARG ;;
    s) seconds=$OPTARG ;;
    *) sed -n '9,12s/^# //p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
counts=("$@")
((${#counts[@]})) || counts=(0 1000 4000 8000)

bin="$build/bin"
for program in TarvoServer tarvostore tunnel_probe idle_relays; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (Release build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done
if ! command -v ss-server >/dev/null || ! command -v ss-local >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq shadowsocks-libev >/dev/null
fi
# The package starts its own service; it is not part of the figures.
systemctl stop shadowsocks-libev 2>/dev/null || true

# Every process started here inherits the raised limit: a server holds two descriptors per
# relay, ss-local two, the echo server and the measuring tool one.
ulimit -n "$(ulimit -Hn)"
limit=$(ulimit -n)
for n in "${counts[@]}"; do
  [[ $n =~ ^[0-9]+$ ]] || { echo "N must be a number: $n" >&2; exit 2; }
  if ((2 * (n + 1) + 100 > limit)); then
    echo "N=$n needs $((2 * (n + 1) + 100)) descriptors in one server; the limit is $limit" >&2
    exit 2
  fi
done

source "$(dirname "$0")/bench_daemon.sh"
others=()
cleanup() {
  for pid in "${others[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${others[@]}"; do wait "$pid" 2>/dev/null || true; done
  cleanup_bench_daemon
}
trap cleanup EXIT

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
descriptors() { ls "/proc/$1/fd" | wc -l; }
# A server that is still closing the last run's relays would take CPU from the next run.
wait_closed() {
  local pid=$1 base=$2
  for _ in $(seq 300); do
    (($(descriptors "$pid") <= base + 2)) && return 0
    sleep 0.1
  done
  echo "pid $pid still holds $(descriptors "$pid") descriptors (had $base)" >&2
}

echo_port=$(free_port)
"$bin/tunnel_probe" echo "$echo_port" & others+=($!)
wait_port "$echo_port"

# Several sessions of one user need MultiConnect.
start_bench_daemon "[MultiConnect]:yes"

# The same shadowsocks-libev path as tunnel_compare.sh; the long time-out keeps idle relays open.
sport=$(free_port); ssocks=$(free_port)
ss-server -s 127.0.0.1 -p "$sport" -k benchpass -m aes-256-gcm -t 3600 >"$home/ss-server.log" 2>&1 &
ss_pid=$!; others+=($ss_pid)
ss-local -s 127.0.0.1 -p "$sport" -b 127.0.0.1 -l "$ssocks" -k benchpass -m aes-256-gcm -t 3600 \
  >"$home/ss-local.log" 2>&1 & others+=($!)
wait_port "$sport"; wait_port "$ssocks"

sleep 1
tarvo_rss0=$(rss_kib "$daemon"); ss_rss0=$(rss_kib "$ss_pid")
tarvo_fds=$(descriptors "$daemon"); ss_fds=$(descriptors "$ss_pid")

echo "== one-byte round trip of one more relay ($rounds after 100 warm-up, microseconds) and the"
echo "   server's CPU over ${seconds} s (utime+stime, % of one core), with N idle relays open"
printf '%6s | %12s %10s | %12s %10s | %12s %10s\n' N "tarvo median" "tarvo p99" "ss median" "ss p99" \
  "tarvo CPU %" "ss CPU %"
largest=-1
for n in "${counts[@]}"; do
  read -r t_med t_p99 t_cpu t_rss < <("$bin/idle_relays" tarvo "$port" bench benchpass "$echo_port" \
    "$n" "$rounds" "$seconds" "$daemon") || true
  [[ -n ${t_rss:-} ]] || { echo "the Tarvo run with N=$n failed" >&2; exit 1; }
  wait_closed "$daemon" "$tarvo_fds"
  read -r s_med s_p99 s_cpu s_rss < <("$bin/idle_relays" socks "$ssocks" "$echo_port" \
    "$n" "$rounds" "$seconds" "$ss_pid") || true
  [[ -n ${s_rss:-} ]] || { echo "the shadowsocks run with N=$n failed" >&2; exit 1; }
  wait_closed "$ss_pid" "$ss_fds"
  printf '%6s | %12s %10s | %12s %10s | %12s %10s\n' "$n" "$t_med" "$t_p99" "$s_med" "$s_p99" \
    "$t_cpu" "$s_cpu"
  if ((n > largest)); then largest=$n; tarvo_rss=$t_rss; ss_rss=$s_rss; fi
done

if ((largest > 0)); then
  echo "== resident memory per relay with $largest relays open (VmRSS against the fresh server)"
  awk -v n="$largest" -v a0="$tarvo_rss0" -v a="$tarvo_rss" -v b0="$ss_rss0" -v b="$ss_rss" 'BEGIN {
    printf "TarvoServer %.2f kB per relay (VmRSS %d -> %d kB)\n", (a - a0) / n, a0, a
    printf "ss-server   %.2f kB per relay (VmRSS %d -> %d kB)\n", (b - b0) / n, b0, b }'
fi
