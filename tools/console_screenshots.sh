#!/usr/bin/env bash
# Screenshots of every page of TarvoConsole: starts a daemon in a temporary home with a few
# users, logs two clients in (one with an open relay), opens the console under Xvfb, walks the
# page tree and saves one PNG per page. Nothing is written into the repository.
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

client() {  # client NAME PASSWORD: a logged-in tarvoclient; prints its SOCKS port
  local socks; socks=$(free_port)
  TARVO_PASSWORD=$2 "$bin/tarvoclient" --server "127.0.0.1:$port" --user "$1" \
    --listen "127.0.0.1:$socks" > "$home/client-$1.log" 2>&1 &
  pids+=($!)
  echo "$socks"
}
alice_socks=$(client alice alicepw)
client bob bobsecret > /dev/null
sleep 1
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
shot 2 settings
shot 3 about
echo "screenshots in $out:"
ls -1 "$out"
