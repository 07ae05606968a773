#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages (scripts/package.sh) and proves them:
#  - lintian finds no error and no warning in either package, and the desktop
#    entry and the AppStream metainfo they install validate;
#  - on a fresh root of this machine's own Debian release (debootstrap), apt
#    installs tamarind2 without its recommended packages, the programs run,
#    and the window, started on a photo under Xvfb, draws its Japanese text
#    with glyphs (not the boxes of a missing font);
#  - tamarind2-impress installs LibreOffice and tamarind2-cli makes slides in
#    Impress from the installed files;
#  - tamarind2 upgrades over a package of a lower version built from the
#    same tree;
#  - purging them leaves nothing of the program on the system.
# Needs root (debootstrap, chroot, mount) and the Debian archive this
# machine's apt uses.
#   bash scripts/package-test.sh [BUILD_DIR]    (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
started=$(date +%s)
build=${1:-build-deb}

say() { printf 'package-test: %s (%d s)\n' "$*" "$(($(date +%s) - started))" >&2; }
fail() {
  say "FAILED: $*"
  exit 1
}

work=$(mktemp -d /tmp/tamarind2-package-test.XXXXXX)
root=$work/root
xvfb=
cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  for m in tmp/.X11-unix dev/shm proc; do
    mountpoint -q "$root/$m" && umount "$root/$m"
  done
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# Packages of a lower version first, for the upgrade, then the real ones;
# the second run only packs again what the first built.
mkdir -p "$work/old"
mapfile -t old < <(bash scripts/package.sh "$build" -DTAM_DEB_VERSION=0~upgrade-1)
cp "${old[@]}" "$work/old/"
mapfile -t debs < <(bash scripts/package.sh "$build")
[ ${#debs[@]} -eq 2 ] || fail "expected two packages, got: ${debs[*]}"
for deb in "${debs[@]}"; do
  case $(basename "$deb") in
    tamarind2_*) main=$deb ;;
    tamarind2-impress_*) impress=$deb ;;
    *) fail "unexpected package $deb" ;;
  esac
done
version=$(dpkg-deb --field "$main" Version)
say "built $version"
for deb in "${debs[@]}"; do
  dpkg-deb --field "$deb" Package Version Depends Recommends >&2
done

# What a maintainer would be told: any error or warning fails.
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" >&2 || fail "lintian"
dpkg-deb -x "$main" "$work/main"
# desktop-file-validate fails only on errors: any remark at all fails here.
remarks=$(desktop-file-validate "$work/main/usr/share/applications/tamarind2.desktop" 2>&1) && [ -z "$remarks" ] ||
  fail "the desktop entry: $remarks"
