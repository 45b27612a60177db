#!/usr/bin/env bash
# Builds every preset and runs every test: sanitizers, ThreadSanitizer and the
# Windows build under wine, then each fuzz target for KV_FUZZ_SECONDS (20) from
# its seed corpus (a crash fails). Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
export KV_WERROR="${KV_WERROR:-ON}"
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
presets=(${KV_PRESETS:-dev tsan win64 fuzz})
for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done
