#!/usr/bin/env bash
# The Debian package under a real systemd: builds it, boots a minimal Debian 12 in a container
# (systemd-nspawn --boot, a network of its own), installs the package there and checks the
# service as an administrator would use it: user, capabilities and limits of the daemon, a
# client relaying through tarvoclient, tarvoadm for a member of the group tarvo and for an
# outsider, a restart, the journal, removal and purge. Needs root; prints the package size and
# the time to install and start.
# The debootstrapped root is kept in .cache/system-test/ (gitignored); each run boots a copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/system/container_host.sh" package_test debootstrap systemd-nspawn nsenter dpkg-deb

cache=$root/.cache/system-test
base=$cache/bookworm
machine=$cache/machine
logs=$cache/logs
mirror=${TARVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
password='Pw-7Fq2-never-logged'
nspawn_pid=
leader=

passed=0
failed=0
fails() { ! "$@"; }
check() {  # check DESCRIPTION COMMAND...: counts one check; a failure shows what it printed
  local what=$1; shift
  if "$@" >"$logs/check.out" 2>&1; then
    passed=$((passed + 1)); echo "ok   $what"
  else
    failed=$((failed + 1)); echo "FAIL $what"; tail -n 20 "$logs/check.out" | sed 's/^/     /'
  fi
}

in_machine() {  # runs a command inside the container as root, with a clean environment
  timeout 300 nsenter -t "$leader" -a -- \
    /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
as_user() {  # as_user NAME COMMAND...: as that user, with the user's groups
  local name=$1; shift
  in_machine setpriv --reuid="$name" --regid="$name" --init-groups --reset-env -- "$@"
}

stop_machine() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true  # a clean shutdown of the container
    for _ in $(seq 1 60); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.5; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  nspawn_pid=
  rm -rf "$machine"
}
trap stop_machine EXIT
trap 'exit 130' INT TERM HUP

# wait_for SECONDS COMMAND...: until the command succeeds, at most SECONDS.
wait_for() {
  local tries=$(($1 * 5)); shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.2; done
  return 1
}

# 1. The package.
echo "== package_test: building the package"
mkdir -p "$cache" "$logs"
"$root/scripts/package.sh" >"$logs/debs.txt" 2>"$logs/package.log" ||
  { tail -n 40 "$logs/package.log"; echo "package_test: scripts/package.sh failed" >&2; exit 1; }
deb=$(grep '/tarvo_[^/]*_amd64\.deb$' "$logs/debs.txt")
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes" \
     "(installed $(dpkg-deb -f "$deb" Installed-Size) KiB)"

# 2. The Debian 12 root, made once; what the package depends on is added to it, so the
# container installs the package offline.
if [ ! -e "$base/.complete" ]; then
  echo "== package_test: debootstrap (first run only)"
  rm -rf "$base.new"
  timeout 1200 debootstrap --variant=minbase \
    --include=systemd,systemd-sysv,dbus,busybox,curl,procps,logrotate bookworm "$base.new" \
    "$mirror" >"$logs/debootstrap.log" 2>&1 || { tail -n 20 "$logs/debootstrap.log"; exit 1; }
  touch "$base.new/.complete"
  mv "$base.new" "$base"
fi
missing=()
for dependency in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g'); do
  dpkg-query --admindir="$base/var/lib/dpkg" -W -f='${Status}\n' "$dependency" 2>/dev/null |
    grep -q 'install ok installed' || missing+=("$dependency")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== package_test: adding ${missing[*]} to the root"
  timeout 900 systemd-nspawn -q -D "$base" --register=no --keep-unit --pipe -E DEBIAN_FRONTEND=noninteractive \
    sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${missing[*]}" \
    >"$logs/dependencies.log" 2>&1 || { tail -n 20 "$logs/dependencies.log"; exit 1; }
fi

# 3. Boot a copy of it.
rm -rf "$machine"
cp -a "$base" "$machine"
install -m 0644 "$deb" "$machine/var/tmp/"
package=/var/tmp/$(basename "$deb")
systemd-nspawn -q -D "$machine" --boot --private-network --register=no --keep-unit \
  -M tarvo-package-test --console=passive </dev/null >"$logs/nspawn.log" 2>&1 &
nspawn_pid=$!
find_leader() {
  local child
  for child in $(pgrep -P "$nspawn_pid"); do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && { leader=$child; return 0; }
  done
  return 1
}
wait_for 30 find_leader || { echo "package_test: the container did not start" >&2; cat "$logs/nspawn.log"; exit 1; }
state=$(timeout 120 nsenter -t "$leader" -a systemctl is-system-running --wait 2>/dev/null || true)
echo "container: $state"
[ "$state" = running ] || in_machine systemctl --failed --no-pager || true

# 4. Install and start.
start=$(date +%s%N)
in_machine env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "$package" >"$logs/install.log" 2>&1 || { cat "$logs/install.log"; exit 1; }
active=$(in_machine systemctl is-active tarvo-vpn-server || true)
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
echo "install and start: $((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000))) s"

check "the service is active" test "$active" = active
main_pid=$(in_machine systemctl show -p MainPID --value tarvo-vpn-server)
check "the daemon runs as tarvo" test "$(in_machine ps -o user= -p "$main_pid" | tr -d ' ')" = tarvo
status=$(in_machine cat "/proc/$main_pid/status")
check "only CAP_NET_BIND_SERVICE, effective and bounding" \
  test "$(awk '/^CapEff|^CapBnd/ {print $2}' <<<"$status" | sort -u)" = 0000000000000400
open_files=$(in_machine awk '/^Max open files/ {print $4}' "/proc/$main_pid/limits")
echo "daemon's open-file limit: $open_files"
check "open-file limit above the default 1024" test "$open_files" -gt 1024
check "home /var/lib/tarvo is tarvo:tarvo 2770" \
  test "$(in_machine stat -c '%U:%G %a' /var/lib/tarvo)" = "tarvo:tarvo 2770"
check "the store file belongs to tarvo" \
  test "$(in_machine stat -c '%U:%G %a' /var/lib/tarvo/VPNdb.sqlite3)" = "tarvo:tarvo 660"
check "the data source VPN names the store" \
  grep -qx "Database=/var/lib/tarvo/VPNdb.sqlite3" <<<"$(in_machine odbcinst -q -s -n VPN)"
check "logrotate accepts the configuration" in_machine logrotate -d /etc/logrotate.d/tarvo
shipped() {  # every manual page of man/ is installed gzip'd in its section, and the completion
  local page name
  for page in "$root"/man/*.[1-8]; do
    [ -e "$page" ] || continue
    name=$(basename "$page")
    [ -s "$machine/usr/share/man/man${name##*.}/$name.gz" ] || { echo "missing $name"; return 1; }
  done
  [ ! -e "$root/admin/tarvoadm/tarvoadm.bash-completion" ] ||
    [ -s "$machine/usr/share/bash-completion/completions/tarvoadm" ]
}
check "manual pages and bash completion are in place" shipped

# 5. A member of tarvo and an outsider.
in_machine useradd -m -G tarvo alice
in_machine useradd -m outsider
add_user() {  # add_user AS NAME
  printf '%s\n' "$password" | as_user "$1" tarvoadm user add "$2" --password-file - --limit 10MB
}
check "alice (group tarvo) lists the users with no variable" as_user alice tarvoadm users
check "the outsider may not list them" fails as_user outsider tarvoadm users

# alice watches from before the login to after the relay.
in_machine systemd-run -q --unit=watch -p User=alice -p StandardOutput=file:/var/tmp/watch.out \
  -p StandardError=file:/var/tmp/watch.err tarvoadm watch
check "alice's tarvoadm watch attaches" \
  wait_for 10 grep -q "watching" "$machine/var/tmp/watch.err"
check "alice adds carol" add_user alice carol
check "the outsider may not add a user" fails add_user outsider mallory
check "alice reads the store directly, as her console does" \
  grep -q "^carol" <<<"$(as_user alice tarvostore list)"
check "the outsider may not" fails as_user outsider tarvostore list

# 6. carol relays through tarvoclient to an HTTP server in the container. The package's
# destination rules deny this host's loopback and link-local addresses, so the page is served
# on an address of lo outside them, and also on 127.0.0.1 and 169.254.169.254 (where a cloud
# metadata service answers), which relays must not reach.
check "the destination rules are in the home, tarvo's, mode 640" \
  test "$(in_machine stat -c '%U:%G %a' /var/lib/tarvo/tarvo-access.conf)" = "tarvo:tarvo 640"
check "they are the shipped ones" \
  cmp "$machine/usr/share/tarvo/tarvo-access.conf" "$machine/var/lib/tarvo/tarvo-access.conf"
in_machine mkdir -p /srv/www
echo "hello through the tunnel" >"$machine/srv/www/hello.txt"
in_machine busybox ip addr add 192.0.2.80/32 dev lo
in_machine busybox ip addr add 169.254.169.254/32 dev lo
in_machine busybox httpd -p 192.0.2.80:8080 -h /srv/www
in_machine busybox httpd -p 127.0.0.1:8080 -h /srv/www
# (port 8080 there too: the daemon holds port 80 on every address)
in_machine busybox httpd -p 169.254.169.254:8080 -h /srv/www
# 192.0.2.80 stands for a web server elsewhere, but here it is an address of the container
# itself, which the shipped rules deny as this host's: allow it first, as an administrator
# would for a service of the server's own, and have the daemon read the rules again.
{ echo "allow 192.0.2.80 port 8080"; cat "$machine/usr/share/tarvo/tarvo-access.conf"; } \
  >"$machine/var/lib/tarvo/tarvo-access.conf.new"
in_machine chown tarvo:tarvo /var/lib/tarvo/tarvo-access.conf.new
in_machine chmod 640 /var/lib/tarvo/tarvo-access.conf.new
in_machine mv /var/lib/tarvo/tarvo-access.conf.new /var/lib/tarvo/tarvo-access.conf
in_machine systemctl reload tarvo-vpn-server
printf '%s\n' "$password" >"$machine/var/tmp/carol.pw"
in_machine chmod 600 /var/tmp/carol.pw
in_machine systemd-run -q --unit=client -p StandardError=file:/var/tmp/client.err \
  tarvoclient --server 127.0.0.1:80 --user carol --password-file /var/tmp/carol.pw \
  --listen 127.0.0.1:1080
check "tarvoclient logs in" wait_for 15 grep -q "SOCKS5 proxy listening" "$machine/var/tmp/client.err"
through() {  # through URL: the body curl gets through carol's relay, or nothing
  in_machine curl -sS --max-time 10 --socks5-hostname 127.0.0.1:1080 "$1" || true
}
body=$(through http://192.0.2.80:8080/hello.txt)
check "curl gets the page through the relay" test "$body" = "hello through the tunnel"
check "the page is served on 127.0.0.1 and 169.254.169.254 too" \
  test "$(in_machine curl -sS --max-time 10 http://127.0.0.1:8080/hello.txt)$(in_machine curl \
    -sS --max-time 10 http://169.254.169.254:8080/hello.txt)" = "$body$body"
check "a relay to 127.0.0.1 is refused" test -z "$(through http://127.0.0.1:8080/hello.txt)"
check "a relay to 169.254.169.254 is refused" test -z "$(through http://169.254.169.254:8080/hello.txt)"
check "watch prints carol's login" wait_for 10 grep -q "^session_opened .*name=carol" "$machine/var/tmp/watch.out"
check "watch prints the relay" wait_for 10 grep -qE "^relay_connected destination=192.0.2.80 (.* )?port=8080( |$)" \
  "$machine/var/tmp/watch.out"
check "watch prints the refused relays closing" \
  wait_for 10 grep -qE "^relay_closed destination=169.254.169.254 " "$machine/var/tmp/watch.out"
check "no relay to this host or link-local connected" \
  fails grep -qE "^relay_connected destination=(127|169\.254)\." "$machine/var/tmp/watch.out"
in_machine systemctl stop client watch
user_field() {  # user_field NAME COLUMN: a column of tarvoadm users for NAME, as alice sees it
  as_user alice tarvoadm users | awk -F '\t' -v name="$1" -v column="$2" '$1 == name {print $column}'
}
counted() { [ "$(user_field carol 3)" -gt 0 ] 2>/dev/null; }
check "carol's relayed bytes are counted" wait_for 20 counted

# Metrics: Prometheus on this host scrapes the loopback port the package set; the tools read the
# local socket, as members of tarvo only.
check "the first install set the metrics address" \
  grep -qx '\[MetricsAddress\]:127.0.0.1:9473' "$machine/var/lib/tarvo/tarvoserver.ini"
scraped() { in_machine curl -sS --max-time 10 http://127.0.0.1:9473/metrics; }
metrics_served() { grep -q '^tarvo_sessions ' <<<"$(scraped)"; }
check "the metrics are served on 127.0.0.1:9473" metrics_served
check "they count carol's bytes" \
  grep -qE '^tarvo_relayed_bytes_total\{direction="down"\} [1-9]' <<<"$(scraped)"
check "alice reads the same figures with tarvoadm stats" \
  grep -qE '^tarvo_logins_total\{outcome="accepted"\} [1-9]' <<<"$(as_user alice tarvoadm stats)"
check "the outsider may not" fails as_user outsider tarvoadm stats

# The audit log rotates under logrotate and the daemon follows the rename.
check "alice turns auditing on" as_user alice tarvoadm settings set AuditType=1
client_status() {  # one login of carol's that reports her traffic and ends
  in_machine tarvoclient status --server 127.0.0.1:80 --user carol --password-file /var/tmp/carol.pw
}
check "a login with auditing on" wait_for 10 client_status
check "the audit log is tarvo's, mode 640" \
  test "$(in_machine stat -c '%U:%G %a' /var/lib/tarvo/vpn_log.csv)" = "tarvo:tarvo 640"
check "logrotate rotates it" in_machine logrotate -f /etc/logrotate.d/tarvo
check "the rotated log keeps the rows" test -s "$machine/var/lib/tarvo/vpn_log.csv.1"
check "a login after the rotation" wait_for 10 client_status
check "the daemon writes to the new log" wait_for 10 test -s "$machine/var/lib/tarvo/vpn_log.csv"
before_restart=$(as_user alice tarvoadm users)

# 7. A restart keeps users and counters.
in_machine systemctl restart tarvo-vpn-server
check "the service is active after a restart" test "$(in_machine systemctl is-active tarvo-vpn-server)" = active
check "users and counters survive the restart" test "$(as_user alice tarvoadm users)" = "$before_restart"
check "the metrics address outlived a save of the settings and the restart" \
  wait_for 10 metrics_served

# 8. alice administers carol; the outsider may not.
check "alice locks carol" as_user alice tarvoadm user lock carol
check "carol shows locked" test "$(user_field carol 4)" = yes
check "alice resets carol's counter" as_user alice tarvoadm user reset carol
check "carol's counter is 0" test "$(user_field carol 3)" = 0
check "the outsider may not lock" fails as_user outsider tarvoadm user lock carol
check "the outsider may not reset" fails as_user outsider tarvoadm user reset carol

# 9. A reload keeps the daemon; the journal: a start line, the reload, and never the password.
before_reload=$(in_machine systemctl show -p MainPID --value tarvo-vpn-server)
check "systemctl reload succeeds" in_machine systemctl reload tarvo-vpn-server
check "the same daemon runs after the reload" \
  test "$(in_machine systemctl show -p MainPID --value tarvo-vpn-server)" = "$before_reload"
for _ in $(seq 100); do  # the journal takes the daemon's line a moment after the reload
  journal=$(in_machine journalctl -u tarvo-vpn-server --no-pager -o cat)
  grep -q "reload: settings read again" <<<"$journal" && break
  sleep 0.1
done
check "the reload read the settings again" grep -q "reload: settings read again" <<<"$journal"
check "the journal has the daemon's start line" grep -qE "TarvoServer: listening on 0\.0\.0\.0 port 80" <<<"$journal"
rules_read() {  # the shipped rules were read, and no line of them is bad
  grep -q "destination rules from /var/lib/tarvo/tarvo-access.conf: 2 in force" <<<"$journal" &&
    ! grep -q "tarvo-access.conf line" <<<"$journal"
}
check "the daemon read the two shipped rules" rules_read
check "no password anywhere in the journal" \
  fails grep -qF "$password" <<<"$(in_machine journalctl --no-pager -o cat)"

# 10. remove keeps the store, purge deletes it.
in_machine env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tarvo >"$logs/remove.log" 2>&1
check "remove stops the service" fails in_machine systemctl is-active -q tarvo-vpn-server
check "remove keeps the store" test -s "$machine/var/lib/tarvo/VPNdb.sqlite3"
in_machine env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "$package" >"$logs/reinstall.log" 2>&1
check "a reinstall finds carol again, locked" test "$(user_field carol 4)" = yes
check "and keeps the destination rules" test -s "$machine/var/lib/tarvo/tarvo-access.conf"
in_machine env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tarvo >"$logs/purge.log" 2>&1
check "purge deletes /var/lib/tarvo" test ! -e "$machine/var/lib/tarvo"
check "purge deletes the data source" fails in_machine odbcinst -q -s -n VPN
check "purge leaves no unit" test ! -e "$machine/lib/systemd/system/tarvo-vpn-server.service"

echo "package_test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
