#!/usr/bin/env bash
# The Windows zip holds the window, the command line, the README and the
# licence, in one folder named after the package.
#   zip_test.sh CMAKE ZIP
set -uo pipefail
cmake=$1 zip=$2
[ -f "$zip" ] || { echo "FAIL: no $zip"; exit 1; }
listing=$("$cmake" -E tar tf "$zip") || { echo "FAIL: cannot read $zip"; exit 1; }
echo "$listing"
top=$(basename "$zip" .zip)
failures=0
for entry in bin/kv93t-update-gui.exe bin/kv93t-update.exe README.md LICENSE; do
  grep -qx "$top/$entry" <<<"$listing" && echo "ok: $entry" || { echo "FAIL: no $top/$entry"; failures=$((failures + 1)); }
done
grep -q "MIT License" <(cd "$(mktemp -d)" && "$cmake" -E tar xf "$zip" "$top/LICENSE" && cat "$top/LICENSE") &&
  echo "ok: the licence text" || { echo "FAIL: LICENSE is not the licence text"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo PASS
