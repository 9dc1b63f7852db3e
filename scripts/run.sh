#!/usr/bin/env bash
# Sets up Tarvo and runs the daemon in the foreground on its embedded defaults.
# The home directory is TARVO_HOME when set, else build/bin (the directory of the executable).
# With TARVO_FIRST_USER and TARVO_FIRST_PASSWORD set, that user is added once the daemon answers
# (with tarvoadm, over the control channel); a user that already exists is left as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
bin="$root/build/bin"
if [[ -z "${TARVO_FIRST_USER:-}" ]]; then
  exec "$bin/TarvoServer" "$@"
fi

"$bin/TarvoServer" "$@" &
daemon=$!
trap 'kill -TERM "$daemon" 2>/dev/null || true' INT TERM
# The daemon makes its control port before it reports that it runs; give it up to 10 seconds.
for _ in $(seq 1 50); do
  kill -0 "$daemon" 2>/dev/null || break
  "$bin/tarvoadm" settings >/dev/null 2>&1 && break
  sleep 0.2
done
printf '%s\n' "${TARVO_FIRST_PASSWORD:-}" |
  "$bin/tarvoadm" user add "$TARVO_FIRST_USER" --password-file - || true
# A signal ends the first wait early; the second collects the daemon's own exit status.
wait "$daemon" || true
status=0
wait "$daemon" || status=$?
exit "$status"
