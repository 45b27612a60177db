#!/usr/bin/env bash
# Installs, on Debian, what is needed and not there yet. Idempotent: a machine
# that has everything is left alone.
#
#   tools/install-deps.sh [build|all]   build: what building and running the
#                                       command line needs (tools/demo.sh);
#                                       all (default): also what the whole test
#                                       command needs (tools/test-all.sh)
#   tools/install-deps.sh --dry-run [build|all]
#                                       installs nothing: prints the group's
#                                       packages and every package they pull in
set -euo pipefail
build_packages=(
  cmake ninja-build g++ pkg-config
  googletest libgtest-dev libbenchmark-dev
  libudev-dev
)
test_packages=(
  umockdev libumockdev-dev
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
  clang clang-tidy libclang-rt-14-dev
  xvfb xdotool imagemagick
  dpkg-dev lintian
  qemu-system-x86 busybox-static python3
)

dry_run=0
if [ "${1:-}" = "--dry-run" ]; then
  dry_run=1
  shift
fi
group=${1:-all}
case $group in
  build) packages=("${build_packages[@]}") ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [--dry-run] [build|all]" >&2; exit 1 ;;
esac

if [ "$dry_run" -eq 1 ]; then
  echo "packages: ${packages[*]}"
  # What installing them would bring, whatever is installed here already.
  echo "pulled in:"
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${packages[@]}" | grep -v '^ ' | sed 's/^<\(.*\)>$/\1/' | sort -u
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
