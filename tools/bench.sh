#!/usr/bin/env bash
# The one benchmark command: builds the release preset and prints one table, each
# figure beside its goal. Takes a few minutes: the full chain runs at the tool's
# own pacing (~30 s) and the soak runs 50 updates back to back.
#
#   tools/bench.sh                 configure and build build/release, then measure
#   KV_BENCH_BUILD_DIR=DIR tools/bench.sh   the same in another build directory
#   tools/bench.sh --no-build      measure what is already built (the `bench` target)
#
# Exit status 0 when every goal is met, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KV_BENCH_BUILD_DIR:-$root/build/release}
soak_chains=${KV_SOAK_CHAINS:-50}
targets=(link_bench image_bench chain_bench kv93t-update soak_test)

if [ "${1:-}" != "--no-build" ]; then
  tools/install-deps.sh
  cmake --preset release -B "$build" >/dev/null
  cmake --build "$build" -j2 --target "${targets[@]}"
fi

for tool in tools/bench/link_bench tools/bench/image_bench tools/bench/chain_bench app/kv93t-update; do
  [ -x "$build/$tool" ] || { echo "bench: $build/$tool is missing" >&2; exit 2; }
done
soak_binary=$(find "$build/tests" -name soak_test -type f -perm -u+x | head -n 1)
[ -n "$soak_binary" ] || { echo "bench: soak_test is missing under $build/tests" >&2; exit 2; }

log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT

echo "load before measuring: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "running link_bench ..."
"$build/tools/bench/link_bench" >"$log/link" 2>&1
echo "running image_bench ..."
"$build/tools/bench/image_bench" --benchmark_filter='BM_ParseAndDumpMcuImage$' \
  --benchmark_format=csv >"$log/image" 2>/dev/null
echo "running chain_bench (one update at the tool's own pacing, ~30 s) ..."
"$build/tools/bench/chain_bench" --cli "$build/app/kv93t-update" >"$log/chain" 2>&1 || true
# One run of the command line with its wall time, CPU time and peak memory:
# "wall_s cpu_s peak_mb exit".
measure_cli() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
wall = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.2f %.2f %.1f %d" % (wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024, code))
PY
}
echo "running one unit, then eight at once with --all (each at the unit's own pace, ~60 s) ..."
read -r one_wall one_cpu one_mb one_exit <<<"$(measure_cli "$build/app/kv93t-update" --simulate)"
read -r all_wall all_cpu all_mb all_exit <<<"$(measure_cli "$build/app/kv93t-update" --simulate \
  --all --sim units=8)"
echo "running the soak ($soak_chains updates) ..."
KV_SOAK_CHAINS=$soak_chains "$soak_binary" --gtest_brief=1 >"$log/soak" 2>&1 || true

# figure NAME from chain_bench's "figure NAME VALUE" lines
figure() { awk -v name="$1" '$1 == "figure" && $2 == name { print $3 }' "$log/chain"; }
# link/floor ratio of one placement ("one cpu" or "two cpus")
link_ratio() { sed -n "s/^$1 *link\/floor (medians) \([0-9.]*\),.*/\1/p" "$log/link"; }
image_ms() {
  awk -F, '/BM_ParseAndDumpMcuImage/ { unit = $5; gsub(/"/, "", unit); t = $3;
    if (unit == "us") t /= 1000; else if (unit == "ns") t /= 1e6; else if (unit == "s") t *= 1000;
    printf "%.2f", t }' "$log/image"
}
# soak figures after the first or the last update: "RSS X MiB, T threads, F open fds"
soak_line() { sed -n "s/^ *after the $1: *//p" "$log/soak"; }

all_met=1
row() {  # row LABEL VALUE UNIT COMPARATOR GOAL
  local label=$1 value=$2 unit=$3 comparator=$4 goal=$5 verdict
  if [ -z "$value" ]; then
    verdict="no figure"
    all_met=0
  elif awk -v v="$value" -v g="$goal" -v c="$comparator" \
      'BEGIN { exit !((c == "<=" && v <= g) || (c == "<" && v < g)) }'; then
    verdict="met"
  else
    verdict="missed"
    all_met=0
  fi
  printf '%-52s %10s %-4s %2s %-8s %s\n' "$label" "${value:--}" "$unit" "$comparator" "$goal" "$verdict"
}

