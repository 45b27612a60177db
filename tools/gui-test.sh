#!/usr/bin/env bash
# The window test: kv93t-update-gui.exe under wine on a private Xvfb display,
# driven from outside by kv-win-probe.exe. Checks the window's size, place
# and the layout of its controls, clicks "Start Program ", waits for
# " Program OK !! " against the simulated unit, takes a screenshot, closes the
# window and expects the process to end with code 0.
#
#   tools/gui-test.sh GUI_EXE INSPECT_EXE WORK_DIR [SCREENSHOT.png]
#
# For the README's picture of the window at work: KV_GUI_PACE_DIVISOR=1
# KV_GUI_PROGRESS_SHOT=docs/window.png KV_GUI_PROGRESS_DELAY=10 takes one while
# the microcontroller is being programmed.
#
# Then the window once more at 144 DPI (wine's LogPixels): every control at 1.5
# times its layout place and size, within a pixel; screenshots of the idle
# window at both DPIs land in WORK_DIR (window-96dpi.png, window-144dpi.png).
#
# Exit 0 passed, 1 failed, 77 skipped (no Xvfb or wine). Every wait is bounded
# and everything started here is ended on the way out.
set -uo pipefail

gui_exe=$1
inspect_exe=$2
work_dir=$3
screenshot=${4:-$work_dir/window.png}

skip() { echo "SKIP: $*"; exit 77; }
for tool in Xvfb wine wineserver; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (apt-get install xvfb wine)"
done

mkdir -p "$work_dir"
export WINEPREFIX="$work_dir/wineprefix"
export WINEDEBUG=-all
# No prompts for Mono or Gecko while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

caption="Update KV-93T V1.2 InC+InD"
xvfb_pid=""
gui_pid=""
failures=0

