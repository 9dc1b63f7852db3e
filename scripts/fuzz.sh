#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) in build-fuzz/ and runs each one for a
# bounded time over its seed corpus. Any crash, leak, time-out, memory blow-up or sanitizer
# report fails the run; the input that caused it is kept under build-fuzz/runs/<target>/.
# Usage: scripts/fuzz.sh [target...]    FUZZ_SECONDS=30 (per target) overrides the time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
build="$root/build-fuzz"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(opening_fuzz session_message_fuzz record_fuzz settings_fuzz
                                     control_request_fuzz access_rules_fuzz metrics_text_fuzz
                                     proxy_header_fuzz)

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found; scripts/setup.sh installs it" >&2
  exit 1
fi
cmake -S "$root" -B "$build" -G Ninja -DTARVO_FUZZ=ON -DTARVO_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target "${targets[@]}"

# The ODBC drivers keep what they read for a data source and never free it.
export LSAN_OPTIONS="suppressions=$root/tests/data/odbc_driver_leaks.supp:print_suppressions=0"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
summary=()
for target in "${targets[@]}"; do
  run="$build/runs/$target"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/tmp"
  log="$run/log.txt"
  echo "== $target: ${seconds}s"
  status=0
  # New inputs go to the run's own corpus; the committed seeds are only read.
  TMPDIR="$run/tmp" "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$run/" \
    "$run/corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || grep -qE "ERROR: (Address|Leak|libFuzzer)|runtime error:" "$log"; then
    tail -n 40 "$log"
    echo "!! $target failed (exit $status); reproducer: $(ls "$run"/crash-* "$run"/leak-* \
      "$run"/timeout-* "$run"/oom-* 2>/dev/null | head -n 1)"
    failed+=("$target")
    continue
  fi
  # The last status line holds the coverage; the final stats the totals.
  done_line=$(grep -E '^#[0-9]+[[:space:]].* cov: ' "$log" | tail -n 1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$done_line")
  summary+=("$(printf '%-22s %10s execs %8s/s  cov %5s  ft %6s  corpus %-10s rss %sMB' \
    "$target" "$execs" "$rate" "$cov" "$ft" "$corpus" "$rss")")
  rm -rf "$run/tmp"
done

echo "== fuzzing summary (${seconds}s per target)"
for line in "${summary[@]}"; do echo "$line"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
