#!/usr/bin/env bash
# Records again every recording under tests/recordings/ that the simulated unit
# makes, gzipped. Run it when the trace format or the update chain changes on
# purpose (the replays then part from the old recordings); read the diff of the
# zcat'ed files before committing them.
#
#   tools/record-replays.sh [LINUX_BUILD [WIN64_BUILD [ROAD_OUT]]]
#
# LINUX_BUILD defaults to build/dev, WIN64_BUILD to build/win64 (its recording is
# made under wine, for the replay across systems; skipped when it is not built).
# The real road's recordings are the traces its scenarios leave in ROAD_OUT
# (default build/release/kernel-road/out): run `ctest --preset kernel` first; they
# are taken only when they are newer than the release build's tool, which the road runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=${1:-$root/build/dev}
win64_build=${2:-$root/build/win64}
road_out=${3:-$root/build/release/kernel-road/out}
out=$root/tests/recordings
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# NAME EXIT-CODE SYSTEM ARGS...: one case. Pace 10 keeps each replay to seconds.
cases=(
  "update 0 linux"
  "refused-too-old 2 linux --sim version-text=KV-93T__011"
  "refused-wrong-type 2 linux --sim unit-type=0x34"
  "boot-loader-bad-echo 3 linux --sim fault=bad-echo@sync-package"
  "unplugged-mid-flash 4 linux --sim fault=unplug@data:300 --timeout 2"
  "windows-read-error-recovered-then-bad-echo 3 windows --sim fault=read-error@data:100 --sim fault=bad-echo@data:200"
)

record() {
  local name=$1 expected=$2 system=$3
  shift 3
  local tool
  if [ "$system" = windows ]; then
    if [ ! -x "$win64_build/app/kv93t-update.exe" ]; then
      echo "skipped $name: $win64_build/app/kv93t-update.exe is not built" >&2
      return
    fi
    tool=("$root/tools/wine-run.sh" "$win64_build/app/kv93t-update.exe")
  else
    tool=("$linux_build/app/kv93t-update")
  fi
  # Blanks inside a --sim value are written as __ in the table above.
  local args=()
  for arg in "$@"; do args+=("${arg//__/  }"); done
  local code=0
  # Relative names: the same under wine as here.
  (cd "$work" && "${tool[@]}" --simulate --pace-divisor 10 "${args[@]}" --trace "$name.trace" \
    >"$name.out" 2>&1) || code=$?
  if [ "$code" != "$expected" ]; then
    echo "$name: exit $code, expected $expected" >&2
    cat "$work/$name.out" >&2
    exit 1
  fi
  gzip -9n <"$work/$name.trace" >"$out/$name.trace.gz"
  echo "$name: exit $code, $(wc -l <"$work/$name.trace") lines," \
    "$(wc -c <"$work/$name.trace") bytes, $(wc -c <"$out/$name.trace.gz") gzipped"
}

for entry in "${cases[@]}"; do
  # shellcheck disable=SC2086
  record $entry
done

# NAME EXIT-CODE SCENARIO/TRACE: the real road's traces, through Linux's own USB,
# HID and udev (replayed ten times faster than recorded).
road_cases=(
  "kernel-update 0 update/update.trace"
  "kernel-unplugged-mid-flash 4 unplug_mid_data/first.trace"
  "kernel-wine-update 0 wine_cli/wine.trace"
)
for entry in "${road_cases[@]}"; do
  read -r name expected trace <<<"$entry"
  road_tool=$road_out/../../app/kv93t-update
  if [ ! -f "$road_out/$trace" ] || [ "$road_out/$trace" -ot "$road_tool" ]; then
    echo "skipped $name: no $road_out/$trace newer than $road_tool" >&2
    continue
  fi
  code=$(tail -n 1 "$road_out/$trace" | awk '$2 == "X" { print $3 }')
  if [ "$code" != "$expected" ]; then
    echo "$name: the road's run ended with ${code:-no end line}, expected $expected" >&2
    exit 1
  fi
  gzip -9n <"$road_out/$trace" >"$out/$name.trace.gz"
  echo "$name: exit $code, $(wc -l <"$road_out/$trace") lines," \
    "$(wc -c <"$road_out/$trace") bytes, $(wc -c <"$out/$name.trace.gz") gzipped"
done
