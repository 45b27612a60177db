#!/usr/bin/env bash
# Static checks of the product code (app, engine, link, hid, image, toolkit, sim,
# diag) over the compile commands of a build made already (the release preset's
# by default; clang-tidy parses each source with clang itself, so the build's
# own compiler does not matter and no build of its own is needed):
#   1. clang's -Wthread-safety analysis and the bug-finding checks of
#      .clang-tidy on every product source;
#   2. the naming rule on the sources and headers added since the rule came in
#      (KV_NAMING_BASE), so code written before it keeps its names: the house
#      rule of .clang-tidy, and in hid/ and sim/ the snake_case data names of
#      their own .clang-tidy files.
# Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KV_TIDY_BUILD:-build/release}"
naming_base="${KV_NAMING_BASE:-3ec538c}"
jobs="${KV_TIDY_JOBS:-2}"
read -r -a naming_dirs <<<"${KV_NAMING_DIRS:-app engine toolkit diag link image hid sim}"
root="$PWD"
product='(app|engine|link|hid|image|toolkit|sim|diag)'
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: no $build/compile_commands.json; run: cmake --preset release" >&2
  exit 2
fi

echo "--- clang-tidy: thread-safety analysis and bug-finding checks"
run-clang-tidy -quiet -p "$build" -j "$jobs" \
  -extra-arg=-Wthread-safety \
  -checks='-readability-identifier-naming,clang-diagnostic-thread-safety*' \
  -header-filter="^$root/$product/.*\.h$" \
  "^$root/$product/.*\.cpp$"

echo "--- clang-tidy: naming of new code (added since $naming_base)"
mapfile -t added < <(git diff --name-only --diff-filter=A "$naming_base" -- \
  "${naming_dirs[@]}" | grep -E '\.(cpp|h)$' || true)
sources=()
headers=()
for file in "${added[@]}"; do
  case "$file" in
    *.cpp) sources+=("$root/$file") ;;
    *.h) headers+=("$(printf '%s' "$root/$file" | sed 's/[.]/\\./g')") ;;
  esac
done
if [ ${#sources[@]} -eq 0 ]; then
  echo "no new sources"
  exit 0
fi
header_filter="^($(IFS='|'; echo "${headers[*]:-none}"))$"
source_filter="^($(IFS='|'; printf '%s' "${sources[*]}" | sed 's/[.]/\\./g'))$"
run-clang-tidy -quiet -p "$build" -j "$jobs" \
  -checks='-*,readability-identifier-naming' \
  -header-filter="$header_filter" \
  "$source_filter"
