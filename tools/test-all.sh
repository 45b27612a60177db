#!/usr/bin/env bash
# Builds every preset and runs every test: sanitizers, ThreadSanitizer and the
# Windows build under wine. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
export KV_WERROR="${KV_WERROR:-ON}"
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
presets=(${KV_PRESETS:-dev tsan win64})
for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
