#!/usr/bin/env bash
# Ctrl-C (SIGINT) to a waiting kv93t-update: it closes the session and ends
# with 130 within a few seconds; a second signal is not needed.
set -u
tool="$1"
output="$(mktemp)"
trap 'rm -f "$output"' EXIT
"$tool" --simulate --sim start=absent --sim attach-ms=60000 >"$output" 2>&1 &
pid=$!
# Signalled once it has written its first line, by when it handles SIGINT
# itself: sooner, the signal would meet the SIG_IGN a non-interactive shell
# gives background jobs, however long a loaded machine takes to start it.
for _ in $(seq 100); do
  [ -s "$output" ] && break
  sleep 0.1
done
kill -INT "$pid"
for _ in $(seq 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "FAIL: still running 5 s after SIGINT"
  kill -KILL "$pid"
  exit 1
fi
wait "$pid"
code=$?
if [ "$code" -ne 130 ]; then
  echo "FAIL: exit code $code, expected 130"
  exit 1
fi
echo "PASS: SIGINT ended the tool with 130"
