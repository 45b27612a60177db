#!/usr/bin/env bash
# The README's first command stays lean: what tools/demo.sh would install, with
# everything those packages pull in, holds no wine, no mingw-w64 and no clang;
# the test command's list does hold them.
set -uo pipefail
root=$1
demo=$(KV_DRY_RUN=1 "$root/tools/demo.sh") || { echo "FAIL: demo dry run failed"; exit 1; }
echo "$demo" | head -2
grep -q '^packages: .*cmake' <<<"$demo" || { echo "FAIL: no package list"; exit 1; }
heavy=$(sed -n '/^pulled in:/,$p' <<<"$demo" | grep -Ei '^(wine|mingw|g\+\+-mingw|gcc-mingw|clang|libclang|llvm)' || true)
forbidden=$(grep '^packages:' <<<"$demo" | grep -Eoi '(wine|mingw|clang)[^ ]*' || true)
if [ -n "$heavy$forbidden" ]; then
  echo "FAIL: the demo would install: $heavy $forbidden"
  exit 1
fi
all=$("$root/tools/install-deps.sh" --dry-run all | grep '^packages:')
for p in wine mingw-w64 clang lintian; do
  grep -qw -- "$p" <<<"$all" || { echo "FAIL: the test command's list lacks $p"; exit 1; }
done
echo PASS
