#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end checks of tamarind2 as a user meets it: on an X server of its own
# with the openbox window manager, driven by keys (xdotool) and by requests
# through the window manager (wmctrl), its windows read back with xprop and
# xwininfo. Every process it starts it stops again by its id.
#
# Usage: e2e.sh PROGRAM CASE
# Exit 77 (skipped) when a tool is missing.
set -euo pipefail
# grep -q may stop reading before the writer is done, and pipefail would then
# count the writer's SIGPIPE as a failure: the checks below read everything.

program=$1
case_name=$2
for tool in Xvfb openbox xdotool wmctrl xprop xwininfo convert; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

# A short, fixed-width folder name: the sweep below needs paths whose pixel
# width it can predict, and a random name would vary it.
work=$(printf '/tmp/t2e.%07d' "$$")
rm -rf "$work"
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
xvfb_pid='' wm_pid='' app_pid=''

# Asks a process of ours to end, and ends it if it has not within 5 s.
stop() {
  kill "$1" 2>/dev/null || return 0
  local i
  for ((i = 0; i < 50; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

finish() {
  local pid
  for pid in $app_pid $wm_pid $xvfb_pid; do stop "$pid"; done
  rm -rf "$work"
}
trap finish EXIT
# A time-out or Ctrl-C ends the case through the same clean-up.
trap 'exit 143' TERM INT HUP

fail() {
  echo "FAIL ($case_name): $*" >&2
  [ -n "${DISPLAY:-}" ] && import -window root "e2e-$case_name.png" 2>/dev/null &&
    echo "screen saved as $PWD/e2e-$case_name.png" >&2
  exit 1
}

# Polls a command until it succeeds; false after the given seconds.
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# Xvfb writes the number of the display it found free, then a newline.
display_ready() { [[ $(tail -c1 "$work/display" 2>/dev/null | od -An -tx1) == *0a* ]]; }

wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep "window id" >/dev/null; }

start_desktop() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  wait_for 20 display_ready || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
  export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
  openbox --sm-disable >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  wait_for 20 wm_ready ||
    fail "openbox did not start: $(cat "$work/openbox.log")"
}

alive() { kill -0 "$app_pid" 2>/dev/null; }

# Visible windows of the program whose title is exactly $1.
windows_named() { xdotool search --all --onlyvisible --pid "$app_pid" --name "^$1\$" 2>/dev/null || true; }
window_named() {
  local deadline=$((SECONDS + ${2:-10})) id
  until id=$(windows_named "$1" | head -n1) && [ -n "$id" ]; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
  echo "$id"
}
gone() { [ -z "$(windows_named "$1")" ]; }
viewable() { xwininfo -id "$1" 2>/dev/null | grep 'Map State: IsViewable' >/dev/null; }
hidden() { ! viewable "$1"; }

start_program() {
  QT_QPA_PLATFORM=xcb "$program" >"$work/program.log" 2>&1 &
  app_pid=$!
  main=$(window_named 'Tamarind 2 for PowerPoint' 20) || fail "no main window"
}

# Chooses a menu item by its keys: the menu's letter, then the item's.
menu() {
  xdotool windowactivate --sync "$main" 2>/dev/null || true
  xdotool key "alt+$1"
  sleep 0.2
  xdotool key "$2"
}

# Processor time (clock ticks) the program has used so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$app_pid/stat"; }

# The program stays alive and idle: a spinning event loop shows as processor
# time that keeps growing while nobody touches the window.
# A program that loops stays busy in every look; one that was only slow to
# settle on a loaded machine is idle by the third.
expect_idle() {
  alive || fail "the program is gone $1"
  sleep 0.3
  local before after look
  for look in 1 2 3; do
    before=$(cpu_ticks) || fail "the program is gone $1"
    sleep 0.5
    after=$(cpu_ticks) || fail "the program is gone $1"
    (((after - before) * 100 / $(getconf CLK_TCK) < 20)) && return 0
  done
  fail "the program keeps the processor busy $1 ($((after - before)) ticks in 0.5 s, three times)"
}

# Appends the pictures of a folder through ファイル > フォルダ選択: the path is
# typed into the dialog and Enter pressed, as a user would.
choose_folder() {
  menu f d
  window_named 'フォルダの選択' >/dev/null || fail "no folder dialog for $1"
  xdotool type --delay 2 "$1"
  xdotool key Return
  wait_for 10 gone 'フォルダの選択' || fail "the folder dialog stays open for $1"
}

clear_list() { menu f c; }

# 設定 > LibreOffice Impress を使う, checked at start when Impress is installed:
# unchecked, the built-in engine serves, and no office is started. Without
# Impress the item is greyed and Escape closes the menu.
use_builtin_engine() {
  menu o i
  sleep 0.2
  xdotool key Escape
}

# count copies of one photo named IMG_0001.JPG, IMG_0002.JPG, ... in $1.
make_photos() {
  local folder=$1 count=$2 source=$3 i
  mkdir -p "$folder"
  for ((i = 1; i <= count; i++)); do cp "$source" "$(printf '%s/IMG_%04d.JPG' "$folder" "$i")"; done
}

small_photo="$work/small.jpg"
big_photo="$work/big.jpg"
make_sources() {
  convert -size 64x48 gradient:orange-navy -quality 90 "$small_photo"
  convert -size 3000x2250 gradient:red-blue -quality 92 "$big_photo"
}

# ---------------------------------------------------------------- the cases

# The list's horizontal range is the widest entry's width plus 20 pixels, so
# entries a little narrower than the list make a horizontal bar that takes
# away height, which may bring a vertical bar, which takes away width... The
# list must settle whatever the widths. Each step lists pictures in a folder
# whose name is wider than the step before by a narrow letter or a digit
# (2 to 6 pixels), across the list's edge with a vertical bar always (8
# pictures), never (2) and only once the horizontal one shows (3). After
# each step the program must be alive and idle.
width_steps() {
  case $1 in
    8) echo i ii 7 7i 7ii 77 ;;
    2) echo 77 77i 77ii 777 777i 777ii ;;
    3) echo ii 7 7ii 77i 777 ;;
  esac
}

