#!/bin/sh
# Writes the man page of a command from its --help text, so the page lists the
# options the program really has:  help-to-man.sh PROGRAM VERSION DATE > page.1
# The help's first line is the usage, the lines up to the first option the
# description, lines starting with "  -" the options (their indented
# continuations follow them), everything after them the closing notes.
set -eu
program=$1
version=$2
date=$3
name=$(basename "$program")
"$program" --help | awk -v name="$name" -v version="$version" -v date="$date" '
function esc(text) {
  gsub(/\\/, "\\e", text)
  gsub(/-/, "\\-", text)
  sub(/^[.'"'"']/, "\\\\\\&&", text)
  return text
}
NR == 1 {
  upper = toupper(name)
  printf ".TH %s 1 \"%s\" \"%s %s\" \"User Commands\"\n", upper, date, name, version
  printf ".SH NAME\n%s \\- update the firmware of a KV\\-93T unit\n", esc(name)
  usage = $0
  sub(/^Usage: */, "", usage)
  printf ".SH SYNOPSIS\n.B %s\n", esc(usage)
  printf ".SH DESCRIPTION\n"
  section = "description"
  next
}
section == "description" && /^  -/ { printf ".SH OPTIONS\n"; section = "options" }
section == "options" && /^[^ ]/ && NF > 0 { printf ".SH NOTES\n"; section = "notes" }
section == "options" && /^  -/ {
  line = $0
  sub(/^  +/, "", line)
  split(line, parts, /  +/)
  printf ".TP\n.B %s\n", esc(parts[1])
  rest = substr(line, length(parts[1]) + 1)
  sub(/^ +/, "", rest)
  if (rest != "") print esc(rest)
  next
}
NF == 0 { if (section != "options") print ".PP"; next }
{ line = $0; sub(/^ +/, "", line); print esc(line) }
END {
  printf ".SH FILES\n.TP\n.I /usr/lib/udev/rules.d/70\\-kv93t.rules\n"
  printf "gives the user at the seat access to the unit in run mode (0168:0821) and update mode (0168:0904)\n"
}'
