#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds every fuzz/*_fuzzer.cpp with libFuzzer, AddressSanitizer and UBSan
# together with the picture library's sources, and runs each for a bounded
# time (FUZZ_SECONDS, 60 by default) seeded from the shared test data.
# Findings go to build-fuzz/artifacts/. scripts/test.sh runs it (30 s each).
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
flags=(-std=c++20 -g -O1 -I"$repo")

# Targets beyond the picture library name the sources they need.
extra_sources() {
  case $1 in
    package) echo "$repo/presentation/package_check.cpp" ;;
  esac
}

fuzzers=()
for fuzzer in "$repo"/fuzz/*_fuzzer.cpp; do
  [ -e "$fuzzer" ] || continue
  kind=$(basename "${fuzzer%_fuzzer.cpp}")
  [ -z "$only" ] || [ "$only" = "$kind" ] || continue
  fuzzers+=("$fuzzer")
done
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "fuzz: no target ${only:+named $only }in fuzz/" >&2
  exit 1
fi

# The sources the targets share are compiled once, side by side, then linked
# into each target.
mkdir -p "$out/artifacts" "$out/obj"
rm -f "$out"/obj/*.o
sources=("$repo"/picture/*.cpp)
for fuzzer in "${fuzzers[@]}"; do
  read -r -a more <<<"$(extra_sources "$(basename "${fuzzer%_fuzzer.cpp}")")"
  sources+=("${more[@]}")
done
object_of() {
  local relative=${1#"$repo"/}
  echo "$out/obj/${relative//\//_}.o"
}
echo "fuzz: compiling ${#sources[@]} sources" >&2
printf '%s\n' "${sources[@]}" | sort -u | while read -r src; do printf '%s\0%s\0' "$(object_of "$src")" "$src"; done |
  xargs -0 -n 2 -P "$(nproc)" clang++ "${flags[@]}" -fsanitize=fuzzer-no-link,address,undefined -c -o
status=0

for fuzzer in "${fuzzers[@]}"; do
  name=$(basename "${fuzzer%.cpp}")
  kind=${name%_fuzzer}
  objects=()
  for src in "$repo"/picture/*.cpp $(extra_sources "$kind"); do objects+=("$(object_of "$src")"); done

  echo "fuzz: building $name" >&2
  if ! clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined "$fuzzer" "${objects[@]}" "${libs[@]}" \
      -o "$out/$name"; then
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