case_list_width() {
  make_sources
  start_program
  local count name
  for count in 8 2 3; do
    for name in $(width_steps $count); do
      local folder="$work/c$count/$name"
      make_photos "$folder" "$count" "$small_photo"
      clear_list
      choose_folder "$folder"
      if [ -n "${KEEP_GOING:-}" ]; then
        if (expect_idle "") 2>/dev/null; then echo "ok $folder"; else
          echo "FAULT $folder"
          stop "$app_pid" || true
          start_program
        fi
      else
        expect_idle "after listing $count pictures as $folder/IMG_0001.JPG ..."
      fi
    done
  done
}

# Starts 編集 > 縮小 (s) or 一括処理 (a) on count large photos; sets $photos
# and $progress.
start_reduction_by() {
  photos="$work/photos"
  make_photos "$photos" "$2" "$big_photo"
  choose_folder "$photos"
  menu e "$1"
  progress=$(window_named '処理中...') || fail "no progress window"
}
start_reduction() { start_reduction_by s "$1"; }

reduced_count() { find "$photos" -name '*_x.jpg' | wc -l; }
reduced_all() { [ "$(reduced_count)" -eq "$1" ]; }

# The window manager's close request (the title bar's button, alt+F4) to the
# main window during a run is ignored: every file is reduced and the program
# is still there afterwards.
# Enough photos that the run is still on when both requests have been sent
# (about a second for 30 of them on a quiet machine; the requests may take
# seconds on a loaded one).
case_close_during_run() {
  make_sources
  start_program
  start_reduction 200
  wmctrl -i -c "$main"
  xdotool windowactivate "$main" 2>/dev/null || true
  xdotool key alt+F4
  gone '処理中...' && fail "the run was over before the close requests were sent"
  wait_for 120 gone '処理中...' || fail "the run does not end"
  sleep 1
  alive || fail "the program ended when asked to close during a run ($(reduced_count) of 200 photos reduced)"
  [ "$(reduced_count)" -eq 200 ] || fail "only $(reduced_count) of 200 photos were reduced"
  viewable "$main" || fail "the main window went away"
  expect_idle "after the run"
}

