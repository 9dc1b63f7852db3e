#!/usr/bin/env bash
# Whole-program tunnel comparison on loopback, all paths in one run:
#   (a) direct, (b) tarvoclient + TarvoServer over protocol v2 and over v1 (two clients, one
#   daemon), (c) shadowsocks-libev ss-local + ss-server (aes-256-gcm), (d) OpenSSH dynamic
#   forwarding (ssh -N -D, aes128-gcm@openssh.com).
# Prints: median MB/s of a 1 GiB HTTP download per path (runs interleaved) and the ratios; the
# server's CPU seconds per GiB; the one-byte round trip with every process pinned to CPU 0; new
# relays per second for 2,000 short downloads at 200 and at 1,000 in flight, with the server's
# and the client's CPU per relay; daemon memory per
# idle relay with 1,000 idle relays; idle CPU.
# Usage: bench/tunnel_compare.sh [BUILD_DIR] [RUNS]   (a Release build: build-release)
# Installs shadowsocks-libev and OpenSSH for itself when they are missing (root, Debian).
set -euo pipefail

build=${1:-build-release}
runs=${2:-5}
bin="$build/bin"
for program in TarvoServer tarvostore tarvoclient tunnel_probe; do
  [[ -x "$bin/$program" ]] || { echo "missing $bin/$program (Release build with TARVO_BUILD_BENCH=ON)" >&2; exit 1; }
done
if ! command -v ss-server >/dev/null || ! [[ -x /usr/sbin/sshd ]] || ! command -v ssh >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    shadowsocks-libev openssh-server openssh-client >/dev/null
fi
# The package starts its own services; they are not part of the figures.
systemctl stop shadowsocks-libev 2>/dev/null || true

work=$(mktemp -d /tmp/tarvo-compare-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"

source "$(dirname "$0")/loopback_ports.sh"
start() { "$@" & pids+=($!); }

http=$(free_port); echo_port=$(free_port)
start "$bin/tunnel_probe" http "$http"; http_pid=$!
start "$bin/tunnel_probe" echo "$echo_port"; echo_pid=$!

# (b) Tarvo, with auditing on as in production.
tport=$(free_port); tsocks=$(free_port)
printf '[ServerPort]:%s\n[AuditType]:1\n[MultiConnect]:yes\n' "$tport" > "$work/tarvoserver.ini"
TARVO_HOME="$work" "$bin/tarvostore" add bench benchpass >/dev/null
TARVO_HOME="$work" start "$bin/TarvoServer"; tarvo_pid=$!
wait_port "$tport"
TARVO_PASSWORD=benchpass XDG_CONFIG_HOME="$work" start "$bin/tarvoclient" \
  --protocol v2 --server "127.0.0.1:$tport" --user bench \
  --listen "127.0.0.1:$tsocks" 2>"$work/tarvoclient.log"; tclient_pid=$!
wait_port "$tsocks"
# The same user over v1 through a second client (one session per client: MultiConnect on).
tsocks1=$(free_port)
TARVO_PASSWORD=benchpass XDG_CONFIG_HOME="$work" start "$bin/tarvoclient" \
  --protocol v1 --server "127.0.0.1:$tport" --user bench \
  --listen "127.0.0.1:$tsocks1" 2>"$work/tarvoclient-v1.log"; tclient1_pid=$!
wait_port "$tsocks1"

# (c) shadowsocks-libev.
sport=$(free_port); ssocks=$(free_port)
start ss-server -s 127.0.0.1 -p "$sport" -k benchpass -m aes-256-gcm -u >"$work/ss-server.log" 2>&1; ss_pid=$!
start ss-local -s 127.0.0.1 -p "$sport" -b 127.0.0.1 -l "$ssocks" -k benchpass -m aes-256-gcm -u >"$work/ss-local.log" 2>&1; sslocal_pid=$!
wait_port "$sport"; wait_port "$ssocks"

# (d) OpenSSH: a throw-away sshd on a loopback port, key login as the current user.
hport=$(free_port); hsocks=$(free_port)
mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
cat > "$work/sshd_config" <<CONF
Port $hport
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
StrictModes no
UsePAM no
PasswordAuthentication no
Ciphers aes128-gcm@openssh.com
PidFile $work/sshd.pid
CONF
start /usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log"
wait_port "$hport"
start ssh -N -q -D "127.0.0.1:$hsocks" -p "$hport" -i "$work/user_key" -c aes128-gcm@openssh.com \
  -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes "$(id -un)@127.0.0.1"
wait_port "$hsocks"

declare -A socks=([direct]="" [tarvo]="$tsocks" [tarvo-v1]="$tsocks1" [shadowsocks]="$ssocks" [ssh]="$hsocks")
paths=(direct tarvo tarvo-v1 shadowsocks ssh)
declare -A server_pid=([tarvo]="$tarvo_pid" [tarvo-v1]="$tarvo_pid" [shadowsocks]="$ss_pid" [ssh]="")
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }

