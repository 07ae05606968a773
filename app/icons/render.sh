#!/bin/bash
# SPDX-License-Identifier: MIT
# Renders the program's icon at the sizes desktops look for, from
# app/tamarind2.svg, into app/icons/<size>x<size>/tamarind2.png. The PNGs are
# kept in the repository so that a build needs no SVG renderer; run this
# after changing the SVG (needs rsvg-convert, Debian package librsvg2-bin).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
svg=$here/../tamarind2.svg
command -v rsvg-convert >/dev/null || { echo "render.sh: rsvg-convert is missing (apt-get install librsvg2-bin)" >&2; exit 1; }
for size in 48 64 128 256; do
  mkdir -p "$here/${size}x${size}"
  rsvg-convert --width "$size" --height "$size" --format png --output "$here/${size}x${size}/tamarind2.png" "$svg"
done