# What the window manager offers for each window: the main window can be
# minimised and closed but not maximised; the progress window shows its
# caption only. It holds the run's only abort control, so it never stays
# away on its own: minimised with the main window (openbox takes a window's
# dialogs with it, whichever of them was minimised), the pair stays away
# while the run goes on and comes back together.
allowed() { xprop -id "$1" _NET_WM_ALLOWED_ACTIONS; }
# Field n (1: flags, 2: functions, 3: decorations) of the Motif hints.
motif() { xprop -id "$1" _MOTIF_WM_HINTS | sed 's/.*= //' | cut -d, -f"$2" | tr -d ' '; }

# The main window's frame in the Motif hints: title, border, menu and
# minimise (decorations 58), moving, minimising and closing (functions 44).
main_frame_asked() { [ "$(motif "$main" 1)" = 0x3 ] && [ "$(motif "$main" 2)" = 0x2c ] && [ "$(motif "$main" 3)" = 0x3a ]; }

case_window_hints() {
  make_sources
  start_program
  allowed "$main" | grep MAXIMIZE >/dev/null && fail "the main window can be maximised: $(allowed "$main")"
  allowed "$main" | grep _NET_WM_ACTION_MINIMIZE >/dev/null || fail "the main window cannot be minimised"
  allowed "$main" | grep _NET_WM_ACTION_CLOSE >/dev/null || fail "the main window cannot be closed"
  main_frame_asked || fail "the main window asks for another frame: $(xprop -id "$main" _MOTIF_WM_HINTS)"
  # 表示 > 常に手前に表示, off and on again: the new flags keep the frame.
  local turn
  for turn in off on; do
    menu v Return
    sleep 0.3
    main_frame_asked ||
      fail "always on top $turn: the main window asks for another frame: $(xprop -id "$main" _MOTIF_WM_HINTS)"
  done

  # Enough photos that the run is still on once the windows have stayed
  # away a while (about 4 s for 400 on a quiet machine).
  start_reduction 400
  allowed "$progress" | grep 'MAXIMIZE\|_NET_WM_ACTION_RESIZE' >/dev/null &&
    fail "the progress window can be maximised or resized: $(allowed "$progress")"
  # Motif functions (flag 1): move 4, minimise 8, maximise 16, close 32;
  # decorations (flag 2): border 2, title 8, menu 16, minimise 32, maximise
  # 64. The progress window asks for a title and a border, no button, and
  # to be moved only. openbox reads from the decorations only whether a
  # window has a frame, and draws its own buttons; other window managers
  # draw these.
  [ "$(xprop -id "$progress" _MOTIF_WM_HINTS | sed 's/.*= //')" = "0x3, 0x4, 0xa, 0x0, 0x0" ] ||
    fail "the progress window asks for another frame: $(xprop -id "$progress" _MOTIF_WM_HINTS)"
  xdotool windowminimize "$main"
  wait_for 5 hidden "$progress" || fail "the progress window stayed up when the main window was minimised"
  sleep 1.5
  hidden "$main" || fail "the minimised main window came back by itself during the run"
  hidden "$progress" || fail "the progress window came back without the main window"
  reduced_all 400 && fail "the run was over before the windows were brought back"
  wmctrl -i -a "$main"
  wait_for 3 viewable "$progress" || fail "the progress window stayed away when the main window came back"
  wait_for 120 gone '処理中...' || fail "the run does not end"
}

# The abort button during a run of many small photos, several a millisecond:
# the click is taken at once, however often the run has news for the window,
# and the run stops within a few files.
case_abort_fast_run() {
  make_sources
  start_program
  photos="$work/photos"
  make_photos "$photos" 3000 "$small_photo"
  choose_folder "$photos"
  menu e s
  progress=$(window_named '処理中...') || fail "no progress window"
  xdotool mousemove --window "$progress" 80 66
  sleep 0.3
  local before
  before=$(reduced_count)
  xdotool click 1
  wait_for 60 gone '処理中...' || fail "the run does not end"
  (($(reduced_count) < before + 100)) ||
    fail "the abort click was taken late: $before photos reduced at the click, $(reduced_count) in the end"
  expect_idle "after the aborted run"
}

