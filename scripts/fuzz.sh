#!/usr/bin/env bash
# Builds every fuzz/*_fuzzer.cpp with libFuzzer, AddressSanitizer and UBSan
# together with the picture library's sources, and runs each for a bounded
# time (FUZZ_SECONDS, 60 by default) seeded from the shared test data.
# Findings go to build-fuzz/artifacts/. Not part of the test command.
#
#   bash scripts/fuzz.sh                          # every fuzzer, 60 s each
#   FUZZ_SECONDS=300 bash scripts/fuzz.sh bmp     # only fuzz/bmp_fuzzer.cpp
#   FUZZ_FLAGS="-use_value_profile=1" bash scripts/fuzz.sh   # more libFuzzer options
# FUZZ_LIBS replaces the libraries linked in (-ljpeg -lexif -lpthread).
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
out=${FUZZ_BUILD:-$repo/build-fuzz}
testdata=$repo/../shared/testdata
only=${1:-}
read -r -a extra <<<"${FUZZ_FLAGS:-}"
read -r -a libs <<<"${FUZZ_LIBS:--ljpeg -lexif -lpthread}"

mkdir -p "$out/artifacts"
status=0
for fuzzer in "$repo"/fuzz/*_fuzzer.cpp; do
  [ -e "$fuzzer" ] || continue
  name=$(basename "${fuzzer%.cpp}")
  kind=${name%_fuzzer}
  [ -z "$only" ] || [ "$only" = "$kind" ] || continue

  # Targets beyond the picture library name the sources they need.
  sources=("$repo"/picture/*.cpp)
  case $kind in
    package) sources+=("$repo"/presentation/package_check.cpp) ;;
  esac
  echo "fuzz: building $name" >&2
  if ! clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$repo" \
      "$fuzzer" "${sources[@]}" "${libs[@]}" -o "$out/$name"; then
    echo "fuzz: $name does not build" >&2
    status=1
    continue
  fi

  # The first folder is the working corpus, which grows from run to run; the
  # others are the read-only seeds.
  seeds=()
  case $kind in
    bmp) seeds=("$testdata"/bmpsuite/g "$testdata"/bmpsuite/q "$testdata"/bmpsuite/b "$testdata"/bmpsuite/x
                "$testdata"/bmp-extra) ;;
    jpeg | stream) seeds=("$testdata"/jpeg/good "$testdata"/jpeg/unusual "$testdata"/jpeg/bad) ;;
    package) seeds=("$testdata"/pptx) ;;
  esac
  corpus=$out/corpus/$name
  mkdir -p "$corpus"
  existing=()
  for s in "${seeds[@]}"; do [ -d "$s" ] && existing+=("$s"); done

  echo "fuzz: running $name for ${seconds} s" >&2
  if ! "$out/$name" -max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-60}" -rss_limit_mb="${FUZZ_RSS_MB:-2048}" -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$name-" "${extra[@]}" "$corpus" "${existing[@]}"; then
    echo "fuzz: $name found a problem; see $out/artifacts/" >&2
    status=1
  fi
done
exit $status
