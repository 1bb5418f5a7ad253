#!/usr/bin/env bash
# dravel.exe used the way a person uses it, under Wine on a virtual display
# (run through with-display), against the Linux device simulator on a COM
# port: confirm the port, choose the file in the Windows file dialog (typing
# its path), send, wait for the result box, check the device's image byte
# for byte, open Help > About and leave by File > Exit. Then: closing the window in the middle of a transfer ends the
# program cleanly and frees the port; Escape and Cancel at start-up end with
# exit code 1 after "The End". Screenshots of each stage go to SHOTS.
#
# usage: gui_blackbox.sh SHOTS_DIR
# Needs (CTest sets them): DRAVEL_WINEPREFIX, DRAVEL_WINE_RUN,
# DRAVEL_HOST_BIN_DIR, DRAVEL_WINDOWS_BIN_DIR, DRAVEL_WINE_DISPLAY.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
shots="${1:?screenshot dir}"
WINEPREFIX_DIR="${DRAVEL_WINEPREFIX:?}"
HOST_BIN="${DRAVEL_HOST_BIN_DIR:?}"
WINE_RUN="${DRAVEL_WINE_RUN:?}"
BIN="${DRAVEL_WINDOWS_BIN_DIR:?}"
export DISPLAY="${DRAVEL_WINE_DISPLAY:?}"
for tool in xdotool import convert cmp truncate; do
  command -v "$tool" >/dev/null || { echo "gui_blackbox: skipped, $tool is missing" >&2; exit 77; }
done
# shellcheck source=tests/wine/device.sh
source "$here/device.sh"

