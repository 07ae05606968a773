#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the benchmarks need on top of the project's own set-up: real
# photos (Debian's wallpaper packages: a 20 MP baseline and a 12 MP
# progressive one among them), GNU time for the peak memory, and the exact
# box-filter reducers the conversion is held against (GraphicsMagick, vips;
# ImageMagick comes with the project's set-up).
# Idempotent: quiet when everything is there.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/setup.sh" \
  lomiri-wallpapers-20.04 \
  lomiri-wallpapers-16.04 \
  plasma-workspace-wallpapers \
  graphicsmagick \
  libvips-tools \
  time