cleanup() {
  [ -n "$gui_pid" ] && kill "$gui_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected '$2', got '$3'"; fi
}
# check_near DESCRIPTION "EXPECTED..." "ACTUAL...": numbers pairwise within one pixel.
check_near() {
  local -a want=($2) got=($3)
  local i
  if [ ${#want[@]} -ne ${#got[@]} ]; then fail "$1: expected '$2', got '$3'"; return; fi
  for i in "${!want[@]}"; do
    local d=$((want[i] - got[i]))
    if ((d < -1 || d > 1)); then fail "$1: expected '$2' (within 1), got '$3'"; return; fi
  done
  echo "ok: $1 ($3)"
}
# The window's desktop rectangle, and a margin of desktop around it, as a picture.
shoot() {  # shoot LEFT TOP WIDTH HEIGHT FILE
  command -v import >/dev/null || { echo "note: no screenshot, imagemagick's import is not installed"; return; }
  local x=$(($1 - 10)) y=$(($2 - 10))
  ((x < 0)) && x=0; ((y < 0)) && y=0
  import -display "$DISPLAY" -window root -crop "$(($3 + 20))x$(($4 + 20))+$x+$y" +repage "$5" &&
    echo "screenshot: $5"
}
# Wine's console ends lines with CR LF.
inspect() { timeout 120 wine "$inspect_exe" "$@" | tr -d '\r'; }

# A display of our own; Xvfb picks a free number and tells it on fd 3.
display_file="$work_dir/display"
rm -f "$display_file"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>"$work_dir/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$display_file")"

# The prefix is made once and kept in the work directory.
timeout 300 wineboot -i >/dev/null 2>&1 || { echo "FAIL: wineboot did not finish"; exit 1; }
# There is no window manager on this display: wine draws the frames itself and
# does not wait (2 s each time) for a manager to withdraw a window that closes.
for value in Managed Decorated; do
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v "$value" /d N /f >/dev/null 2>&1
done
# Wine's own TrueType fonts (Marlett draws the caption buttons) where this
# wine does not find them by itself.
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
fi

# The simulated unit at full speed and the window's timers ten times faster
# (KV_GUI_PACE_DIVISOR=1: the tool's own pace, for pictures).
timeout 300 wine "$gui_exe" --simulate --sim usb-ms=0 --sim reply-ms=0 --sim erase-ms=5 \
  --sim reenum-ms=20 --pace-divisor "${KV_GUI_PACE_DIVISOR:-10}" &
gui_pid=$!

window=$(inspect wait-window "$caption" 60000) || { echo "FAIL: $window"; exit 1; }
echo "$window"
read -r _ left top width height _ client_w client_h _ screen_w screen_h _ _ <<<"$window"
check "outer size" "420x173" "${width}x${height}"
check "centred on the desktop" "$(((screen_w - 420) / 2)),$(((screen_h - 173) / 2))" "$left,$top"

# Controls: client coordinates and z-order (top first).
controls=$(inspect controls "$caption")
echo "$controls"
place_of() {  # place_of CLASS [TEXT] -> "z left top width height enabled"
  awk -F'\t' -v cls="$1" -v text="${2-}" -v any="${2+x}" \
    'tolower($3) == tolower(cls) && (any == "" || $4 == text) { print $2, $5, $6, $7, $8, $9; exit }' \
    <<<"$controls"
}
geometry() { cut -d' ' -f2-5 <<<"$1"; }
zorder() { cut -d' ' -f1 <<<"$1"; }

title=$(place_of Static "Device Update")
start=$(place_of Button "Start Program ")
version=$(place_of Button "Version")
security=$(place_of Button "Security")
mcu=$(place_of Button "Mcu Prog")
dsp=$(place_of Button "Dsp Prog")
progress=$(place_of msctls_progress32)
status=$(place_of msctls_statusbar32)
check "lbHidShow" "96 16 201 20" "$(geometry "$title")"
check "btnVersion" "176 52 80 25" "$(geometry "$version")"
check "bnSecurity" "80 52 80 25" "$(geometry "$security")"
check "bnMcuProgram" "240 52 80 25" "$(geometry "$mcu")"
check "bnDspPorgram" "160 52 80 25" "$(geometry "$dsp")"
check "btnStartProgram" "80 48 241 30" "$(geometry "$start")"
check "pbProgress along the bottom above the status bar" \
  "0 $((client_h - 19 - 17)) $client_w 17" "$(geometry "$progress")"
check "sbStatus along the bottom" "0 $((client_h - 19)) $client_w 19" "$(geometry "$status")"
for small in "$version" "$security" "$mcu" "$dsp"; do
  [ -n "$small" ] && [ -n "$start" ] && [ "$(zorder "$start")" -lt "$(zorder "$small")" ] ||
    fail "\"Start Program \" lies above the four small buttons"
done

inspect wait-enabled "$caption" "Start Program " 60000 || fail "\"Start Program \" never enabled"
shoot "$left" "$top" "$width" "$height" "$work_dir/window-96dpi.png"
panels=$(inspect panels "$caption")
echo "$panels"
check "status bar parts (the last one reaches the right edge)" "parts 2 180 -1" \
  "$(head -1 <<<"$panels")"
check "panel 0" "Disconnect" "$(awk -F'\t' '$2 == 0 { print $3 }' <<<"$panels")"
check "panel 1" "Detect Run HID" "$(awk -F'\t' '$2 == 1 { print $3 }' <<<"$panels")"

inspect click "$caption" "Start Program " || fail "could not click \"Start Program \""
if [ -n "${KV_GUI_PROGRESS_SHOT:-}" ] && command -v import >/dev/null; then
  # For the README: the window while the microcontroller is being programmed.
  inspect wait-panel "$caption" 1 "Detect Update HID" 30000 &&
    sleep "${KV_GUI_PROGRESS_DELAY:-1}" &&
    import -display "$DISPLAY" -window root -crop "$((width + 20))x$((height + 20))+$((left - 10))+$((top - 10))" \
      +repage "$KV_GUI_PROGRESS_SHOT" && echo "screenshot: $KV_GUI_PROGRESS_SHOT"
fi
box=$(inspect wait-box " Program OK !! " 120000)
if [ $? -eq 0 ]; then
  echo "$box"
  check "the success box has the information symbol" "information" "$(awk '{ print $7 }' <<<"$box")"
  if command -v import >/dev/null; then
    # The window with the box over it, with a margin of desktop around both.
    read -r _ bl bt bw bh _ <<<"$box"
    x0=$(( (left < bl ? left : bl) - 10 )); y0=$(( (top < bt ? top : bt) - 10 ))
    x1=$(( (left + width > bl + bw ? left + width : bl + bw) + 10 ))
    y1=$(( (top + height > bt + bh ? top + height : bt + bh) + 10 ))
    ((x0 < 0)) && x0=0; ((y0 < 0)) && y0=0
    import -display "$DISPLAY" -window root -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage \
      "$screenshot" && echo "screenshot: $screenshot"
  else
    echo "note: no screenshot, imagemagick's import is not installed"
  fi
  inspect press-ok " Program OK !! " || fail "could not press OK"
else
  fail "no \" Program OK !! \" box: $box"
fi

inspect close "$caption" || fail "could not close the window"
inspect wait-gone "$caption" 30000 || fail "the window did not go away"
# The process ends by itself; the time-out above kills it otherwise.
for _ in $(seq 300); do kill -0 "$gui_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$gui_pid" 2>/dev/null; then
  fail "the process is still running 30 s after the window closed"
else
  wait "$gui_pid"
  check "exit code" "0" "$?"
fi
gui_pid=""

# A checked access that fails in a handler: the exception box says "vector"
# with the error symbol, and the tool goes on and closes normally.
timeout 120 wine "$gui_exe" --simulate --sim usb-ms=0 --sim fault=short@cmd:0x10 &
gui_pid=$!
inspect wait-enabled "$caption" "Start Program " 60000 >/dev/null || fail "\"Start Program \" never enabled (second run)"
inspect click "$caption" "Start Program " || fail "could not click \"Start Program \" (second run)"
box=$(inspect wait-box "vector" 60000)
if [ $? -eq 0 ]; then
  check "the exception box has the error symbol" "error" "$(awk '{ print $7 }' <<<"$box")"
  inspect press-ok "vector" || fail "could not press OK on the exception box"
else
  fail "no exception box: $box"
fi
inspect close "$caption" || fail "could not close the window (second run)"
for _ in $(seq 300); do kill -0 "$gui_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$gui_pid" 2>/dev/null; then
  fail "the process is still running 30 s after the window closed (second run)"
else
  wait "$gui_pid"
  check "exit code after an exception" "0" "$?"
fi
gui_pid=""

# ---- 144 DPI: the same layout, 1.5 times as large (the table's values times
# 1.5, rounded to the nearest pixel, within one).
for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
  timeout 60 wine reg add "$key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
done
# The DPI is read when wine starts.
timeout 60 wineserver -w 2>/dev/null
timeout 120 wine "$gui_exe" --simulate --sim usb-ms=0 &
gui_pid=$!
window=$(inspect wait-window "$caption" 60000) || { echo "FAIL: $window (144 DPI)"; exit 1; }
echo "$window"
read -r _ left top width height _ client_w client_h _ screen_w screen_h _ _ <<<"$window"
check_near "outer size at 144 DPI" "630 260" "$width $height"
check_near "centred on the desktop at 144 DPI" "$(((screen_w - 630) / 2)) $(((screen_h - 260) / 2))" "$left $top"
controls=$(inspect controls "$caption")
echo "$controls"
check_near "lbHidShow at 144 DPI" "144 24 302 30" "$(geometry "$(place_of Static "Device Update")")"
check_near "btnVersion at 144 DPI" "264 78 120 38" "$(geometry "$(place_of Button "Version")")"
check_near "bnSecurity at 144 DPI" "120 78 120 38" "$(geometry "$(place_of Button "Security")")"
check_near "bnMcuProgram at 144 DPI" "360 78 120 38" "$(geometry "$(place_of Button "Mcu Prog")")"
check_near "bnDspPorgram at 144 DPI" "240 78 120 38" "$(geometry "$(place_of Button "Dsp Prog")")"
check_near "btnStartProgram at 144 DPI" "120 72 362 45" "$(geometry "$(place_of Button "Start Program ")")"
check_near "pbProgress at 144 DPI" "0 $((client_h - 29 - 26)) $client_w 26" \
  "$(geometry "$(place_of msctls_progress32)")"
check_near "sbStatus at 144 DPI" "0 $((client_h - 29)) $client_w 29" \
  "$(geometry "$(place_of msctls_statusbar32)")"
inspect wait-enabled "$caption" "Start Program " 60000 >/dev/null || fail "\"Start Program \" never enabled (144 DPI)"
panels=$(inspect panels "$caption")
check_near "status bar's first panel edge at 144 DPI" "270" "$(head -1 <<<"$panels" | awk '{ print $3 }')"
shoot "$left" "$top" "$width" "$height" "$work_dir/window-144dpi.png"
inspect close "$caption" || fail "could not close the window (144 DPI)"
for _ in $(seq 300); do kill -0 "$gui_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$gui_pid" 2>/dev/null; then
  fail "the process is still running 30 s after the window closed (144 DPI)"
else
  wait "$gui_pid"
  check "exit code at 144 DPI" "0" "$?"
fi
gui_pid=""
# The prefix is kept: back to 96 DPI for the next run.
for key in 'HKCU\Control Panel\Desktop' 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
  timeout 60 wine reg add "$key" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
done
timeout 60 wineserver -w 2>/dev/null

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "PASS"
