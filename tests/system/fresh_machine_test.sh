#!/usr/bin/env bash
# The README's commands on a fresh Debian 12 machine, as a new user would run them: a newly
# debootstrapped root (minbase: the base system and nothing else) gets a clean export of the
# checkout (tracked files, with their uncommitted changes; no build directories), runs
# scripts/setup.sh there (the packages from the registry, then the build), then the README's
# first command, the daemon on its embedded defaults with a first user, and checks with
# tarvoadm that the daemon answers and the user is there. Prints how long the install and the
# build took; fails with the first error when a package is missing. Needs root.
# The pristine root is kept in .cache/fresh-machine/ (gitignored); each run works on a copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/system/container_host.sh" fresh_machine_test debootstrap systemd-nspawn git

cache=$root/.cache/fresh-machine
base=$cache/bookworm
machine=$cache/machine
logs=$cache/logs
mirror=${TARVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${TARVO_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
trap 'rm -rf "$machine"' EXIT
trap 'exit 130' INT TERM HUP
mkdir -p "$cache" "$logs"

if [ ! -e "$base/.complete" ]; then
  echo "== fresh_machine_test: debootstrap (first run only)"
  rm -rf "$base.new"
  timeout 1200 debootstrap --variant=minbase bookworm "$base.new" "$mirror" \
    >"$logs/debootstrap.log" 2>&1 || { tail -n 20 "$logs/debootstrap.log"; exit 1; }
  # The sources of a newly installed machine: the release, its updates and security fixes.
  cat >"$base.new/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
  touch "$base.new/.complete"
  mv "$base.new" "$base"
fi
rm -rf "$machine"
cp -a "$base" "$machine"
rm "$machine/.complete"

# A clean export: what is tracked, as it stands in the work tree.
snapshot=$(git -C "$root" stash create 2>/dev/null || true)
mkdir -p "$machine/root/tarvo"
git -C "$root" archive "${snapshot:-HEAD}" | tar -x -C "$machine/root/tarvo"

in_machine() {  # in_machine NSPAWN-OPTIONS... -- COMMAND...: as root, in /root/tarvo
  timeout 3600 systemd-nspawn -q -D "$machine" --register=no --keep-unit --pipe \
    --chdir=/root/tarvo -E DEBIAN_FRONTEND=noninteractive -E LANG=C.UTF-8 "$@" </dev/null
}
first_error() {  # the first line of LOG that says what went wrong, with what follows it
  local line
  line=$(grep -n -m1 -E '^E: |CMake Error|FAILED: |error: |Failed to find|command not found' "$1" |
    cut -d: -f1 || true)
  if [ -n "$line" ]; then sed -n "${line},$((line + 12))p" "$1"; else tail -n 30 "$1"; fi
}

# 1. The set-up, timed per line so that the install and the build can be told apart.
echo "== fresh_machine_test: scripts/setup.sh on a new Debian 12"
start=$EPOCHSECONDS
status=0
in_machine -- scripts/setup.sh 2>&1 |
  while IFS= read -r line; do printf '%s %s\n' "$EPOCHSECONDS" "$line"; done >"$logs/setup.log" ||
  status=$?
end=$EPOCHSECONDS
if [ "$status" -ne 0 ]; then
  echo "FAIL scripts/setup.sh on a fresh machine (exit $status); the first error:"
  cut -d' ' -f2- "$logs/setup.log" >"$logs/setup.txt"
  first_error "$logs/setup.txt" | sed 's/^/     /'
  exit 1
fi
configured=$(awk '/ -- The (C|CXX) compiler identification/ { print $1; exit }' "$logs/setup.log")
echo "packages installed in $((${configured:-$end} - start)) s, built in $((end - ${configured:-$end})) s"

# 2. The README's first command, on a network of its own (the daemon takes port 80).
echo "== fresh_machine_test: the daemon on its embedded defaults with a first user"
cat >"$machine/root/first_command.sh" <<'EOF'
set -u
TARVO_FIRST_USER=alice TARVO_FIRST_PASSWORD=Fresh-Pw-1 scripts/run.sh >/root/run.log 2>&1 &
runner=$!
adm=build/bin/tarvoadm
for _ in $(seq 1 150); do  # up to 30 s for the daemon to answer and the user to be added
  "$adm" user show alice >/dev/null 2>&1 && break
  kill -0 "$runner" 2>/dev/null || break
  sleep 0.2
done
"$adm" settings && "$adm" user show alice
answered=$?
kill -TERM "$runner" 2>/dev/null
wait "$runner"
stopped=$?
echo "--- scripts/run.sh printed:"; cat /root/run.log
[ "$answered" -eq 0 ] || { echo "tarvoadm got no answer, or alice is missing"; exit 1; }
[ "$stopped" -eq 0 ] || { echo "scripts/run.sh ended with status $stopped on SIGTERM"; exit 1; }
EOF
if in_machine --private-network -- bash /root/first_command.sh >"$logs/run.log" 2>&1; then
  sed 's/^/     /' "$logs/run.log"
  echo "ok   the daemon answers tarvoadm on a fresh machine, and the first user is there"
else
  echo "FAIL the README's first command on a fresh machine:"
  sed 's/^/     /' "$logs/run.log"
  exit 1
fi
