# Sourced by the system tests that start containers, after they set `root`:
#   source "$root/tests/system/container_host.sh" NAME TOOL...
# They need root and the tools named; without root they report that they did not run.
# systemd-nspawn refuses to run where /run is not a tmpfs (it will not clean up its propagation
# directory on a disk file system). On such a host the test runs again in a mount namespace of
# its own, with a tmpfs on /run that ends with it: nothing on the host changes, and the test
# needs nothing under the host's /run.
if [ "$(id -u)" -ne 0 ]; then
  echo "$1: needs root (debootstrap, systemd-nspawn); not run"
  exit 0
fi
for tool in "${@:2}" unshare; do
  command -v "$tool" >/dev/null || { echo "$1: $tool missing; scripts/setup.sh installs it" >&2; exit 1; }
done
if [ "$(findmnt -n -o FSTYPE -T /run)" != tmpfs ]; then
  if [ -z "${TARVO_PRIVATE_RUN:-}" ]; then
    exec env TARVO_PRIVATE_RUN=1 unshare --mount --propagation private -- bash "$0"
  fi
  mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run
fi
