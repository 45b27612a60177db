#!/usr/bin/env bash
# Runs a Windows test executable under wine with a prefix inside the build tree.
set -e
: "${WINEPREFIX:=${TMPDIR:-/tmp}/kv93t-wineprefix}"
export WINEPREFIX WINEDEBUG=-all
exec wine "$@"
