#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs every Debian package that building, testing and running Tamarind 2 needs,
# on Debian 12 (bookworm) and Debian 13 (trixie) alike: every name here exists in both.
# Idempotent: quiet and quick when everything is already there.
# Extra package names given as arguments are installed too (bench/setup.sh).
set -euo pipefail

packages=(
  build-essential
  cmake
  ninja-build
  pkg-config
  git
  qt6-base-dev
  qt6-base-dev-tools
  qt6-qpa-plugins
  libgl-dev
  libjpeg62-turbo-dev
  libjpeg-turbo-progs
  libzip-dev
  libpng-dev
  zlib1g-dev
  libexif-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  clang
  libclang-rt-dev
  clang-format
  clang-tidy
  fonts-noto-cjk
  qt6-translations-l10n
  xvfb
  xauth
  x11-utils
  openbox
  xdotool
  wmctrl
  imagemagick
  libreoffice-impress
  libreoffice-dev
  poppler-utils
  unzip
  desktop-file-utils
  appstream
  dpkg-dev
  file
  groff-base
  debootstrap
  lintian
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
else
  SUDO=(sudo)
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
