#!/usr/bin/env bash
# Builds the command line (release) and runs a complete update against the
# simulated unit. Installs only what that needs: no cross compiler, no wine.
# KV_DRY_RUN=1: installs and builds nothing, prints what would be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${KV_DRY_RUN:-0}" = 1 ]; then
  exec tools/install-deps.sh --dry-run build
fi
tools/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release --target kv93t-update
exec build/release/app/kv93t-update --simulate "$@"
