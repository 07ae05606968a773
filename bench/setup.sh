#!/usr/bin/env bash
# Installs what the benchmarks need on top of scripts/setup.sh:
# two real photos (a 20 MP baseline and a 12 MP progressive wallpaper),
# GNU time for the peak memory, and djpeg/rdjpgcom for the reference decode.
# Idempotent: quiet when everything is there.
set -euo pipefail

packages=(
  lomiri-wallpapers-20.04
  lomiri-wallpapers-16.04
  plasma-workspace-wallpapers
  libjpeg-turbo-progs
  time
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
else
  SUDO=(sudo)
fi
echo "bench setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
