# Sourced by the system tests that start containers. systemd-nspawn refuses to run where /run is
# not a tmpfs (it will not clean up its propagation directory on a disk file system). On such a
# host the test runs again in a mount namespace of its own, with a tmpfs on /run that ends with
# it: nothing on the host changes, and the test needs nothing under the host's /run.
if [ "$(findmnt -n -o FSTYPE -T /run)" != tmpfs ]; then
  if [ -z "${TARVO_PRIVATE_RUN:-}" ]; then
    exec env TARVO_PRIVATE_RUN=1 unshare --mount --propagation private -- bash "$0" "$@"
  fi
  mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run
fi
