#!/usr/bin/env bash
# Builds the Debian package from the tree and prints the absolute path of each
# .deb, one per line, on stdout; everything else goes to stderr.
#   bash scripts/package.sh [BUILD_DIR]    (default build-package)
# A build folder that is already configured is used as it is; a new one gets
# the programs only.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAM_BUILD_TESTS=OFF \
    -DTAM_BUILD_BENCH=OFF "${launcher[@]}" >&2
fi
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB) >&2
build=$(cd "$build" && pwd)
debs=("$build"/*.deb)
[ -f "${debs[0]}" ] || { echo "package: cpack made no .deb in $build" >&2; exit 1; }
printf '%s\n' "${debs[@]}"
