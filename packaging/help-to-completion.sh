#!/bin/sh
# Writes the bash completion of a command from its --help text, so it offers
# the options the program really has:  help-to-completion.sh PROGRAM > file
# An option shown with an argument (--dump mcu|dsp, --trace FILE) completes
# its argument: listed words, file names for FILE, nothing for the rest.
set -eu
program=$1
name=$(basename "$program")
fn=_$(echo "$name" | tr -c 'a-zA-Z0-9\n' '_')
help=$("$program" --help)
options=$(printf '%s\n' "$help" | sed -n 's/^  \(--[a-z][a-z0-9-]*\).*/\1/p' | tr '\n' ' ' | sed 's/ $//')
cases=$(printf '%s\n' "$help" | sed -n 's/^  \(--[a-z][a-z0-9-]*\) \([A-Za-z][A-Za-z|=_-]*\).*/\1 \2/p' |
  while read -r option argument; do
    case $argument in
      FILE|PATH) printf '    %s) COMPREPLY=($(compgen -f -- "$cur")); return ;;\n' "$option" ;;
      *\|*) printf '    %s) COMPREPLY=($(compgen -W "%s" -- "$cur")); return ;;\n' "$option" "$(echo "$argument" | tr '|' ' ')" ;;
      *) printf '    %s) return ;;\n' "$option" ;;
    esac
  done)
cat <<EOT
# bash completion for $name (made from its --help at build time)
$fn() {
  local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD-1]}
  case \$prev in
$cases
  esac
  COMPREPLY=(\$(compgen -W "$options" -- "\$cur"))
}
complete -F $fn $name
EOT
