#!/usr/bin/env bash
# fault-matrix's own arguments: --help is not an error, a bad --jobs is refused
# before any case runs.
set -u
tool="$1"
failures=0
out="$(timeout 10 "$tool" --help 2>/dev/null)"; code=$?
if [ "$code" -eq 0 ] && [[ "$out" == *"--jobs N"* ]]; then echo "PASS: --help exits 0"; else echo "FAIL: --help exit $code"; failures=1; fi
err="$(timeout 10 "$tool" --jobs x 2>&1 >/dev/null)"; code=$?
if [ "$code" -eq 2 ] && [[ "$err" == *"--jobs x"* ]]; then echo "PASS: --jobs x refused"; else echo "FAIL: --jobs x exit $code: $err"; failures=1; fi
timeout 10 "$tool" --jobs 0 >/dev/null 2>&1; code=$?
if [ "$code" -eq 2 ]; then echo "PASS: --jobs 0 refused"; else echo "FAIL: --jobs 0 exit $code"; failures=1; fi
exit "$failures"
