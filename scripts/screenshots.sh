#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes the README's pictures under a private Xvfb with openbox: the main
# window opened with photos, and a presentation the insert command made in
# the program's own window. Writes doc/window.png and doc/presentation.png.
#   bash scripts/screenshots.sh [BUILD_DIR]    (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
program=$PWD/$build/app/tamarind2
[ -x "$program" ] || { echo "screenshots: build $program first" >&2; exit 1; }

work=$(mktemp -d /tmp/写真-XXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
unset QT_QPA_PLATFORM
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1

mkdir -p "$work/旅行"
for i in 1 2 3; do
  convert -seed "$i" -size 320x240 plasma: -blur 0x6 -resize 1280x960 -quality 90 "$work/旅行/IMG_000$i.jpg"
done
(cd "$work" && LANG=C.UTF-8 "$program" 旅行/IMG_0001.jpg 旅行/IMG_0002.jpg 旅行/IMG_0003.jpg >/dev/null 2>&1) &
pids+=($!)
window=""
for _ in $(seq 100); do
  window=$(xdotool search --name '^Tamarind 2 for PowerPoint$' 2>/dev/null | head -n1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "screenshots: the window did not appear" >&2; exit 1; }
sleep 1
import -window "$window" -frame "$work/window.png"
mkdir -p doc
convert "$work/window.png" +dither -colors 32 -strip "PNG8:doc/window.png"

# The built-in engine: uncheck the Impress item, then PPT挿入 on the 編集 menu.
xdotool windowactivate --sync "$window"
xdotool key --window "$window" alt+o sleep 0.5 key i sleep 0.5 key Escape
xdotool windowactivate --sync "$window" key alt+e sleep 0.5 key p
shown=""
for _ in $(seq 100); do
  shown=$(xdotool search --name 'プレゼンテーション' 2>/dev/null | head -n1) && [ -n "$shown" ] && break
  sleep 0.1
done
[ -n "$shown" ] || { echo "screenshots: no presentation window" >&2; exit 1; }
# Apart from the main window, which stays on top.
xdotool windowmove "$window" 550 0
xdotool windowmove "$shown" 5 30 windowsize "$shown" 500 520
sleep 1
import -window "$shown" -frame "$work/presentation.png"
convert "$work/presentation.png" +dither -colors 48 -strip "PNG8:doc/presentation.png"
ls -l doc/window.png doc/presentation.png
