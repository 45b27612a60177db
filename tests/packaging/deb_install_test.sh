#!/usr/bin/env bash
# The Debian package: unpacked into a throw-away root it holds the tool, the
# udev rule where udev reads it, the man page and the bash completion; its
# Depends come from shlibdeps and its postinst reloads udev; the installed
# kv93t-update completes an update of the simulated unit with a clean verdict;
# lintian finds no error.
#
#   deb_install_test.sh PACKAGE_DIR WORK_DIR
set -uo pipefail
package_dir=$1
work=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

deb=$(ls "$package_dir"/kv93t-update_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "FAIL: no kv93t-update_*.deb in $package_dir"; exit 1; }
echo "package: $deb"
rm -rf "$work" && mkdir -p "$work/root"
dpkg-deb -x "$deb" "$work/root" || { echo "FAIL: dpkg-deb -x"; exit 1; }

for path in usr/bin/kv93t-update usr/lib/udev/rules.d/70-kv93t.rules \
  usr/share/man/man1/kv93t-update.1.gz usr/share/bash-completion/completions/kv93t-update \
  usr/share/doc/kv93t-update/copyright; do
  [ -e "$work/root/$path" ] && ok "/$path" || fail "no /$path"
done
grep -q 'ATTRS{idVendor}=="0168"' "$work/root/usr/lib/udev/rules.d/70-kv93t.rules" &&
  ok "udev rule for vendor 0168" || fail "the udev rule does not name vendor 0168"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q 'libc6 (>=' <<<"$depends" && ok "Depends from shlibdeps" || fail "Depends lacks a versioned libc6"
dpkg-deb -e "$deb" "$work/control"
grep -q 'udevadm control --reload' "$work/control/postinst" && [ -x "$work/control/postinst" ] &&
  ok "postinst reloads udev rules" || fail "postinst does not reload udev rules"

# The man page and the completion list the options the installed tool has.
help=$("$work/root/usr/bin/kv93t-update" --help)
man_text=$(zcat "$work/root/usr/share/man/man1/kv93t-update.1.gz")
completion=$(cat "$work/root/usr/share/bash-completion/completions/kv93t-update")
for option in --simulate --dump --version $(sed -n 's/^  \(--[a-z][a-z0-9-]*\).*/\1/p' <<<"$help"); do
  grep -qF -- "${option//-/\\-}" <<<"$man_text" || fail "man page lacks $option"
  grep -qF -- "$option" <<<"$completion" || fail "completion lacks $option"
done
bash -n <<<"$completion" || fail "completion is not valid bash"
completed=$(bash -c "$completion"'
  COMP_WORDS=(kv93t-update --du); COMP_CWORD=1; _kv93t_update; echo "${COMPREPLY[*]}"
  COMP_WORDS=(kv93t-update --dump ""); COMP_CWORD=2; _kv93t_update; echo "${COMPREPLY[*]}"')
[ "$completed" = $'--dump\nmcu dsp' ] && ok "completion of --du and of --dump's argument" ||
  fail "completion gave: $completed"

# A whole update with the installed tool, the simulated unit at full speed.
out=$(timeout 240 "$work/root/usr/bin/kv93t-update" --simulate --sim usb-ms=0 --sim reply-ms=0 \
  --sim erase-ms=5 --sim reenum-ms=20 --pace-divisor 10 --timeout 120 2>&1)
code=$?
tail -3 <<<"$out"
[ "$code" -eq 0 ] && ok "installed kv93t-update --simulate exit 0" || fail "exit code $code"
grep -q ' Program OK !! ' <<<"$out" && ok "\" Program OK !! \"" || fail "no \" Program OK !! \""
grep -qi 'verdict.*clean' <<<"$out" && ok "verdict clean" || fail "no clean verdict"

if command -v lintian >/dev/null; then
  lint=$(lintian --tag-display-limit 0 "$deb" 2>&1)
  echo "$lint"
  errors=$(grep -c '^E:' <<<"$lint")
  [ "$errors" -eq 0 ] && ok "lintian: 0 errors" || fail "lintian: $errors error(s)"
else
  echo "note: lintian is not installed, not run"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo PASS
