#!/usr/bin/env bash
# Builds every preset and runs every test: sanitizers, ThreadSanitizer and the
# Windows build under wine, then each fuzz target for KV_FUZZ_SECONDS (20) from
# its seed corpus (a crash fails), then the packages: the Debian package
# (installed into a throw-away root, run, checked by lintian) and the Windows
# zip. Warnings are errors here. Then the static checks over the release
# build's compile commands: clang's -Wthread-safety analysis and clang-tidy
# (tools/tidy.sh); KV_TIDY=OFF leaves them out.
#
# Last, the real road (ctest --preset kernel: QEMU guests, about 9 minutes of
# one core): alone on the machine, as wine's device notifications in the
# guest need; KV_KERNEL=OFF leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
export KV_WERROR="${KV_WERROR:-ON}"
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
presets=(${KV_PRESETS:-dev win64 release tsan fuzz})

for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = release ]; then
    echo "=== packages"
    cmake --build --preset release --target kv93t-update kv_package_docs hid-list
    ctest --preset packages
    cmake --build --preset win64 --target package
  fi
  ctest --preset "$preset" -j2
done
if [ "${KV_TIDY:-ON}" = ON ]; then
  echo "=== tidy"
  tools/tidy.sh
fi
if [ "${KV_KERNEL:-ON}" = ON ]; then
  echo "=== kernel"
  ctest --preset kernel
fi
