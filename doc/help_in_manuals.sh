#!/bin/bash
# SPDX-License-Identifier: MIT
# Every option that a program's usage names is in each of its manuals.
#   help_in_manuals.sh PROGRAM [COMMAND...] -- MANUAL...
# reads `PROGRAM --help` and `PROGRAM COMMAND --help` for each COMMAND, and
# looks in every roff MANUAL for each option found there (-h, --quality, --),
# as a word of its own once the roff escapes are taken out.
set -uo pipefail

program=$1
shift
commands=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  commands+=("$1")
  shift
done
shift
[ $# -gt 0 ] || { echo "help_in_manuals.sh: no manual given" >&2; exit 2; }

# An option: -x or --word, or -- alone, not inside a longer word
# (tamarind2-cli holds none).
option='(?<![\w-])(?:--?[A-Za-z][\w-]*|--)(?![\w-])'

usage() {
  local text
  if ! text=$("$program" "$@" --help); then
    echo "help_in_manuals.sh: $program $* --help failed" >&2
    return 1
  fi
  printf '%s\n' "$text"
}

helps=$(usage) || exit 1
for command in "${commands[@]}"; do
  helps+=$'\n'$(usage "$command") || exit 1
done
mapfile -t options < <(grep -oP "$option" <<<"$helps" | sort -u)
if [ ${#options[@]} -eq 0 ]; then
  echo "help_in_manuals.sh: no option found in the usage of $program" >&2
  exit 1
fi

missing=0
for manual in "$@"; do
  # \- is a minus sign, \fB and the like change the font, \c joins lines.
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\c$//' "$manual") || exit 1
  for opt in "${options[@]}"; do
    # An option holds letters, digits, _ and - alone: no pattern characters.
    if ! grep -qP "(?<![\\w-])$opt(?![\\w-])" <<<"$text"; then
      echo "$manual: no $opt, which the usage names" >&2
      missing=1
    fi
  done
done
[ $missing -eq 0 ] && echo "${#options[@]} options, each in ${#} manuals: ${options[*]}"
exit $missing
