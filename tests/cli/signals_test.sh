#!/usr/bin/env bash
# The real executable under signals and closed output: a reader that goes away,
# SIGHUP, GNU timeout, a double SIGTERM, Ctrl-C, and a 60-column terminal.
# Every wait is bounded; a hung tool fails the case and is killed.
set -u
tool="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fast=(--simulate --sim usb-ms=0 --sim reply-ms=0 --sim erase-ms=5 --sim reenum-ms=20
      --pace-divisor 10 --timeout 20)
waiting=(--simulate --sim start=absent --sim attach-ms=60000)
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "PASS: $*"; }

# Waits at most $2 tenths of a second for pid $1; kills it if it is still there.
wait_bounded() {
  local pid="$1" tenths="$2"
  for _ in $(seq "$tenths"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 1
  fi
  return 0
}

# Waits at most 10 s until file $1 has a line: the tool has set up its signal
# handling by then (a signal that comes sooner meets the defaults, or the
# SIG_IGN a non-interactive shell gives background jobs for SIGINT).
wait_ready() {
  for _ in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Starts the tool with the arguments after the first six, sends it the signals
# once it has written its first line (and `delay` seconds more), then expects it
# to end within `tenths` tenths of a second, with exit code `want` and a line
# matching `text` in its output.
run_signalled() {
  local name="$1" signals="$2" delay="$3" tenths="$4" want="$5" text="$6"
  shift 6
  local output="$work/$name.out" signal code
  "$tool" "$@" >"$output" 2>&1 &
  local pid=$!
  wait_ready "$output"
  sleep "$delay"
  for signal in $signals; do kill "-$signal" "$pid"; done
  if ! wait_bounded "$pid" "$tenths"; then
    fail "$name: still running $((tenths / 10)) s later"
    return
  fi
  wait "$pid"
  code=$?
  if [ "$code" -eq "$want" ] && grep -q "$text" "$output"; then
    pass "$name: exit $code, \"$text\""
  else
    fail "$name: exit $code"; tail -3 "$output"
  fi
}

# 1. A reader that stops at once: the update still goes on to its end, verified.
timeout -s KILL 120 bash -c '"$0" "$@" --json --trace "'"$work"'/pipe.trace" | head -c 10 >/dev/null; exit "${PIPESTATUS[0]}"' \
  "$tool" "${fast[@]}"
code=$?
if [ "$code" -eq 0 ] && grep -q '^[0-9.]* W 00  10 02 00 01 [0-9A-F][0-9A-F] 04 ' "$work/pipe.trace"; then
  pass "closed pipe: the update completed (exit 0, unit verified) and cmdCode04 was written"
else
  fail "closed pipe: exit $code"
fi

# 2. SIGHUP mid-update: ignored, the update goes on to its end.
run_signalled SIGHUP HUP 0.5 1200 0 'end (exit 0)' "${fast[@]}"

# 3. GNU timeout (SIGTERM to the child, then to its group): end line and JSON end object.
timeout 5 "$tool" "${waiting[@]}" --json >"$work/timeout.out" 2>&1
code=$?
last="$(tail -n 1 "$work/timeout.out")"
if [ "$code" -eq 124 ] && [[ "$last" == *'"event":"end"'* ]] && [[ "$last" == *'"exit_code":130'* ]]; then
  pass "timeout 5: the JSON end object is the last line"
else
  fail "timeout 5: exit $code, last line: $last"
fi

# 4. Two SIGTERMs at once: one clean close, exit 130, the end line written.
run_signalled double-SIGTERM "TERM TERM" 0 100 130 'end (exit 130): interrupted' "${waiting[@]}"

# 5. Ctrl-C while waiting: exit 130, said where the unit was left.
run_signalled SIGINT INT 0 100 130 'the unit was left in run mode, unchanged' "${waiting[@]}"

# 6. A 60-column terminal: every redraw fits in one row (59 characters).
if command -v script >/dev/null; then
  timeout -s KILL 120 script -qfec "stty cols 60; $(printf '%q ' "$tool" "${fast[@]}")" "$work/pty.out" >/dev/null 2>&1
  code=$?
  # The terminal ends each line with CR LF; the redraws are the pieces between
  # the other carriage returns. Ordinary lines (the verdict) may wrap as any text does.
  read -r longest redraws < <(awk '{ sub(/\r$/, ""); n = split($0, part, "\r");
      if (n > 1) for (i = 1; i <= n; i++) { pieces++; if (length(part[i]) > max) max = length(part[i]) } }
      END { print max + 0, pieces + 0 }' "$work/pty.out")
  if [ "$code" -eq 0 ] && [ "$longest" -le 59 ] && [ "$redraws" -gt 10 ]; then
    pass "60 columns: $redraws redraws, the longest row $longest characters"
  else
    fail "60 columns: exit $code, longest row $longest, $redraws carriage returns"
  fi
else
  echo "SKIP: 60 columns (no script)"
fi

[ "$failures" -eq 0 ]
