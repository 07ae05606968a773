#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and starts Tamarind 2.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/app/tamarind2 ]; then
  exec build/app/tamarind2 "$@"
fi
exec build/cli/tamarind2-cli --help
