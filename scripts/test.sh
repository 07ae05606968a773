#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs every test: the format check, the normal build
# (warnings are errors) and clang-tidy over it, the picture library and the
# companion tool again under AddressSanitizer + UBSan, the threaded parts
# under ThreadSanitizer, then each fuzz target (fuzz/) for 30 seconds (with
# FUZZ=1 for five minutes).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

# Every C++ file as clang-format writes it.
bash scripts/check-format.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAM_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 -LE LibreOffice
# Only the tests that drive a real LibreOffice get a second chance: an office
# killed or started under load can, rarely, miss a deadline. A flaky test
# anywhere else fails the run.
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 -L LibreOffice --repeat until-pass:2

# clang-tidy (.clang-tidy) over the program's sources, with the build's
# compile commands.
bash scripts/tidy.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAM_SANITIZE=ON \
  -DTAM_BUILD_GUI=OFF -DTAM_BUILD_BENCH=OFF -DTAM_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600

# The code that runs a second thread and its tests (ctest label threads)
# under ThreadSanitizer; tests/tsan.supp leaves out what Qt and libstdc++,
# not built with it, hand between threads. Its runtime wants the address
# space laid out without randomization on some kernels; where the system
# allows, it gets that.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAM_SANITIZE=thread \
  -DTAM_BUILD_BENCH=OFF -DTAM_WERROR=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target threaded_tests
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  "${norandom[@]}" ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threads

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

# Each fuzz target for 30 seconds; FUZZ=1: five minutes.
if [ "${FUZZ:-0}" = 1 ]; then fuzz_seconds=300; else fuzz_seconds=30; fi
FUZZ_SECONDS=$fuzz_seconds bash scripts/fuzz.sh
