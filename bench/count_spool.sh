#!/bin/sh
# What keeping a killed daemon's loss to one second costs, for SESSIONS active sessions
# (default 10000): the spool of pending counts rewritten once a second (one line per delta,
# written to a new file and renamed over the old, as the daemon does), against storing every
# second instead of every 11 s (one store statement per active session per interval).
# Usage: bench/count_spool.sh [SESSIONS]
set -eu
sessions=${1:-10000}
python3 - "$sessions" <<'PY'
import os, sys, tempfile, time
n = int(sys.argv[1])
d = tempfile.mkdtemp()
path = os.path.join(d, "pending-counts")
lines = "".join("0123456789abcdef01234567 %d %d %d user-%d\n" % (i + 1, 123456789, 98765, i)
                for i in range(n))
rounds = 50
start = time.process_time(); wall = time.perf_counter()
for _ in range(rounds):
    with open(path + ".new", "w") as f:
        f.write(lines)
    os.rename(path + ".new", path)
cpu = (time.process_time() - start) / rounds
print(f"sessions: {n}")
print(f"spool: {len(lines)} bytes a second, {cpu * 1000:.2f} ms CPU per write "
      f"(this script's Python; the daemon formats in C++)")
print(f"store statements/s with an 11 s interval: {n / 11:.0f}")
print(f"store statements/s with a 1 s interval:   {n:.0f}")
os.unlink(path); os.rmdir(d)
PY
