#!/usr/bin/env bash
# The Windows executables carry their resources: a resource directory in the
# PE file, the application manifest Windows reads (Common Controls 6 for the
# window, PerMonitorV2 DPI awareness with its fallbacks, asInvoker, Windows
# 10/11), an icon, and version information equal to the project's version.
#
#   resources_test.sh OBJDUMP READER_EXE EXPECTED_VERSION GUI_EXE CLI_EXE
set -uo pipefail
objdump=$1 reader=$2 version=$3 gui=$4 cli=$5
here=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
has() {  # has WHAT TEXT PATTERN
  if grep -qF -- "$3" <<<"$2"; then echo "ok: $1"; else fail "$1: no '$3'"; fi
}

for exe in "$gui" "$cli"; do
  name=$(basename "$exe")
  "$objdump" -p "$exe" | grep -q "The .rsrc Resource Directory section" ||
    fail "$name: no resource directory"
  out=$(timeout 120 "$here/tools/wine-run.sh" "$reader" "$exe" | tr -d '\r')
  echo "--- $name"
  echo "$out"
  has "$name: asInvoker" "$out" 'level="asInvoker"'
  has "$name: Windows 10/11" "$out" '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'
  has "$name: PerMonitorV2 first, then PerMonitor and System" "$out" '>PerMonitorV2, PerMonitor, System</dpiAwareness>'
  has "$name: icon" "$out" "icon: yes"
  has "$name: FileVersion" "$out" "FileVersion: $version"
  has "$name: ProductVersion" "$out" "ProductVersion: $version"
  has "$name: fixed version" "$out" "fixed: $version.0"
  has "$name: original file name" "$out" "OriginalFilename: $name"
done
gui_out=$(timeout 120 "$here/tools/wine-run.sh" "$reader" "$gui" | tr -d '\r')
has "window: Common Controls 6" "$gui_out" 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo PASS
