#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and tests the tree on a fresh Debian 13 (trixie) root, as on a new
# machine with that release: a root made with debootstrap, scripts/setup.sh
# there, the build, the tests that need no LibreOffice, the Debian packages
# built there and installed with apt, and the installed window started on a
# photo under Xvfb. Needs root (debootstrap, chroot, mounts) and the Debian
# archive this machine's apt uses.
#   bash scripts/debian13-test.sh
# DEBIAN13_OFFICE=1 runs the LibreOffice tests there too. DEBIAN13_KEEP=1
# keeps the root (its path is printed) for a look inside. The screen of the
# window check and the logs are left in build-debian13/.
#
# Everything that runs inside the root runs in a mount and process namespace
# of its own: its mounts and processes end with it, however the script ends.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."

say() { printf 'debian13: %s\n' "$*" >&2; }
fail() {
  say "FAILED: $*"
  exit 1
}

# ------------------------------------------------------- inside the namespace
if [ "${1:-}" = --in-namespace ]; then
  root=$2
  logs=$3
  started=$4
  elapsed() { echo "$(($(date +%s) - started)) s"; }
  # Private mounts: they vanish with the namespace, and the trap takes them
  # down before that on any ordinary way out.
  mounts=()
  unmount() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  }
  trap unmount EXIT
  mount -t proc proc "$root/proc" && mounts+=("$root/proc")
  mount -t sysfs sysfs "$root/sys" && mounts+=("$root/sys")
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm" && mounts+=("$root/dev/shm")
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts" && mounts+=("$root/dev/pts")

  inside() {
    chroot "$root" env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 HOME=/root \
      TERM=dumb CI="${CI:-}" DEBIAN_FRONTEND=noninteractive "$@"
  }
  # Runs a step inside the root with its output in a log of its own; on
  # failure the end of the log is shown.
  step() {
    local name=$1
    shift
    say "$name"
    if ! inside "$@" >"$logs/$name.log" 2>&1; then
      tail -n 60 "$logs/$name.log" >&2
      fail "$name (log: $logs/$name.log, after $(elapsed))"
    fi
    say "$name done after $(elapsed)"
  }
  jobs=$(nproc)

  step setup bash /src/tamarind2/scripts/setup.sh
  step build bash -c "cmake -S /src/tamarind2 -B /src/tamarind2/build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAM_BUILD_BENCH=OFF &&
    cmake --build /src/tamarind2/build -j$jobs"
  step tests env QT_QPA_PLATFORM=offscreen ctest --test-dir /src/tamarind2/build --output-on-failure \
    -j"$jobs" --timeout 300 -LE LibreOffice
  if [ "${DEBIAN13_OFFICE:-0}" = 1 ]; then
    step office-tests env QT_QPA_PLATFORM=offscreen ctest --test-dir /src/tamarind2/build --output-on-failure \
      -j"$jobs" --timeout 300 -L LibreOffice --repeat until-pass:2
  fi
  step package bash -c 'bash /src/tamarind2/scripts/package.sh /src/tamarind2/build \
    "-DTAM_MAINTAINER=$(cat /work/maintainer)" >/work/debs'
  # shellcheck disable=SC2016
  step install bash -c 'xargs -d "\n" apt-get install -y -qq --no-install-recommends </work/debs'

  # The installed window on a screen of its own, with a window manager so
  # that it can be asked to close as a user would close it: it must show the
  # main window, stay up, and end cleanly when closed.
  inside convert -size 1600x1200 gradient:navy-orange -quality 90 /work/photo.jpg
  cat >"$root/work/window.sh" <<'EOF'
set -u
mkdir -p /tmp/run && chmod 700 /tmp/run
export XDG_RUNTIME_DIR=/tmp/run
# The display number Xvfb finds free, then a newline, goes to /work/display.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>/work/display >/work/xvfb.log 2>&1 &
for _ in $(seq 100); do [ "$(tail -c1 /work/display | od -An -tx1)" = " 0a" ] && break; sleep 0.1; done
export DISPLAY=":$(cat /work/display)"
openbox --sm-disable >/work/openbox.log 2>&1 &
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done
tamarind2 /work/photo.jpg >/work/program.log 2>&1 &
app=$!
window=''
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --pid "$app" --name '^Tamarind 2 for PowerPoint$' 2>/dev/null | head -n1)
  [ -n "$window" ] && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
