#!/usr/bin/env bash
# Runs a Windows test executable under wine with a prefix inside the build tree.
set -e
: "${WINEPREFIX:=${TMPDIR:-/tmp}/kv93t-wineprefix}"
export WINEPREFIX WINEDEBUG=-all
# Without an X display wine creates no window at all; its null driver keeps
# windows working, unseen. The choice lives in the prefix, so it is switched
# only when the display situation changes.
graphics=$([ -n "${DISPLAY:-}" ] && echo default || echo null)
marker="$WINEPREFIX/.kv-graphics-driver"
if [ "$(cat "$marker" 2>/dev/null)" != "$graphics" ]; then
  if [ "$graphics" = null ]; then
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
  else
    wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
  fi
  # The desktop process keeps the driver it started with: let it end first, but
  # not for longer than a minute; a wineserver that lingers is killed.
  timeout 60 wineserver -w || wineserver -k || true
  mkdir -p "$WINEPREFIX" && echo "$graphics" >"$marker"
fi
exec wine "$@"
