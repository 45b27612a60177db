#!/usr/bin/env bash
# A picture of a command-line session for the README: kv93t-update --simulate
# runs in a detached tmux session; the screen is captured once the update has
# ended and rendered to a PNG with ImageMagick.
#
#   tools/cli-screenshot.sh KV93T_UPDATE OUT.png [tool options...]
set -euo pipefail
tool=$1
out=$2
shift 2
for needed in tmux convert; do
  command -v "$needed" >/dev/null || { echo "$needed is not installed"; exit 1; }
done

session="kv93t-cli-shot-$$"
columns=120
rows=24
limit_s=120
done_marker=$(mktemp)
trap 'tmux kill-session -t "$session" 2>/dev/null || true; rm -f "$done_marker"' EXIT

# The prompt and command line as a user would have typed them.
shown_command="\$ kv93t-update --simulate $*"
tmux new-session -d -s "$session" -x "$columns" -y "$rows" \
  "printf '%s\n' \"$shown_command\"; $(printf '%q ' "$tool" --simulate "$@"); echo \$? >$done_marker; sleep $limit_s"
for _ in $(seq $((limit_s * 10))); do
  [ -s "$done_marker" ] && break
  sleep 0.1
done
[ -s "$done_marker" ] || { echo "the session did not end within $limit_s s"; exit 1; }
screen=$(tmux capture-pane -p -t "$session" | sed -e 's/[[:space:]]*$//')
# Trailing empty lines of the pane are not part of the picture.
screen=$(printf '%s\n' "$screen" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}')

convert -background '#1e1e1e' -fill '#d4d4d4' -font DejaVu-Sans-Mono -pointsize 14 \
  -bordercolor '#1e1e1e' -border 12 label:"$screen" "$out"
echo "$out (exit code $(cat "$done_marker"))"
