#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs two builds of tamarind2-cli on copies of the same pictures and
# compares every output byte for byte, its error lines and its exit status
# too: the check that a change to the codec, the filter or the streaming
# left the results alone.
#
#   bash bench/compare_outputs.sh OLD_CLI NEW_CLI [FILE...]
#
# Without FILEs it takes the shared test data (../shared/testdata/jpeg and
# bmp*) and the bench photos (bench/photos.h's folders, where installed),
# plus pictures made here with cjpeg (grey, progressive, 4:4:4, 4:2:2, an
# EXIF-turned one). Each set runs at qualities 0, 50 and 100, full and
# quarter size. Prints one line per difference and a summary; the exit
# status is 0 when everything matched.
set -u
old=$(readlink -f "$1")
new=$(readlink -f "$2")
shift 2
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

files=()
for f in "$@"; do files+=("$(readlink -f "$f")"); done
if [ ${#files[@]} -eq 0 ]; then
  data=$repo/../shared/testdata
  while IFS= read -r -d '' f; do files+=("$f"); done < <(
    find "$data/jpeg" "$data"/bmp* -type f \( -iname '*.jpg' -o -iname '*.bmp' \) -print0 2>/dev/null | sort -z)
  while IFS= read -r -d '' f; do files+=("$f"); done < <(
    find /usr/share/backgrounds /usr/share/wallpapers -type f -iname '*.jpg' -print0 2>/dev/null | sort -z)
  # Pictures made here: every sampling, grey, progressive, odd sizes.
  made=$work/made
  mkdir -p "$made"
  if command -v cjpeg >/dev/null; then
    for size in 2001x1333 1025x3001 640x480; do
      python3 - "$made/$size.ppm" "${size%x*}" "${size#*x}" <<'PY'
import random, sys
path, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(w * h)
noise = bytes(random.getrandbits(8) & 31 for _ in range(4096))
rows = bytearray()
for y in range(h):
    for x in range(w):
        n = noise[(x * 7 + y * 13) % 4096]
        rows += bytes(((x * 255 // w + n) & 255, (y * 255 // h + n) & 255, ((x ^ y) + n) & 255))
open(path, "wb").write(b"P6 %d %d 255\n" % (w, h) + bytes(rows))
PY
      for form in "-sample 2x2" "-sample 2x1" "-sample 1x1" "-grayscale" "-progressive" \
        "-progressive -grayscale" "-progressive -sample 1x1" "-restart 3"; do
        tag=${form//[^a-z0-9]/}
        cjpeg -quality 85 $form "$made/$size.ppm" >"$made/$size-$tag.jpg"
      done
      rm -f "$made/$size.ppm"
    done
    for f in "$made"/*.jpg; do files+=("$f"); done
  fi
  turned=$(find "$data/jpeg/good" -name 'hopper_orientation_6.jpg' | head -n 1)
  [ -n "$turned" ] && files+=("$turned")
fi

total=0
differ=0
run() {  # run CLI OUTDIR ARGS...
  local cli=$1 dir=$2
  shift 2
  (cd "$dir" && HOME=$work/home XDG_DATA_HOME=$work/home/trash "$cli" reduce "$@" >.out 2>.err; echo $? >.status)
}
for quality in 0 50 100; do
  for quarter in "" --quarter; do
    for side in old new; do
      rm -rf "${work:?}/$side"
      mkdir -p "$work/$side"
    done
    i=0
    names=()
    for f in "${files[@]}"; do
      ext=${f##*.}
      name=$(printf '%04d.%s' "$i" "${ext,,}")
      i=$((i + 1))
      [ -f "$f" ] || continue
      cp "$f" "$work/old/$name"
      cp "$f" "$work/new/$name"
      names+=("$name")
    done
    [ ${#names[@]} -eq 0 ] && continue
    run "$old" "$work/old" --quality "$quality" $quarter -- "${names[@]}"
    run "$new" "$work/new" --quality "$quality" $quarter -- "${names[@]}"
    for what in .out .err .status; do
      if ! cmp -s "$work/old/$what" "$work/new/$what"; then
        echo "differ: $what at quality $quality ${quarter:-full}"
        diff "$work/old/$what" "$work/new/$what" | head -n 10
        differ=$((differ + 1))
      fi
    done
    for out in "$work/old"/*_x.jpg; do
      [ -e "$out" ] || continue
      total=$((total + 1))
      base=$(basename "$out")
      src=${files[$((10#${base%%_x.jpg}))]}
      if ! cmp -s "$out" "$work/new/$base"; then
        echo "differ: $src at quality $quality ${quarter:-full}"
        differ=$((differ + 1))
      fi
    done
    for out in "$work/new"/*_x.jpg; do
      [ -e "$work/old/$(basename "$out")" ] || { echo "only new: $out"; differ=$((differ + 1)); }
    done
  done
done
echo "compared $total outputs of ${#files[@]} files: $differ differences"
[ "$differ" -eq 0 ]