mkdir -p "$shots"
WORK="$(mktemp -d /tmp/dravel-wine-gui.XXXXXX)"
app=""
cleanup() {
  if [ -n "$app" ]; then kill "$app" 2>/dev/null || true; wait "$app" 2>/dev/null || true; fi
  device_cleanup
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

fail() {
  echo "gui_blackbox: FAIL: $*" >&2
  import -window root "$shots/failure.png" 2>/dev/null || true
  for log in "$WORK"/*.err "${DEVICE_DIR:-/nonexistent}"/devsim.err; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}

# shellcheck source=tests/wine/window_steps.sh
source "$here/window_steps.sh"
count_colour() { convert "$1" -fill black +opaque "$2" -fill white -opaque "$2" -format "%[fx:round(mean*w*h)]" info:; }
frames_sent() { grep -c '^frame' "$DEVICE_DIR/events.log" 2>/dev/null || true; }
wait_frames() {  # wait_frames N: until the device has taken N frames (20 s at most)
  for _ in $(seq 200); do
    [ "$(frames_sent)" -ge "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
# dravel.exe with COM$PORT (or APP_PORT1) as its port 1. OK in the port dialog
# keeps the ports' devices under %APPDATA%, which goes to a scratch folder:
# Wine sets its own when a program starts from Linux, so it goes in through
# cmd, which waits for the program and ends with its exit code.
start_app() {  # start_app NAME
  mkdir -p "$WORK/appdata"
  DRAVEL_COM1="${APP_PORT1:-COM$PORT}" "$WINE_RUN" cmd /c "set APPDATA=Z:${WORK//\//\\}\\appdata&& Z:${BIN//\//\\}\\dravel.exe" \
    >"$WORK/$1.out" 2>"$WORK/$1.err" </dev/null &
  app=$!
}
# Port dialog, OK, main window; prints the main window's id. (Run in a
# command substitution: the program is started before, by this shell.)
confirm_port() {
  local dialog main
  dialog="$(wait_window '^Port settings$' 60)" || fail "$1: no port settings dialog"
  sleep 0.5
  [ -n "${2:-}" ] && shot "$2"
  focus_and "$dialog" Return
  main="$(wait_window '^Pelcor 2003  - ver 1\.1 -$')" || fail "$1: no main window after OK"
  sleep 0.8
  echo "$main"
}
# Choose file (Alt+C) and type its Windows path into the dialog's file-name box.
choose_file() {  # choose_file MAIN PATH [SHOT]
  local chooser
  focus_and "$1" alt+c
  chooser="$(wait_window '^Open$')" || fail "no file dialog"
  sleep 0.8
  [ -n "${3:-}" ] && shot "$3"
  xdotool windowactivate --sync "$chooser" 2>/dev/null || true
  # The file-name box has the focus and holds the filter's pattern: replace it.
  xdotool key End shift+Home
  xdotool type --delay 10 "Z:${2//\//\\}"
  sleep 0.3
  xdotool key Return
  gone_window '^Open$' 10 || fail "the file dialog did not take the path"
  sleep 0.5
}

# A file whose last block is short; the device paced like a real line.
firmware="$WORK/firmware.bin"
head -c $((64 * 1024 + 300)) /dev/urandom >"$firmware"
claim_port ""
device_start --baud 115200

# 1. A whole download.
start_app download
main="$(confirm_port download 01-port-dialog.png)"
shot 02-main-window-idle.png
# The form is navy: most of the window.
navy="$(count_colour "$shots/02-main-window-idle.png" 'rgb(0,0,128)')"
[ "$navy" -gt 100000 ] || fail "the form is not navy ($navy navy pixels)"
choose_file "$main" "$firmware" 03-file-dialog.png
shot 04-file-chosen.png
focus_and "$main" alt+s
wait_frames 20 || fail "no transfer under way ($(frames_sent) frames)"
shot 05-transfer-in-progress.png
yellow="$(count_colour "$shots/05-transfer-in-progress.png" 'rgb(255,255,0)')"
[ "$yellow" -gt 100 ] || fail "no yellow texts on the form during the transfer ($yellow pixels)"
box="$(wait_window '^Z/A Vovode$' 60)" || fail "no result box"
sleep 0.5
shot 06-result-box.png
device_wait 30 || fail "the device simulator ended with $?"
padded="$WORK/expected.bin"
cp "$firmware" "$padded"
truncate -s $(((($(stat -c %s "$firmware") + 1023) / 1024) * 1024)) "$padded"
cmp -s "$padded" "$DEVICE_DIR/image.out" || fail "the device's image differs from the padded file"
grep -q '^end seq=.* answer=A' "$DEVICE_DIR/events.log" || fail "the device took no end frame"
focus_and "$box" Return
gone_window '^Z/A Vovode$' || fail "the result box stayed"
# Help > About: a menu command whose historical number is above 32767.
focus_and "$main" alt+h
sleep 0.4
xdotool key a
about="$(wait_window '^About dravel$' 10)" || fail "Help > About showed no about box"
sleep 0.5
shot 07-about.png
focus_and "$about" Return
gone_window '^About dravel$' || fail "the about box stayed"
# File > Exit from the keyboard: a normal end.
focus_and "$main" alt+f
sleep 0.4
xdotool key x
status=0
app_exit 20 || status=$?
[ "$status" -eq 0 ] || fail "File > Exit ended the program with $status"
device_cleanup

# 2. The window closed in the middle of a transfer.
claim_port ""
device_start --baud 115200
start_app close-mid-transfer
main="$(confirm_port close-mid-transfer)"
choose_file "$main" "$firmware"
focus_and "$main" alt+s
wait_frames 10 || fail "no transfer under way before the close ($(frames_sent) frames)"
focus_and "$main" alt+F4
status=0
app_exit 20 || status=$?
[ "$status" -eq 0 ] || fail "closing during a transfer ended the program with $status"
device_stop
# The port is free again: the command line can download through it.
device_start
head -c 3000 /dev/urandom >"$WORK/small.bin"
status=0
"$WINE_RUN" "$BIN/dravel-cli.exe" --port "COM$PORT" --sync-timeout 20 "Z:${WORK//\//\\}\\small.bin" \
  >"$WORK/after-close.out" 2>"$WORK/after-close.err" </dev/null || status=$?
[ "$status" -eq 0 ] || fail "the port was not free after the close (dravel-cli.exe ended with $status)"
device_cleanup

# 3. Escape, and then Cancel, at start-up: "The End", exit code 1, no main window.
claim_port ""
for how in Escape Cancel; do
  start_app "start-$how"
  dialog="$(wait_window '^Port settings$' 60)" || fail "$how: no port settings dialog"
  sleep 0.5
  if [ "$how" = Escape ]; then
    focus_and "$dialog" Escape
  else
    # OK has the focus; Cancel is the next button.
    focus_and "$dialog" Tab
    sleep 0.2
    xdotool key space
  fi
  box="$(wait_window '^Z/A Vovode$')" || fail "$how: no \"The End\" box"
  xdotool search --onlyvisible --name '^Pelcor' >/dev/null 2>&1 && fail "$how: a main window appeared"
  sleep 0.3
  [ "$how" = Escape ] && shot 08-the-end.png
  focus_and "$box" Return
  status=0
  app_exit 20 || status=$?
  [ "$status" -eq 1 ] || fail "$how at start-up ended the program with $status, not 1"
done

# 4. Port 1 behind ser2net's RFC 2217 port: a whole download, then File > Exit.
claim_port ""
device_start --baud 115200
ser2net_start
APP_PORT1="rfc2217://127.0.0.1:$SER2NET_RFC2217" start_app network
main="$(confirm_port network)"
choose_file "$main" "$firmware"
focus_and "$main" alt+s
wait_frames 10 || fail "network: no transfer under way ($(frames_sent) frames)"
shot 09-network-transfer.png
box="$(wait_window '^Z/A Vovode$' 60)" || fail "network: no result box"
device_wait 30 || fail "network: the device simulator ended with $?"
cmp -s "$padded" "$DEVICE_DIR/image.out" || fail "network: the device's image differs from the padded file"
focus_and "$box" Return
gone_window '^Z/A Vovode$' || fail "network: the result box stayed"
focus_and "$main" alt+f
sleep 0.4
xdotool key x
status=0
app_exit 20 || status=$?
[ "$status" -eq 0 ] || fail "network: File > Exit ended the program with $status"
device_cleanup

echo "gui_blackbox: PASS (screenshots in $shots)"
