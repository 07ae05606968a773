#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the conversion benchmark: stage times as ratios to djpeg, then the
# peak memory of one whole conversion by tamarind2-cli against its budget
# (1.2 x the decoded 24-bit picture + the file size).
#
#   bash bench/run.sh [PHOTO.jpg ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash bench/setup.sh

photos=("$@")
if [ ${#photos[@]} -eq 0 ]; then
  photos=(/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg
          /usr/share/backgrounds/sunset_by_Aitzol_Berasategi.jpg)
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target convert_bench tamarind2-cli -j2

build/bench/convert_bench "${photos[@]}"

scratch=$(mktemp -d /tmp/tamarind-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
echo
printf '%-32s %10s %10s %10s %8s %s\n' photo "peak KiB" "budget KiB" "djpeg KiB" "time s" result
for photo in "${photos[@]}"; do
  name=$(basename "$photo")
  cp "$photo" "$scratch/$name"
  read -r w h < <(rdjpgcom -verbose "$photo" | sed -n 's/^JPEG image is \([0-9]*\)w \* \([0-9]*\)h.*/\1 \2/p')
  size=$(stat -c %s "$photo")
  budget=$(( (w * h * 3 * 12 / 10 + size) / 1024 ))
  /usr/bin/time -f '%M %e' -o "$scratch/time" build/cli/tamarind2-cli reduce "$scratch/$name" >/dev/null
  read -r peak secs < "$scratch/time"
  /usr/bin/time -f '%M' -o "$scratch/time" djpeg -dct int -outfile /dev/null "$photo"
  djpeg_peak=$(cat "$scratch/time")
  result=$([ "$peak" -le "$budget" ] && echo within || echo OVER)
  printf '%-32s %10d %10d %10d %8s %s\n' "${name%.jpg}" "$peak" "$budget" "$djpeg_peak" "$secs" "$result"
done
