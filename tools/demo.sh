#!/usr/bin/env bash
# Builds the release tool and runs a complete update against the simulated unit.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/app/kv93t-update --simulate "$@"
