# The window (kv93t-update-gui.exe) under wine on the guest's own Xvfb display,
# driven from outside by kv-win-probe.exe as tools/gui-test.sh drives it:
# "Start Program " pressed, " Program OK !! " awaited and acknowledged, a
# screenshot kept (window.png), the window closed; the exit code is the
# window's. Each wine process costs seconds here, so the probe takes its
# commands in two runs.
caption="Update KV-93T V1.2 InC+InD"
probe="$KV_WIN64/tests/win32/kv-win-probe.exe"
Xvfb :7 -screen 0 1024x768x24 -nolisten tcp 2>xvfb.log &
xvfb=$!
for _ in $(seq 100); do [ -e /tmp/.X11-unix/X7 ] && break; sleep 0.1; done
export DISPLAY=:7
wineserver -p
timeout 300 wine cmd /c exit >/dev/null 2>&1  # services up before the window registers
wine "$KV_WIN64/app/kv93t-update-gui.exe" &
gui=$!
timeout 600 wine "$probe" wait-window "$caption" 240000 \; \
  wait-enabled "$caption" "Start Program " 120000 \; click "$caption" "Start Program " \; \
  wait-box " Program OK !! " 300000 >probe.txt
shown=$?
tr -d '\r' <probe.txt
import -display :7 -window root window.png
[ $shown -eq 0 ] &&
  timeout 300 wine "$probe" press-ok " Program OK !! " \; close "$caption" \; \
    wait-gone "$caption" 60000
for _ in $(seq 300); do kill -0 $gui 2>/dev/null || break; sleep 0.1; done
kill $gui 2>/dev/null && echo "the window did not end"
wait $gui
code=$?
wineserver -k
kill $xvfb
[ $shown -eq 0 ] && exit $code
exit 1
