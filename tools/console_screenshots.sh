#!/usr/bin/env bash
# Screenshots of every page of TarvoConsole: starts a daemon in a temporary home with a few
# users, lets two of them relay some data in sessions that then end (so that the store has their
# counts), logs two clients in again (one with an open relay), opens the console under Xvfb,
# walks the page tree (relaying steadily after the connected users page, for the throughput
# chart) and saves one PNG per page. Nothing is written into the repository.
# Usage: tools/console_screenshots.sh [BUILD_DIR] [OUT_DIR]
#   BUILD_DIR defaults to build/, OUT_DIR to a new directory under /tmp (printed at the end).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$(mktemp -d /tmp/tarvo-console-shots.XXXXXX)}
bin=$build/bin
mkdir -p "$out"

# The screenshot tools are not part of the build's packages.
need=()
for tool in Xvfb:xvfb import:imagemagick xdotool:xdotool tarvoclient:; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || [ -x "$bin/${tool%%:*}" ] || need+=("${tool##*:}")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${need[@]}" >/dev/null
fi
for program in TarvoServer TarvoConsole tarvostore tarvoclient; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program: build it first" >&2; exit 1; }
done

home=$(mktemp -d /tmp/tarvo-console-home.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
export TARVO_HOME=$home TARVO_RUNTIME_DIR=$home

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
printf '[ServerPort]:%s\n[AuditType]:1\n[MinClientVersion]:2.0.0\n' "$port" > "$home/tarvoserver.ini"

"$bin/tarvostore" add alice alicepw > /dev/null
"$bin/tarvostore" add bob bobsecret 1048576 > /dev/null
"$bin/tarvostore" add carol carolpw 5000 > /dev/null
"$bin/tarvostore" add dave davepw > /dev/null
"$bin/tarvostore" lock dave > /dev/null

"$bin/TarvoServer" > "$home/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$home/tarvo-control.sock" ] && break; sleep 0.1; done

# Relayed traffic of known size: "serve PORT" answers each connection's request of DOWN bytes
# toward the client and UP bytes from it, spread over SECONDS; "fetch SOCKS DEST DOWN UP SECONDS"
# makes one such request through a SOCKS port.
cat > "$home/traffic.py" <<'PY'
import socket, struct, sys, threading, time

def paced(total, seconds, step):
    pieces = max(1, min(100, total // 1024))
    for i in range(pieces):
        step(total // pieces + (1 if i < total % pieces else 0))
        if seconds > 0: time.sleep(seconds / pieces)

def read_exactly(conn, count):
    while count > 0:
        data = conn.recv(min(count, 65536))
        if not data: raise EOFError
        count -= len(data)

def serve(port):
    listener = socket.socket(); listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port)); listener.listen(8); listener.settimeout(120)
    def answer(conn):
        with conn:
            header = b""
            while len(header) < 12: header += conn.recv(12 - len(header))
            down, up, seconds = struct.unpack(">III", header)
            sender = threading.Thread(target=paced, args=(down, seconds, lambda n: conn.sendall(b"d" * n)))
            sender.start(); read_exactly(conn, up); sender.join()
    try:
        while True:
            threading.Thread(target=answer, args=(listener.accept()[0],), daemon=True).start()
    except Exception:
        pass

def fetch(socks, dest, down, up, seconds):
    s = socket.create_connection(("127.0.0.1", socks))
    s.sendall(b"\x05\x01\x00"); s.recv(2)
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", dest))
    s.recv(10)
    s.sendall(struct.pack(">III", down, up, seconds))
    sender = threading.Thread(target=paced, args=(up, seconds, lambda n: s.sendall(b"u" * n)))
    sender.start(); read_exactly(s, down); sender.join(); s.close()

if sys.argv[1] == "serve": serve(int(sys.argv[2]))
else: fetch(*map(int, sys.argv[2:7]))
PY
traffic_port=$(free_port)
python3 "$home/traffic.py" serve "$traffic_port" &
pids+=($!)

client() {  # client NAME PASSWORD: a logged-in tarvoclient; prints its SOCKS port and its pid
  local socks; socks=$(free_port)
  TARVO_PASSWORD=$2 "$bin/tarvoclient" --server "127.0.0.1:$port" --user "$1" \
    --listen "127.0.0.1:$socks" > "$home/client-$1.log" 2>&1 &
  echo "$socks $!"
}
logged_in() {  # logged_in NAME: waits until the client has logged in and listens
  for _ in $(seq 100); do
    grep -q "proxy listening" "$home/client-$1.log" 2>/dev/null && return; sleep 0.1
  done
}

# Sessions that relay known amounts and end, so that the Usage page has bars.
read -r alice_socks alice_pid <<< "$(client alice alicepw)"
read -r bob_socks bob_pid <<< "$(client bob bobsecret)"
pids+=("$alice_pid" "$bob_pid")
logged_in alice; logged_in bob
python3 "$home/traffic.py" fetch "$alice_socks" "$traffic_port" 3000000 1000000 0
python3 "$home/traffic.py" fetch "$bob_socks" "$traffic_port" 600000 300000 0  # his limit: 1 MiB
kill "$alice_pid" "$bob_pid"
for _ in $(seq 100); do kill -0 "$alice_pid" "$bob_pid" 2>/dev/null || break; sleep 0.1; done
sleep 1

# A destination that holds every connection open, so the relay stays listed.
dest_port=$(free_port)
python3 - "$dest_port" <<'PY' &
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
held = []
s.settimeout(60)
try:
    while True:
        held.append(s.accept()[0])
except Exception:
    pass
PY
pids+=($!)

read -r alice_socks alice_pid <<< "$(client alice alicepw)"
read -r bob_socks bob_pid <<< "$(client bob bobsecret)"
pids+=("$alice_pid" "$bob_pid")
logged_in alice; logged_in bob
# An open relay of alice's session.
python3 - "$alice_socks" "$dest_port" <<'PY' &
import socket, struct, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(b"\x05\x01\x00"); s.recv(2)
s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", int(sys.argv[2])))
s.recv(10)
time.sleep(60)
PY
pids+=($!)
sleep 1

display=:97
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdotool getdisplaygeometry > /dev/null 2>&1 && break; sleep 0.1; done

"$bin/TarvoConsole" > "$home/console.log" 2>&1 &
pids+=($!)
window=$(xdotool search --sync --name "Tarvo Server BETA" | head -1)
sleep 1
eval "$(xdotool getwindowgeometry --shell "$window")"  # X, Y, WIDTH, HEIGHT

# The page tree is at the top left of the window; one row per page.
row_height=${ROW_HEIGHT:-18}
shot() {  # shot INDEX NAME
  xdotool mousemove $((X + 40)) $((Y + 12 + row_height / 2 + $1 * row_height)) click 1
  sleep 0.7
  if [ "$2" = connected ]; then
    # Select the first session so that its relays are listed.
    xdotool mousemove $((X + ${SESSION_X:-300})) $((Y + ${SESSION_Y:-95})) click 1
    sleep 0.7
  fi
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/$(($1 + 1))-$2.png"
}
shot 0 users
shot 1 connected
# Steady traffic of alice's for the throughput chart, once the relays have been shot.
python3 "$home/traffic.py" fetch "$alice_socks" "$traffic_port" 24000000 6000000 60 2> /dev/null &
pids+=($!)
shot 2 settings
shot 3 about
# The throughput chart needs a few of the page's 5 s polls.
sleep 20
shot 4 usage
echo "screenshots in $out:"
ls -1 "$out"
