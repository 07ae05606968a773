#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, then the picture
# library and the companion tool again under AddressSanitizer + UBSan.
# With FUZZ=1 each fuzz target (fuzz/) then runs for a minute as well.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 -LE LibreOffice
# Only the tests that drive a real LibreOffice get a second chance: an office
# killed or started under load can, rarely, miss a deadline. A flaky test
# anywhere else fails the run.
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 -L LibreOffice --repeat until-pass:2

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAM_SANITIZE=ON \
  -DTAM_BUILD_GUI=OFF -DTAM_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600

# On CI (as root, with the Debian archive reachable) the Debian packages built
# from the tested tree are linted, installed with apt on a fresh root of this
# machine's release, run there, upgraded and purged (their own build folder).
if [ "${CI:-}" = true ]; then
  bash scripts/package-test.sh build-deb
fi

# On CI, and with DEBIAN13=1, the tree is built and its tests (those without
# LibreOffice) run again on a fresh Debian 13 root, where its packages are
# then built, installed and started (scripts/debian13-test.sh, as root).
if [ "${CI:-}" = true ] || [ "${DEBIAN13:-0}" = 1 ]; then
  bash scripts/debian13-test.sh
fi

if [ "${FUZZ:-0}" = 1 ]; then
  FUZZ_SECONDS=60 bash scripts/fuzz.sh
fi