echo
printf '%-52s %10s %-4s %-11s %s\n' "figure" "measured" "" "goal" "verdict"
printf '%s\n' "--------------------------------------------------------------------------------------------"
row "link round trip / hand-off floor, one cpu" "$(link_ratio 'one cpu')" "x" "<=" 2.0
row "link round trip / hand-off floor, two cpus" "$(link_ratio 'two cpus')" "x" "<=" 2.0
row "full chain overhead over its pacing floor" "$(figure chain_overhead_pct)" "%" "<=" 3
row "cpu time over the chain, share of one core" "$(figure chain_cpu_pct)" "%" "<" 2
row "peak resident memory, kv93t-update --simulate" "$(figure cli_peak_rss_mb)" "MB" "<" 16
row "ParseMcuImage + DumpImage" "$(image_ms)" "ms" "<" 5
[ "$one_exit" = 0 ] && [ "$all_exit" = 0 ] || { echo "the one-unit or the --all run failed" >&2; all_met=0; }
row "8 units --all: wall time / one unit's" \
  "$(awk -v a="$all_wall" -v o="$one_wall" 'BEGIN { if (o > 0) printf "%.3f", a / o }')" "x" "<=" 1.05
row "8 units --all: cpu time per unit / one unit's" \
  "$(awk -v a="$all_cpu" -v o="$one_cpu" 'BEGIN { if (o > 0) printf "%.2f", a / 8 / o }')" "x" "<=" 1.5
row "8 units --all: peak resident memory" "$all_mb" "MB" "<" 64

first=$(soak_line first)
last=$(soak_line last)
threads_first=$(sed -n 's/.* \([0-9]*\) threads.*/\1/p' <<<"$first")
threads_last=$(sed -n 's/.* \([0-9]*\) threads.*/\1/p' <<<"$last")
fds_first=$(sed -n 's/.* \([0-9]*\) open fds.*/\1/p' <<<"$first")
fds_last=$(sed -n 's/.* \([0-9]*\) open fds.*/\1/p' <<<"$last")
rss_first=$(sed -n 's/^RSS \([0-9.]*\) MiB.*/\1/p' <<<"$first")
heap_first=$(sed -n 's/.*heap in use \([0-9.]*\) MiB.*/\1/p' <<<"$first")
heap_last=$(sed -n 's/.*heap in use \([0-9.]*\) MiB.*/\1/p' <<<"$last")
rss_last=$(sed -n 's/^RSS \([0-9.]*\) MiB.*/\1/p' <<<"$last")
soak_passed=$(grep -q '^\[  PASSED  \] 1 test' "$log/soak" && echo yes || echo no)
row "soak $soak_chains updates: threads after last" "$threads_last" "" "<=" "${threads_first:-?}"
row "soak $soak_chains updates: open fds after last" "$fds_last" "" "<=" "${fds_first:-?}"
row "soak $soak_chains updates: heap in use after last" "$heap_last" "MiB" "<=" \
  "$(awk -v f="${heap_first:-0}" 'BEGIN { printf "%.2f", f + 0.25 }')"
row "soak $soak_chains updates: RSS after last (MiB)" "$rss_last" "MiB" "<=" \
  "$(awk -v f="${rss_first:-0}" 'BEGIN { printf "%.1f", f + 4 }')"
echo
echo "one unit: ${one_wall} s wall, ${one_cpu} s cpu, ${one_mb} MB peak; 8 units --all: ${all_wall} s wall, ${all_cpu} s cpu, ${all_mb} MB peak"
echo "chain:"
grep -v '^figure' "$log/chain" | sed 's/^/  /'
echo "$(grep -m1 '^soak:' "$log/soak" || echo 'soak: no result') (every update byte-exact: $soak_passed)"
echo "  after the first: ${first:-?}"
echo "  after the last:  ${last:-?}"
[ "$soak_passed" = yes ] || all_met=0

[ "$all_met" -eq 1 ]