echo "== 1 GiB over HTTP, $runs runs each, interleaved (MB/s = 10^6 bytes/s)"
declare -A results server_ticks
for run in $(seq "$runs"); do
  for path in "${paths[@]}"; do
    proxy=()
    [[ -n "${socks[$path]}" ]] && proxy=(--socks5 "127.0.0.1:${socks[$path]}")
    spid=${server_pid[$path]:-}
    [[ -n "$spid" ]] && t0=$(cpu_ticks "$spid")
    speed=$(curl -s "${proxy[@]}" -o /dev/null -w '%{speed_download}' "http://127.0.0.1:$http/1073741824")
    [[ -n "$spid" ]] && server_ticks[$path]=$(( ${server_ticks[$path]:-0} + $(cpu_ticks "$spid") - t0 ))
    mbs=$(awk -v s="$speed" 'BEGIN {printf "%.0f", s / 1e6}')
    results[$path]+="$mbs "
  done
done
declare -A med
for path in "${paths[@]}"; do
  med[$path]=$(tr ' ' '\n' <<<"${results[$path]}" | grep . | median)
  printf '%-12s median %6s MB/s   runs: %s\n' "$path" "${med[$path]}" "${results[$path]}"
done
awk -v t="${med[tarvo]}" -v v="${med[tarvo-v1]}" -v s="${med[shadowsocks]}" -v h="${med[ssh]}" -v d="${med[direct]}" 'BEGIN {
  printf "tarvo (v2) / shadowsocks = %.2f (target >= 2)\ntarvo (v2) / tarvo-v1 = %.2f (target >= 1)\ntarvo-v1 / shadowsocks = %.2f\ntarvo (v2) / ssh = %.2f\ntarvo (v2) / direct = %.2f\n", t/s, t/v, v/s, t/h, t/d }'
for path in tarvo tarvo-v1 shadowsocks; do
  awk -v t="${server_ticks[$path]}" -v hz="$hz" -v n="$runs" -v p="$path" \
    'BEGIN { printf "%-12s server CPU %.2f s per GiB\n", p, t / hz / n }'
done

echo "== one-byte round trip, every process on CPU 0 (median of 20000, microseconds)"
all_pids=("${pids[@]}")
for pid in "${all_pids[@]}"; do taskset -a -pc 0 "$pid" >/dev/null 2>&1 || true; done
for path in direct tarvo tarvo-v1 shadowsocks; do
  us=$(taskset -c 0 "$bin/tunnel_probe" rtt "${socks[$path]:-0}" "$echo_port" 20000)
  printf '%-12s %s us\n' "$path" "$us"
done
for pid in "${all_pids[@]}"; do taskset -a -pc 0-$(($(nproc) - 1)) "$pid" >/dev/null 2>&1 || true; done

