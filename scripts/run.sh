#!/usr/bin/env bash
# Sets up Tarvo and runs the daemon in the foreground on its embedded defaults.
# The home directory is TARVO_HOME when set, else build/bin (the directory of the executable).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
exec "$root/build/bin/TarvoServer" "$@"
