#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs clang-tidy (the checks of .clang-tidy) over the program's own sources,
# picture/, presentation/, app/ and cli/, and the headers there, and fails on
# any finding. It reads the compile commands of a configured and built tree
# (CMAKE_EXPORT_COMPILE_COMMANDS; the build makes the generated headers the
# sources include). The checks are settled with clang-tidy 14 (Debian 12)
# and, over all but the office plug-in, clang-tidy 19 (Debian 13) agrees.
#
#   bash scripts/tidy.sh                 # the tree in build/
#   bash scripts/tidy.sh build-other     # another build folder
#   TIDY_JOBS=1 bash scripts/tidy.sh     # parallel clang-tidy runs (nproc)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
jobs=${TIDY_JOBS:-$(nproc)}
tidy=${CLANG_TIDY:-clang-tidy}
[ -f "$build/compile_commands.json" ] || { echo "tidy: no $build/compile_commands.json; configure and build first" >&2; exit 1; }
command -v "$tidy" >/dev/null || { echo "tidy: $tidy is not installed" >&2; exit 1; }
command -v run-clang-tidy >/dev/null || { echo "tidy: run-clang-tidy is not installed" >&2; exit 1; }

ours="$repo/(picture|presentation|app|cli)/"
echo "tidy: $("$tidy" --version | grep -i version | head -n1 | sed 's/^ *//'), $jobs at a time" >&2
# The file arguments are regular expressions over the database's paths: our
# folders, not the generated files of the build folder (moc's).
# The compiler's own warnings are the build's to judge (TAM_WERROR), not clang's.
if ! run-clang-tidy -clang-tidy-binary "$(command -v "$tidy")" -p "$build" -j "$jobs" -quiet \
    -extra-arg=-Wno-error -header-filter "^$ours" "^$ours.*\.cpp\$" >"$build/tidy.log" 2>&1; then
  # Only the findings, not the counts of the warnings left out.
  grep -v -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
    -e '^Use -header-filter=' "$build/tidy.log" | sed 's/\x1b\[[0-9;]*m//g' >&2
  echo "tidy: findings above (full log: $build/tidy.log)" >&2
  exit 1
fi
echo "tidy: no findings" >&2
