#!/usr/bin/env bash
# Builds every preset and runs every test: sanitizers, ThreadSanitizer and the
# Windows build under wine, then each fuzz target for KV_FUZZ_SECONDS (20) from
# its seed corpus (a crash fails), then the packages: the Debian package
# (installed into a throw-away root, run, checked by lintian) and the Windows
# zip. Warnings are errors here. Then the static checks over the release
# build's compile commands: clang's -Wthread-safety analysis and clang-tidy
# (tools/tidy.sh); KV_TIDY=OFF leaves them out.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
export KV_WERROR="${KV_WERROR:-ON}"
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
presets=(${KV_PRESETS:-dev release tsan win64 fuzz})
for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
echo "=== packages"
cmake --preset release >/dev/null
cmake --build --preset release --target kv93t-update kv_package_docs hid-list
ctest --preset packages
cmake --build --preset win64 --target package
if [ "${KV_TIDY:-ON}" = ON ]; then
  echo "=== tidy"
  tools/tidy.sh
fi
