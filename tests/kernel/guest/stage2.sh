# The guest's second stage, PID 1 on the writable root: udev as a system runs
# it, then one scenario (run/kvout/scenario.sh, written by the host) with the
# helpers below, then power off. Every wait is bounded; the host kills the
# guest if the whole run overruns.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
OUT=/run/kvout
. $OUT/env.sh
# Wine, for the Windows scenarios: the prefix made on the host, written to in this root only.
export WINEPREFIX=$KV_CACHE/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
say() { echo "kvroad: $* (uptime $(cut -d' ' -f1 /proc/uptime))"; }
finish() {
  say "scenario ended: $1"
  echo "$1" >$OUT/scenario.rc
  sync
  /bin/busybox poweroff -f
}

# udev from the unpacked package, installed into this root only.
tar -C "$KV_CACHE/udevroot" -cf - . | tar -C / -xf - --keep-directory-symlink
/lib/systemd/systemd-udevd --daemon || say "systemd-udevd did not start"
udevadm control --ping -t 30 || say "systemd-udevd does not answer"
udevadm trigger --action=add
udevadm settle -t 30
say "udev ready"

GADGET_PID="" UNIT_PIDS=""
# within SECONDS COMMAND...: true once COMMAND succeeds, false if it has not
# within SECONDS (looked at every 0.2 s, by the clock: a slow guest still waits
# that long).
within() {
  local until=$(($(date +%s) + $1))
  shift
  while ! "$@"; do
    [ "$(date +%s)" -lt "$until" ] || return 1
    sleep 0.2
  done
}
# unit_start [--index N] [--sim KEY=VALUE]...: the simulated unit on the USB, as a
# gadget of the first device controller; its verdict goes to verdict.txt when it
# ends. With --index N, unit N of several: a gadget of its own (kv93t-N) on device
# controller N, each behind a host port of its own, with verdict.N.txt, gadget.N.log.
unit_start() {
  local suffix="" name=kv93t udc=dummy_udc.0
  if [ "${1:-}" = --index ]; then
    suffix=.$2 name=kv93t-$2 udc=dummy_udc.$2
    shift 2
  fi
  rm -f /run/unit$suffix.ready
  "$KV_GADGET" --udc $udc --gadget $name --verdict $OUT/verdict$suffix.txt \
    --ready /run/unit$suffix.ready "$@" 2>$OUT/gadget$suffix.log &
  if [ -n "$suffix" ]; then UNIT_PIDS="$UNIT_PIDS $!"; else GADGET_PID=$!; fi
  within 20 test -e /run/unit$suffix.ready && return 0
  say "the unit$suffix is not ready after 20 s"
  return 1
}
# units_start COUNT [--sim KEY=VALUE]...: units 0 to COUNT-1, one per device
# controller (dummy_hcd num=COUNT, from kvroad.units), each with those options.
units_start() {
  local count=$1 index=0
  shift
  while [ $index -lt $count ]; do
    unit_start --index $index "$@" || return 1
    index=$((index + 1))
  done
}
# unit_plug run|update: the cable goes back in, in that personality.
unit_plug() {
  case $1 in update) kill -USR1 "$GADGET_PID" ;; run) kill -USR2 "$GADGET_PID" ;; esac
}
# unit_stop: every unit writes its verdict and leaves the USB; all are told at
# once, so a slow one costs the 10 s once.
unit_stop() {
  local pids="$GADGET_PID $UNIT_PIDS" pid
  [ -n "${pids# }" ] || return 0
  for pid in $pids; do kill -TERM "$pid"; done
  within 10 units_ended $pids
  for pid in $pids; do
    kill -KILL "$pid" 2>/dev/null && say "unit process $pid did not end within 10 s"
    wait "$pid" 2>/dev/null
  done
  GADGET_PID="" UNIT_PIDS=""
}
units_ended() {
  local pid
  for pid in "$@"; do ! kill -0 "$pid" 2>/dev/null || return 1; done
}
# unit_node PRODUCT: the unit's hidraw node as product PRODUCT (0821, 0904), or nothing.
unit_node() {
  grep -l "HID_ID=0003:00000168:0000$1" /sys/class/hidraw/*/device/uevent 2>/dev/null |
    sed -n 's|/sys/class/hidraw/\([^/]*\)/.*|/dev/\1|p' | head -1
}
# node_wait PRODUCT [SECONDS]: waits for the node, then for udev to have handled it.
node_seen() { [ -n "$(unit_node "$1")" ]; }
node_wait() {
  within "${2:-20}" node_seen "$1" && { udevadm settle -t 30; return 0; }
  say "no hidraw node of 0168:$1 after ${2:-20} s"
  return 1
}
# nodes_wait PRODUCT COUNT [SECONDS]: waits for COUNT such nodes, then for udev.
nodes_counted() {
  [ "$(grep -l "HID_ID=0003:00000168:0000$1" /sys/class/hidraw/*/device/uevent 2>/dev/null |
    wc -l)" -ge "$2" ]
}
nodes_wait() {
  within "${3:-20}" nodes_counted "$1" "$2" && { udevadm settle -t 30; return 0; }
  say "fewer than $2 hidraw nodes of 0168:$1 after ${3:-20} s"
  return 1
}
# json_wait NAME TEXT [SECONDS]: waits until the run's JSON output holds TEXT.
json_wait() {
  within "${3:-60}" grep -q -- "$2" "/run/work/$1.json" && return 0
  say "no '$2' in $1.json after ${3:-60} s"
  return 1
}
# run NAME [--user USER] [--background] -- COMMAND...: the tool (or anything) with
# its output in NAME.json, NAME.err and its exit code in NAME.rc; a run that
# takes longer than KV_RUN_LIMIT seconds is ended.
run() {
  local name=$1 user="" background=""
  shift
  while [ "$1" != "--" ]; do
    case $1 in --user) user=$2; shift ;; --background) background=1 ;; esac
    shift
  done
  shift
  local as=""
  [ -n "$user" ] && as="setpriv --reuid=$user --regid=$user --init-groups"
  (
    cd /run/work || exit 1
    timeout -k 5 "${KV_RUN_LIMIT:-480}" $as "$@" >"/run/work/$name.json" 2>"/run/work/$name.err"
    echo $? >"/run/work/$name.rc"
    cp /run/work/* $OUT/ 2>/dev/null
    say "$name ended: $(cat /run/work/$name.rc)"
  ) &
  RUN_PID=$!
  [ -n "$background" ] || wait $RUN_PID
}
# run_wait: waits for the run started last with --background.
run_wait() { wait "$RUN_PID"; }
# wine_up [null]: a wineserver that stays, and wine's services and plug and
# play started by a first process: a program started while they are still
# coming up cannot register for device notifications (their RPC server is not
# there yet). With "null", wine's null graphics driver: without an X display
# wine creates no window at all, the tool's hidden device-change window included.
wine_up() {
  if [ "${1:-}" = null ]; then
    printf '\n[Software\\\\Wine\\\\Drivers] 1700000000\n"Graphics"="null"\n' >>"$WINEPREFIX/user.reg"
  fi
  wineserver -p && timeout 300 wine cmd /c exit >/dev/null 2>&1
}
mkdir -p /run/work
chmod 1777 /run/work

say "scenario starts"
. $OUT/scenario.sh
status=$?
unit_stop
finish $status