# A batch: the progress window belongs to the reduction and is gone before
# the insertion starts, which may take a while with many pictures.
case_progress_gone_before_insertion() {
  make_sources
  start_program
  use_builtin_engine
  start_reduction_by a 40
  wait_for 120 reduced_all 40 || fail "only $(reduced_count) of 40 photos were reduced"
  # The insertion starts within moments of the last file being written.
  sleep 0.3
  alive || fail "the program is gone after the reduction"
  viewable "$progress" && fail "the progress window is still up during the insertion"
  window_named '.* - Tamarind 2' 60 >/dev/null || fail "no presentation window"
  expect_idle "after the batch"
}

presentations() { windows_named '.* - Tamarind 2' | wc -l; }
two_presentations() { [ "$(presentations)" -eq 2 ]; }

# A dialog of a presentation window (its Save As) opened during a batch
# holds up neither the end of the reduction nor the insertion after it: the
# progress window goes and the new presentation opens, the dialog still up.
case_batch_ends_under_dialog() {
  make_sources
  start_program
  use_builtin_engine
  make_photos "$work/few" 2 "$small_photo"
  choose_folder "$work/few"
  menu e p
  local first save
  first=$(window_named '.* - Tamarind 2' 30) || fail "no presentation window"
  start_reduction_by a 60
  xdotool windowactivate --sync "$first" 2>/dev/null || true
  xdotool key alt+f
  sleep 0.2
  xdotool key a
  save=$(window_named '名前を付けて保存') || fail "no Save As dialog"
  reduced_all 60 && fail "the run was over before the dialog opened"
  wait_for 120 reduced_all 60 || fail "only $(reduced_count) of 60 photos were reduced under the dialog"
  wait_for 10 gone '処理中...' || fail "the progress window stays while the dialog is open"
  wait_for 60 two_presentations || fail "the insertion waits for the dialog ($(presentations) presentation windows)"
  viewable "$save" || fail "the dialog went away by itself"
  [ -n "${E2E_SHOTS:-}" ] && import -window root "$E2E_SHOTS/batch_ends_under_dialog.png"
  xdotool windowactivate --sync "$save" 2>/dev/null || true
  xdotool key Escape
  wait_for 10 gone '名前を付けて保存' || fail "the dialog does not close"
  expect_idle "after the batch"
}

# Position of a window in the window manager's stacking order, from the
# bottom; empty when it is not there.
stack_position() {
  xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //' | tr ',' '\n' | tr -d ' ' |
    awk -v id="$(printf '0x%x' "$1")" '$0 == id { print NR }'
}

# Closing the main window asks whether to save the unsaved presentation of
# the built-in engine; the question opens above the always-on-top main
# window, not hidden behind it.
case_prompts_above_main_window() {
  make_sources
  start_program
  use_builtin_engine
  make_photos "$work/few" 2 "$small_photo"
  choose_folder "$work/few"
  menu e p
  window_named '.* - Tamarind 2' 30 >/dev/null || fail "no presentation window"
  wmctrl -i -c "$main"
  local question
  question=$(window_named 'Tamarind 2') || fail "no question about saving"
  local above below
  above=$(stack_position "$question") below=$(stack_position "$main")
  if [ -z "$above" ] || [ -z "$below" ] || ((above < below)); then
    fail "the question ($above) is not above the main window ($below): $(xprop -root _NET_CLIENT_LIST_STACKING)"
  fi
  # Cancelling keeps everything open.
  xdotool windowactivate --sync "$question" 2>/dev/null || true
  xdotool key Escape
  wait_for 5 gone 'Tamarind 2' || fail "the question stays"
  sleep 0.5
  viewable "$main" || fail "the main window closed although the user cancelled"
}

start_desktop
"case_$case_name"
