#!/usr/bin/env bash
# Runs a Windows test executable under wine with a prefix inside the build tree.
#
# One wineserver serves every process of a prefix, one request at a time: under
# ctest -j2 a small test beside a busy one crawled (3 s alone, 325 s beside the
# command line's runs). So each running test takes a prefix of its own: the
# first free slot, held by a lock for as long as its wine runs; slot 0 is
# WINEPREFIX itself, slot N is WINEPREFIX-N, made on its first use.
set -e
base=${WINEPREFIX:-${TMPDIR:-/tmp}/kv93t-wineprefix}
mkdir -p "$(dirname "$base")"
for slot in $(seq 0 15); do
  exec {slot_lock}>"$base.slot$slot.lock"
  flock -n "$slot_lock" && break
  exec {slot_lock}>&-
done
WINEPREFIX=$base
[ "$slot" = 0 ] || WINEPREFIX=$base-$slot
export WINEPREFIX WINEDEBUG=-all
# Without an X display wine creates no window at all; its null driver keeps
# windows working, unseen. The choice lives in the prefix, so it is switched
# only when the display situation changes.
graphics=$([ -n "${DISPLAY:-}" ] && echo default || echo null)
marker="$WINEPREFIX/.kv-graphics-driver"
if [ "$(cat "$marker" 2>/dev/null)" != "$graphics" ]; then
  if [ "$graphics" = null ]; then
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f {slot_lock}>&- >/dev/null 2>&1 || true
  else
    wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f {slot_lock}>&- >/dev/null 2>&1 || true
  fi
  # The desktop process keeps the driver it started with: let it end first, but
  # not for longer than a minute; a wineserver that lingers is killed.
  timeout 60 wineserver -w {slot_lock}>&- || wineserver -k || true
  mkdir -p "$WINEPREFIX" && echo "$graphics" >"$marker"
fi
# Wine and the wineserver it starts do not inherit the lock: the slot is free
# as soon as this test's wine has ended.
code=0
wine "$@" {slot_lock}>&- || code=$?
exit "$code"