# tarvoclient waits up to 150 ms on its first relay to a destination it has not reached in the
# last minute (to tell a SOCKS client of a refused connect); one short download per path first
# keeps that one-off wait out of the rates.
for path in tarvo tarvo-v1 shadowsocks; do
  "$bin/tunnel_probe" relays "${socks[$path]}" "$http" 1 1 1024 >/dev/null 2>&1 || true
done
# CPU per relay of the server and the client, steadier than the rates on a shared machine.
declare -A relay_client=([tarvo]="$tclient_pid" [tarvo-v1]="$tclient1_pid" [shadowsocks]="$sslocal_pid")
for inflight in 200 1000; do
  echo "== new relays per second: 2000 downloads of 1 KiB, $inflight in flight"
  for path in tarvo tarvo-v1 shadowsocks; do
    s0=$(cpu_ticks "${server_pid[$path]}"); c0=$(cpu_ticks "${relay_client[$path]}")
    # The probe says how many failed (on stderr) and exits non-zero then: keep going.
    rate=$("$bin/tunnel_probe" relays "${socks[$path]}" "$http" 2000 "$inflight" 1024 2>"$work/relays.err") || true
    s1=$(cpu_ticks "${server_pid[$path]}"); c1=$(cpu_ticks "${relay_client[$path]}")
    cpu=$(awk -v s=$((s1 - s0)) -v c=$((c1 - c0)) -v hz="$hz" \
      'BEGIN { printf "server %.0f us, client %.0f us CPU per relay", s / hz / 2000 * 1e6, c / hz / 2000 * 1e6 }')
    printf '%-12s %s relays/s  %s  %s\n' "$path" "$rate" "$cpu" "$(cat "$work/relays.err")"
  done
done

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

echo "== idle CPU over 20 s, no relays open (logged in, keep-alive running)"
declare -A idle0
for pid in "$tarvo_pid" "$tclient_pid" "$ss_pid" "$sslocal_pid"; do idle0[$pid]=$(cpu_ticks "$pid"); done
sleep 20
for name in "TarvoServer:$tarvo_pid" "tarvoclient:$tclient_pid" "ss-server:$ss_pid" "ss-local:$sslocal_pid"; do
  pid=${name#*:}
  awk -v t=$(($(cpu_ticks "$pid") - idle0[$pid])) -v hz="$hz" -v n="${name%%:*}" \
    'BEGIN { printf "%-12s %.3f%%\n", n, 100 * t / hz / 20 }'
done

echo "== server memory per idle relay (1000 idle relays) and idle CPU"
for path in tarvo shadowsocks; do
  server_pid=$tarvo_pid; [[ $path == shadowsocks ]] && server_pid=$ss_pid
  client_pid=$tclient_pid; [[ $path == shadowsocks ]] && client_pid=$sslocal_pid
  before=$(rss_kib "$server_pid")
  mkfifo "$work/hold-$path"
  "$bin/tunnel_probe" idle "${socks[$path]}" "$echo_port" 1000 <"$work/hold-$path" >"$work/idle-$path.out" &
  holder=$!
  exec 7>"$work/hold-$path"
  for _ in $(seq 600); do grep -q ready "$work/idle-$path.out" 2>/dev/null && break; sleep 0.1; done
  # Past the first traffic-counter store (10 s after the relays' bytes), so the window is idle.
  sleep 12
  after=$(rss_kib "$server_pid")
  t0=$(cpu_ticks "$server_pid"); c0=$(cpu_ticks "$client_pid")
  sleep 20
  t1=$(cpu_ticks "$server_pid"); c1=$(cpu_ticks "$client_pid")
  awk -v b="$before" -v a="$after" -v t=$((t1 - t0)) -v c=$((c1 - c0)) -v hz="$hz" -v p="$path" 'BEGIN {
    printf "%-12s %.1f KiB per idle relay (RSS %d -> %d KiB); idle CPU over 20 s with them open: server %.3f%%, client %.3f%%\n",
      p, (a - b) / 1000, b, a, 100 * t / hz / 20, 100 * c / hz / 20 }'
  exec 7>&-
  wait "$holder" || true
done
