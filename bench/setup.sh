#!/usr/bin/env bash
# Installs what the benchmarks need on top of the project's own set-up: real
# photos (Debian's wallpaper packages: a 20 MP baseline and a 12 MP
# progressive one among them) and GNU time for the peak memory.
# Idempotent: quiet when everything is there.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/setup.sh" \
  lomiri-wallpapers-20.04 \
  lomiri-wallpapers-16.04 \
  plasma-workspace-wallpapers \
  time
