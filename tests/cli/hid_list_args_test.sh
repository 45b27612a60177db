#!/usr/bin/env bash
# hid-list's own arguments: --help prints its usage and exits 0 without
# listing; anything else is refused with exit 2 before any device is touched.
set -u
tool="$1"
failures=0
out="$(timeout 10 "$tool" --help 2>/dev/null)"; code=$?
if [ "$code" -eq 0 ] && [[ "$out" == "usage: hid-list"* ]] && [[ "$out" != *"HID interface"*"of them the KV-93T"* ]]; then
  echo "PASS: --help exits 0 with the usage"
else
  echo "FAIL: --help exit $code: $out"; failures=1
fi
err="$(timeout 10 "$tool" --bogus 2>&1 >/dev/null)"; code=$?
if [ "$code" -eq 2 ] && [[ "$err" == *"--bogus"* ]]; then echo "PASS: --bogus refused"; else echo "FAIL: --bogus exit $code: $err"; failures=1; fi
timeout 10 "$tool" --help extra >/dev/null 2>&1; code=$?
if [ "$code" -eq 2 ]; then echo "PASS: --help with another word refused"; else echo "FAIL: --help extra exit $code"; failures=1; fi
exit "$failures"