[ -n "$window" ] || { echo "no main window"; cat /work/program.log; exit 1; }
sleep 2
kill -0 "$app" 2>/dev/null || { echo "the program ended on its own"; cat /work/program.log; exit 1; }
import -window root /work/window.png
wmctrl -i -c "$window"
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && { echo "the program is still running 10 s after its window was closed"; exit 1; }
wait "$app"
status=$?
[ "$status" -eq 0 ] || { echo "the program ended with status $status when closed"; cat /work/program.log; exit 1; }
echo "window shown and closed"
EOF
  step window bash /work/window.sh
  cp "$root/work/window.png" "$logs/"
  say "passed after $(elapsed): setup, build, tests$([ "${DEBIAN13_OFFICE:-0}" = 1 ] && echo ', LibreOffice tests'), packages, the installed window"
  exit 0
fi

# ------------------------------------------------------------ the host's part
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot)"
bash scripts/setup.sh
started=$(date +%s)
shared=../shared/testdata
[ -d "$shared" ] || fail "no test data at $shared"

# The archive this machine's apt uses; trixie is read from it too.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n1)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null |
    grep -v security | head -n1)
fi
[ -n "$mirror" ] || fail "no Debian archive in this machine's apt sources"
security=$(sed -n 's/^URIs: *\([^ ]*security[^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
security=${security:-http://deb.debian.org/debian-security}

logs=$PWD/build-debian13
rm -rf "$logs"
mkdir -p "$logs"
root=$(mktemp -d /var/tmp/tamarind2-trixie.XXXXXX)
chmod 755 "$root"  # the root's /, which users other than root must pass (apt's _apt)
inner=''
cleanup() {
  # The namespace's first process takes every other one with it. unshare
  # ignores SIGTERM and SIGINT while it waits, hence SIGKILL, which it hands
  # on to that process (--kill-child).
  if [ -n "$inner" ]; then
    kill -KILL "$inner" 2>/dev/null || true
    wait "$inner" 2>/dev/null || true
  fi
  if [ "${DEBIAN13_KEEP:-0}" = 1 ]; then
    say "the root is kept at $root"
  else
    # No mount of the namespace is seen here, so nothing outside the root
    # can be reached from it.
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

say "debootstrap trixie from $mirror into $root"
debootstrap --variant=minbase trixie "$root" "$mirror" >"$logs/debootstrap.log" 2>&1 ||
  { tail -n 20 "$logs/debootstrap.log" >&2; fail "debootstrap"; }
say "root made after $(($(date +%s) - started)) s"
rm -f "$root/etc/apt/sources.list"
cat >"$root/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: trixie trixie-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: trixie-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
# The root lives for one run: dpkg need not wait for each file to reach the
# disk, and apt needs no translated descriptions.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/no-languages"
# Services that packages would start stay stopped in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
# The tree without its build folders, and the shared test data beside it, as
# the tests expect (../shared/testdata).
mkdir -p "$root/src/tamarind2" "$root/src/shared/testdata" "$root/work"
tar -C . --exclude='./build*' --exclude=./.git --exclude=./.cache -cf - . | tar -C "$root/src/tamarind2" -xf -
# The packages name a maintainer, which the copy, without its history,
# cannot tell: the last commit's author unless TAM_MAINTAINER says.
printf '%s\n' "${TAM_MAINTAINER:-$(git log -1 --format='%an <%ae>' 2>/dev/null || true)}" >"$root/work/maintainer"
cp -a "$shared/." "$root/src/shared/testdata/"

unshare --mount --pid --fork --propagation private --kill-child \
  bash "$self" --in-namespace "$root" "$logs" "$started" &
inner=$!
status=0
wait "$inner" || status=$?
inner=''
exit "$status"
