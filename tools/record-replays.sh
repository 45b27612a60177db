#!/usr/bin/env bash
# Records again every recording under tests/recordings/ that the simulated unit
# makes, gzipped. Run it when the trace format or the update chain changes on
# purpose (the replays then part from the old recordings); read the diff of the
# zcat'ed files before committing them.
#
#   tools/record-replays.sh [LINUX_BUILD [WIN64_BUILD]]
#
# LINUX_BUILD defaults to build/dev, WIN64_BUILD to build/win64 (its recording is
# made under wine, for the replay across systems; skipped when it is not built).
# The recordings of the real kernel road are made by tests/kernel (see its README).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=${1:-$root/build/dev}
win64_build=${2:-$root/build/win64}
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
  "read-error-recovered-windows 0 windows --sim fault=read-error@data:100"
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
