#!/usr/bin/env bash
# Ctrl-C (SIGINT) to a waiting kv93t-update: it closes the session and ends
# with 130 within a few seconds; a second signal is not needed.
set -u
tool="$1"
"$tool" --simulate --sim start=absent --sim attach-ms=60000 >/dev/null 2>&1 &
pid=$!
sleep 0.5
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
