#!/usr/bin/env bash
# Builds every preset and runs every test: sanitizers, ThreadSanitizer and the
# Windows build under wine, then each fuzz target for KV_FUZZ_SECONDS (20) from
# its seed corpus (a crash fails), then the packages: the Debian package
# (installed into a throw-away root, run, checked by lintian) and the Windows
# zip. Warnings are errors here. Then the static checks over the release
# build's compile commands: clang's -Wthread-safety analysis and clang-tidy
# (tools/tidy.sh); KV_TIDY=OFF leaves them out.
#
# The real road (ctest --preset kernel: QEMU guests, one core's work for
# minutes) needs the release and win64 builds and the package; it runs in the
# background from then on, beside the later presets, and its result is
# waited for at the end. KV_KERNEL=OFF leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
export KV_WERROR="${KV_WERROR:-ON}"
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
presets=(${KV_PRESETS:-dev win64 release tsan fuzz})
kernel_pid=""
kernel_log=$PWD/build/kernel-road.log

start_kernel_road() {
  [ "${KV_KERNEL:-ON}" = ON ] || return 0
  echo "=== kernel (in the background, log in $kernel_log)"
  # A process group of its own, so that a failure here ends its guests too.
  setsid ctest --preset kernel >"$kernel_log" 2>&1 &
  kernel_pid=$!
}
stop_kernel_road() {
  [ -n "$kernel_pid" ] && kill -- "-$kernel_pid" 2>/dev/null
  return 0
}
trap stop_kernel_road EXIT

for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = release ]; then
    echo "=== packages"
    cmake --build --preset release --target kv93t-update kv_package_docs hid-list
    ctest --preset packages
    cmake --build --preset win64 --target package
    start_kernel_road
  fi
  ctest --preset "$preset" -j2
done
if [ "${KV_TIDY:-ON}" = ON ]; then
  echo "=== tidy"
  tools/tidy.sh
fi
if [ -n "$kernel_pid" ]; then
  echo "=== kernel (waiting for it)"
  status=0
  wait "$kernel_pid" || status=$?
  kernel_pid=""
  cat "$kernel_log"
  exit "$status"
fi
