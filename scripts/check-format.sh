#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails when a C++ file of the repository (every *.cpp and *.h that git
# tracks, tests, benchmarks and fuzz targets included) is not as
# clang-format (.clang-format) would write it, and names each such place.
# To put a file right: clang-format -i FILE.
#
# clang-format 14 (Debian 12) and 19 (Debian 13) write the tree alike. They
# part on a few constructs, which the code avoids:
#   struct stat st{};                 -> struct stat st = {};
#   f(a, [] { ... }, b)               -> a named lambda when it is not the last argument
#   x = f(a, [](...) { short body; }) -> a named lambda
#
#   bash scripts/check-format.sh                      # the release's clang-format
#   CLANG_FORMAT=clang-format-19 bash scripts/check-format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format}
command -v "$format" >/dev/null || { echo "check-format: $format is not installed" >&2; exit 1; }

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
fi
[ ${#files[@]} -gt 0 ] || { echo "check-format: no C++ files found" >&2; exit 1; }

echo "check-format: $("$format" --version | head -n1), ${#files[@]} files" >&2
if ! printf '%s\0' "${files[@]}" | xargs -0 -n 50 "$format" --dry-run --Werror; then
  echo "check-format: the files above are not formatted (clang-format -i FILE puts them right)" >&2
  exit 1
fi