appstreamcli validate --no-net "$work/main"/usr/share/metainfo/*.metainfo.xml >&2 || fail "the metainfo"
say "lintian, desktop-file-validate and appstreamcli are content"

# The same archive and release as the host's apt, so the versions
# dpkg-shlibdeps asked for (read from this machine's libraries) exist there.
. /etc/os-release
suite=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n1)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null |
    grep -v security | head -n1)
fi
[ -n "$mirror" ] || fail "no Debian archive in this machine's apt sources"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap $suite"; }
rm -f "$root/etc/apt/sources.list"
cp /etc/apt/sources.list.d/*.sources "$root/etc/apt/sources.list.d/" 2>/dev/null || true
[ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root/etc/apt/sources.list"
say "debootstrap $suite from $mirror"
mount -t proc proc "$root/proc"
mount -t tmpfs shm "$root/dev/shm"
mkdir -p "$root/work" "$root/tmp/.X11-unix"
cp "${debs[@]}" "$root/work/"
mkdir -p "$root/work/old"
cp "$work"/old/*.deb "$root/work/old/"
# A photo larger than the slide, so the reduction has something to do.
convert -size 1600x1200 gradient:navy-orange -quality 90 "$root/work/photo.jpg"

inside() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root ${DISPLAY:+DISPLAY=$DISPLAY} "$@"
}
apt_inside() {
  inside env DEBIAN_FRONTEND=noninteractive apt-get -o APT::Sandbox::User=root -y -qq "$@" \
    >"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; fail "apt-get $*"; }
}
apt_inside update
# Every file on the system before the program came, to find what it leaves
# (the test's own folder and root's home, which is user data, aside).
files_now() {
  (cd "$root" && find . \( -path ./proc -o -path ./work -o -path ./root -o -path ./var/lib/apt/lists \) -prune \
    -o -print) | sort
}
files_now >"$work/files-before"

# The lower version first, then the one built now over it. Recommends left
# out: the window and the built-in engine must do without LibreOffice.
for deb in "${old[@]}"; do
  case $(basename "$deb") in tamarind2_*) old_main=/work/old/$(basename "$deb") ;; esac
done
apt_inside install --no-install-recommends "$old_main"
[ "$(inside dpkg-query -W -f '${Version}' tamarind2)" = 0~upgrade-1 ] || fail "the old package is not installed"
apt_inside install --no-install-recommends "/work/$(basename "$main")"
[ "$(inside dpkg-query -W -f '${Version}' tamarind2)" = "$version" ] || fail "tamarind2 was not upgraded"
say "tamarind2 0~upgrade-1 installed, then upgraded to $version"

said=$(inside tamarind2 --version)
[ "$said" = "tamarind2 ${version%-*}" ] || fail "tamarind2 --version said '$said'"
written=$(inside tamarind2-cli reduce --quality 70 /work/photo.jpg)
[ "$written" = /work/photo_x.jpg ] || fail "reduce wrote '$written'"
[ "$(identify -format %wx%h "$root/work/photo_x.jpg")" = 960x720 ] || fail "the reduced photo is not 960x720"
slides=$(inside tamarind2-cli slides -o /work/show.pptx /work/photo_x.jpg)
[ "$slides" = "スライド:1" ] || fail "slides said '$slides'"
# Read whole first: grep -q leaving early would end unzip by SIGPIPE.
listing=$(unzip -l "$root/work/show.pptx") || fail "show.pptx is not a zip package"
grep -q 'ppt/slides/slide1.xml' <<<"$listing" || fail "show.pptx has no slide"
# Without the plug-in package the Impress engine says it cannot be had.
status=0
office=$(inside tamarind2-cli slides --engine impress -o /work/office.pptx /work/photo_x.jpg 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "slides --engine impress without LibreOffice said '$office' (status $status)"
for f in /usr/share/man/man1/tamarind2.1.gz /usr/share/man/man1/tamarind2-cli.1.gz \
  /usr/share/doc/tamarind2/copyright /usr/share/doc/tamarind2/changelog.Debian.gz; do
  [ -f "$root$f" ] || fail "$f is not installed"
done
say "the programs run"

# The window on a photo, on an X server of its own. Its Japanese texts are
# drawn with the CJK font the package depends on: with that font hidden the
# same window looks different (boxes or nothing where the glyphs were).
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
shoot() {
  chroot "$root" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME=/root DISPLAY="$DISPLAY" tamarind2 /work/photo.jpg \
    >"$work/window.log" 2>&1 &
  local pid=$!
  sleep 6
  kill -0 "$pid" 2>/dev/null || { cat "$work/window.log" >&2; fail "the window ended early"; }
  import -window root "$1"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
}
differing() { compare -metric AE "$1" "$2" null: 2>&1 || true; }
shoot "$work/with-font.png"
fonts=$(cd "$root" && find usr/share/fonts -name '*CJK*' -o -name '*ipa*' -o -name '*IPA*' | head -n 20)
[ -n "$fonts" ] || fail "no Japanese font was installed"
mkdir "$work/hidden"
for f in $fonts; do mv "$root/$f" "$work/hidden/"; done
inside sh -c 'command -v fc-cache >/dev/null && fc-cache -f || true'
shoot "$work/without-font.png"
for f in $fonts; do mv "$work/hidden/$(basename "$f")" "$root/$f"; done
inside sh -c 'command -v fc-cache >/dev/null && fc-cache -f || true'
shoot "$work/with-font-again.png"
changed=$(differing "$work/with-font.png" "$work/without-font.png")
steady=$(differing "$work/with-font.png" "$work/with-font-again.png")
# The texts cover thousands of pixels; two shots with the font differ in none.
[ "${steady%%.*}" -lt 200 ] 2>/dev/null || fail "two shots of the same window differ in $steady pixels"
[ "${changed%%.*}" -gt 2000 ] 2>/dev/null ||
  fail "the window looks the same without its Japanese font ($changed pixels differ)"
say "the window draws its Japanese text ($changed pixels are the font's)"
[ -n "${TAM_PACKAGE_SHOTS:-}" ] && cp "$work"/with-font.png "$work"/without-font.png "$TAM_PACKAGE_SHOTS"/

# The Impress engine from the installed plug-in, in a headless office.
apt_inside install --no-install-recommends "/work/$(basename "$impress")"
say "tamarind2-impress and LibreOffice installed"
slides=$(DISPLAY='' inside tamarind2-cli slides --engine impress -o /work/office.pptx /work/photo_x.jpg 2>"$work/office.log") ||
  { cat "$work/office.log" >&2; fail "slides --engine impress"; }
[ "$slides" = "スライド:1" ] || fail "slides --engine impress said '$slides'"
listing=$(unzip -l "$root/work/office.pptx") || fail "office.pptx is not a zip package"
grep -q 'ppt/media/' <<<"$listing" || fail "office.pptx holds no picture"
say "Impress made the slides"

apt_inside purge tamarind2 tamarind2-impress
files_now >"$work/files-after"
left=$(comm -13 "$work/files-before" "$work/files-after" | grep -i tamarind || true)
[ -z "$left" ] || fail "left behind after purge: $left"
kept=$(cd "$root/root" && find . -iname '*tamarind*')
[ -z "$kept" ] || say "in root's home, which a purge leaves alone: $kept"
[ -z "$(inside dpkg-query -W 'tamarind2*' 2>/dev/null)" ] || fail "dpkg still knows the packages"
say "passed: $version built, linted, installed, upgraded, run, purged without a trace"
