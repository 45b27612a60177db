#!/usr/bin/env bash
# Runs a test preset's tests N times in a row with K busy loops beside them and
# prints, per test, how many runs it had and how many of them did not pass
# (a failure, a time-out or a test that did not run all count). Any further
# arguments go to ctest, e.g. -R 'CliRun' to stress a subset.
#   tools/stress-tests.sh PRESET [N=3] [K=2] [ctest arguments...]
# Exit status: 0 when every run of every test passed, 1 otherwise.
set -euo pipefail
if [ $# -lt 1 ] || [[ "$1" == -* ]]; then
  echo "usage: $0 PRESET [RUNS=3] [BUSY_LOOPS=2] [ctest arguments...]" >&2
  exit 2
fi
preset=$1
shift
runs=3
loops=2
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then runs=$1; shift; fi
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then loops=$1; shift; fi
cd "$(dirname "$0")/.."

results=$(mktemp -d)
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$results"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Each loop also ends by itself once this script has gone, even if it was
# killed too hard for the trap to run.
for ((i = 0; i < loops; i++)); do
  (while kill -0 $$ 2>/dev/null; do :; done) &
  busy+=($!)
done

started=$SECONDS
for ((run = 1; run <= runs; run++)); do
  echo "=== run $run of $runs ($loops busy loops)" >&2
  ctest --preset "$preset" -j2 --output-junit "$results/run-$run.xml" "$@" >"$results/run-$run.log" 2>&1 || true
  if [ ! -s "$results/run-$run.xml" ]; then
    cat "$results/run-$run.log" >&2
    echo "run $run: ctest wrote no results" >&2
    exit 1
  fi
  tail -n 3 "$results/run-$run.log" >&2
done

# One <testcase .../> per test and run; a pass is status="run" with no
# <failure> element inside it.
awk -v runs="$runs" -v loops="$loops" -v seconds=$((SECONDS - started)) '
  function finish() {
    if (name == "") return
    count[name]++
    if (!passed) failed[name]++
    name = ""
  }
  /<testcase / {
    finish()
    match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
    passed = ($0 ~ /status="run"/)
    if ($0 ~ /\/>[[:space:]]*$/) finish()
    next
  }
  /<failure|<skipped|<error/ { passed = 0 }
  /<\/testcase>/ { finish() }
  END {
    width = 4
    for (n in count) if (length(n) > width) width = length(n)
    printf "%-" width "s  %4s  %8s\n", "test", "runs", "failures"
    total = 0; bad = 0
    for (n in count) {
      printf "%-" width "s  %4d  %8d\n", n, count[n], failed[n] + 0 | "sort"
      total += count[n]; bad += failed[n]
    }
    close("sort")
    printf "%d test runs (%d runs, %d busy loops, %d s): %d failures\n", total, runs, loops, seconds, bad
    exit bad > 0
  }' "$results"/run-*.xml
