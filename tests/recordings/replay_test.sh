#!/usr/bin/env bash
# One replay of a recording of this folder through the real executable.
#
#   replay_test.sh MODE RECORDING.trace.gz TOOL...
#
#   follows      the replay ends as the recording did: its exit code, its messages
#                and steps (the tool holds them to the recording and says so)
#   edited       one byte of a reply changed: exit 7, parted at that line, its bytes shown
#   cut          the recording cut short: exit 7, it ran out, at which step
#   unversioned  the recording without its header, as traces were before: refused, exit 1
set -euo pipefail
mode=$1
recording=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gzip -dc "$recording" >"$work/played.trace"
cd "$work"

fail() {
  echo "FAILED ($mode, $(basename "$recording")): $*" >&2
  cat out.txt >&2
  exit 1
}

# Runs the tool on played.trace (a relative name: the same under wine); sets $code.
# KV_REPLAY_PACE=N plays a recording made at the unit's own pace N times faster.
replay() {
  code=0
  timeout 120 "$@" --replay played.trace ${KV_REPLAY_PACE:+--pace-divisor "$KV_REPLAY_PACE"} \
    >out.txt 2>&1 || code=$?
}

case $mode in
  follows)
    expected=$(tail -n 1 played.trace | awk '$2 == "X" { print $3 }')
    [ -n "$expected" ] || fail "the recording has no end line"
    replay "$@"
    [ "$code" = "$expected" ] || fail "exit $code, the recording ended with $expected"
    grep -q "the run followed its recording to its end" out.txt || fail "no word that it followed"
    ;;
  edited)
    # The 200th report the unit sent: a data packet's reply, its echo changed.
    line=$(grep -n ' R 00 ' played.trace | sed -n 200p | cut -d: -f1)
    old=$(sed -n "${line}p" played.trace | awk '{ print $4 }')
    new=$([ "$old" = 5A ] && echo A5 || echo 5A)
    awk -v n="$line" -v b="$new" 'NR == n { $4 = b } { print }' played.trace >edited.trace
    mv edited.trace played.trace
    replay "$@"
    [ "$code" = 7 ] || fail "exit $code, expected 7"
    grep -q "parted from its recording at line $line," out.txt || fail "line $line not named"
    grep -q "(line $line): R 00  $new " out.txt || fail "the edited reply's bytes not shown"
    ;;
  cut)
    head -n 1500 played.trace >cut.trace
    mv cut.trace played.trace
    replay "$@"
    [ "$code" = 7 ] || fail "exit $code, expected 7"
    grep -q "the recording ran out" out.txt || fail "no word that it ran out"
    grep -q 'at step "Mcu Programing ' out.txt || fail "the step not named"
    ;;
  unversioned)
    grep -v '^#' played.trace >old.trace
    mv old.trace played.trace
    replay "$@"
    [ "$code" = 1 ] || fail "exit $code, expected 1"
    grep -q "not a recording" out.txt || fail "no word why"
    grep -q "pressing" out.txt && fail "the update started"
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
echo "ok: $mode $(basename "$recording") (exit $code)"
