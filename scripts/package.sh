#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from this tree and prints the absolute path of
# each .deb, one per line, on stdout (everything else goes to stderr):
#   bash scripts/package.sh [BUILD_DIR [CMAKE_ARGS...]]   (default build-deb)
# The programs are built for /usr with Debian's hardening flags, the modules
# under /usr/lib/<triplet>/tamarind2/, without tests or benchmarks; CMake
# arguments after BUILD_DIR are passed on, e.g. -DTAM_MAINTAINER="Name <address>"
# or -DTAM_DEB_VERSION=2.0-2; they hold for that run only.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
build=${1:-build-deb}
shift || true
mkdir -p "$build"
build=$(cd "$build" && pwd)
umask 022

# Debian's flags for a package: hardened throughout, the preprocessor's
# (fortify) given to the compilers, which CMake does not take from CPPFLAGS.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# The changelog's date, and so the packages, follow the last commit.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DTAM_BUILD_TESTS=OFF -DTAM_BUILD_BENCH=OFF -DTAM_SANITIZE=OFF -DTAM_BUILD_GUI=ON \
  "-DCMAKE_C_FLAGS=$CFLAGS $CPPFLAGS" "-DCMAKE_CXX_FLAGS=$CXXFLAGS $CPPFLAGS" \
  "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" "-DCMAKE_SHARED_LINKER_FLAGS=$LDFLAGS" \
  "-DCMAKE_MODULE_LINKER_FLAGS=$LDFLAGS" "${launcher[@]}" -UTAM_DEB_VERSION -UTAM_MAINTAINER "$@" >&2
maintainer=$(sed -n 's/^TAM_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
if [ -z "$maintainer" ]; then
  echo "package.sh: nobody to name as the packages' maintainer: set DEBFULLNAME and DEBEMAIL," \
    "or pass -DTAM_MAINTAINER=\"Name <address>\"" >&2
  exit 1
fi
nice -n 15 cmake --build "$build" -j"$(nproc)" >&2

# Only this run's packages are listed.
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >&2)
shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -gt 0 ] || { echo "package.sh: cpack made no package" >&2; exit 1; }
printf '%s\n' "${debs[@]}"
