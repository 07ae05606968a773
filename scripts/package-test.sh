#!/usr/bin/env bash
# Builds the Debian package and proves it on a clean system: a minimal Debian
# 12 root made with debootstrap, the package installed there with apt, and
# both programs run on a photo inside it. Needs root (debootstrap, chroot) and
# the Debian archive this machine's apt uses.
#   bash scripts/package-test.sh [BUILD_DIR]    (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
started=$(date +%s)
build=${1:-build-package}

say() { printf 'package-test: %s\n' "$*" >&2; }

# A build folder that is already configured (the test script's) is used as it
# is; a new one gets the programs only.
if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAM_BUILD_TESTS=OFF \
    -DTAM_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/tamarind2_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tamarind2_*.deb)
[ "$(echo "$deb" | wc -l)" -eq 1 ] || { say "expected one package, found: $deb"; exit 1; }
say "built $deb in $(($(date +%s) - started)) s"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends >&2

# The same archive as the host's apt, so the versions dpkg-shlibdeps asked
# for (read from this machine's libraries) exist there too.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n1)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null | head -n1)
fi
[ -n "$mirror" ] || { say "no Debian archive in this machine's apt sources"; exit 1; }

root=$(mktemp -d /tmp/tamarind2-root.XXXXXX)
cleanup() {
  mountpoint -q "$root/proc" && umount "$root/proc"
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

say "debootstrap bookworm from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 ||
  { tail -n 20 "$root.log" >&2; rm -f "$root.log"; exit 1; }
rm -f "$root.log"
rm -f "$root/etc/apt/sources.list"
cp /etc/apt/sources.list.d/*.sources "$root/etc/apt/sources.list.d/" 2>/dev/null || true
[ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/sources.list"
say "root made in $(($(date +%s) - started)) s"
mount -t proc proc "$root/proc"
mkdir -p "$root/work"
cp "$deb" "$root/work/"
# A photo larger than the slide, so the reduction has something to do.
convert -size 1600x1200 gradient:navy-orange -quality 90 "$root/work/photo.jpg"

inside() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root "$@"; }
say "apt-get install ./$(basename "$deb")"
# Recommends left out: the test is that the programs run without LibreOffice.
inside sh -c 'apt-get -o APT::Sandbox::User=root update -qq && cd /work &&
  DEBIAN_FRONTEND=noninteractive apt-get -o APT::Sandbox::User=root install -y -qq \
  --no-install-recommends ./tamarind2_*.deb' >"$root/work/apt.log" 2>&1 ||
  { tail -n 30 "$root/work/apt.log" >&2; exit 1; }
say "installed in $(($(date +%s) - started)) s"

fail() { say "FAILED: $*"; exit 1; }
version=$(inside tamarind2 --version)
[ "$version" = "tamarind2 $(dpkg-deb --field "$deb" Version)" ] || fail "tamarind2 --version said '$version'"
written=$(inside tamarind2-cli reduce --quality 70 /work/photo.jpg)
[ "$written" = /work/photo_x.jpg ] || fail "reduce wrote '$written'"
[ "$(identify -format %wx%h "$root/work/photo_x.jpg")" = 960x720 ] || fail "reduced photo is not 960x720"
# The window itself: Qt's libraries and plug-ins load, the photo is taken in,
# and the program is still running when it is stopped.
status=0
inside timeout 10 tamarind2 -platform offscreen /work/photo.jpg >/dev/null 2>"$root/work/window.log" || status=$?
[ "$status" -eq 124 ] || { cat "$root/work/window.log" >&2; fail "the window ended with status $status"; }
slides=$(inside tamarind2-cli slides -o /work/show.pptx /work/photo_x.jpg)
[ "$slides" = "スライド:1" ] || fail "slides said '$slides'"
# The listing is read whole first: grep -q leaving early would end unzip by
# SIGPIPE, which pipefail reports as a failure.
listing=$(unzip -l "$root/work/show.pptx") || fail "show.pptx is not a zip package"
grep -q 'ppt/slides/slide1.xml' <<<"$listing" || fail "show.pptx has no slide"
# tamarind2-cli hands the Impress engine to the installed companion program,
# which, with no LibreOffice here, must say that it found none.
status=0
office=$(inside tamarind2-cli slides --engine impress -o /work/office.pptx /work/photo_x.jpg 2>&1) || status=$?
[ "$status" -eq 1 ] && grep -q 'soffice' <<<"$office" || fail "slides --engine impress said '$office' (status $status)"
for f in /usr/share/man/man1/tamarind2.1.gz /usr/share/man/man1/tamarind2-cli.1.gz \
  /usr/share/applications/tamarind2.desktop /usr/share/metainfo/io.github.tamarind2.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/tamarind2.svg /usr/share/icons/hicolor/64x64/apps/tamarind2.png; do
  [ -f "$root$f" ] || fail "$f is not installed"
done
say "passed in $(($(date +%s) - started)) s: $version, the window, reduce, slides, the Impress hand-over, manuals, desktop entry"
