#!/usr/bin/env bash
# The port dialog's device box in dravel.exe, under Wine on a virtual display
# (run through with-display), from the keyboard alone: an adapter on a COM
# port above 4 (Wine's registry maps it to the device simulator's
# pseudo-terminal) typed in for port 2, OK, send: the device gets the image;
# the next start reaches it with nothing typed; dravel-cli.exe --port 2 too;
# DRAVEL_COM2 wins over the store; a damaged store leaves the defaults and
# OK writes a good one; the device gone before the send ends the program
# with the box and exit 1. The settings live in a scratch folder: %APPDATA%
# is set for each program (Wine sets its own when a program starts from
# Linux, so the variable goes in through cmd, whose children keep it).
#
# usage: gui_ports_blackbox.sh SHOTS_DIR
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
for tool in xdotool import cmp truncate; do
  command -v "$tool" >/dev/null || { echo "gui_ports_blackbox: skipped, $tool is missing" >&2; exit 77; }
done
# shellcheck source=tests/wine/device.sh
source "$here/device.sh"
unset DRAVEL_COM1 DRAVEL_COM2 DRAVEL_COM3 DRAVEL_COM4

mkdir -p "$shots"
WORK="$(mktemp -d /tmp/dravel-wine-ports.XXXXXX)"
app=""
cleanup() {
  if [ -n "$app" ]; then kill "$app" 2>/dev/null || true; wait "$app" 2>/dev/null || true; fi
  device_cleanup
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

fail() {
  echo "gui_ports_blackbox: FAIL: $*" >&2
  import -window root "$shots/ports-failure.png" 2>/dev/null || true
  for log in "$WORK"/*.err "${DEVICE_DIR:-/nonexistent}"/devsim.err; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  [ -f "$store" ] && { echo "--- store" >&2; cat "$store" >&2; }
  exit 1
}

winpath() { local p="${1//\//\\}"; echo "Z:$p"; }
settings="$WORK/appdata"
mkdir -p "$settings"
store="$settings/dravel/ports.json"

# shellcheck source=tests/wine/window_steps.sh
source "$here/window_steps.sh"
# with_settings EXE ARGS...: the Windows program with %APPDATA% in the
# scratch folder (cmd waits for it and ends with its exit code).
with_settings() {
  local command="set APPDATA=$(winpath "$settings")&& $(winpath "$1")"
  shift
  local arg
  for arg in "$@"; do command+=" $arg"; done
  "$WINE_RUN" cmd /c "$command"
}
start_app() {  # start_app NAME [VAR=VALUE...]: dravel.exe, up to its port dialog
  local name="$1"
  shift
  (
    for assignment in "$@"; do export "${assignment?}"; done
    with_settings "$BIN/dravel.exe"
  ) >"$WORK/$name.out" 2>"$WORK/$name.err" </dev/null &
  app=$!
  dialog="$(wait_window '^Port settings$' 60)" || fail "$name: no port settings dialog"
  sleep 0.6
}
# OK has the focus: Tab to Cancel, Tab to the port buttons, Right to port 2
# (on Windows the arrows move the focus only), Space to select it.
choose_port_2() { focus_and "$dialog" Tab Tab Right space; sleep 0.3; }
type_device() {  # type_device TEXT: Alt+D, the text over what the box holds
  focus_and "$dialog" alt+d
  sleep 0.2
  xdotool key End shift+Home
  xdotool type --delay 10 "$1"
  sleep 0.4
}
confirm() {  # OK (Enter), then the main window's id in $main
  focus_and "$dialog" Return
  main="$(wait_window '^Pelcor 2003  - ver 1\.1 -$')" || fail "no main window after OK"
  sleep 0.8
}
send_file() {  # choose the file in the Windows file dialog, send, wait for the box
  local chooser
  focus_and "$main" alt+c
  chooser="$(wait_window '^Open$')" || fail "no file dialog"
  sleep 0.8
  xdotool windowactivate --sync "$chooser" 2>/dev/null || true
  xdotool key End shift+Home
  xdotool type --delay 10 "$(winpath "$firmware")"
  sleep 0.3
  xdotool key Return
  gone_window '^Open$' 10 || fail "the file dialog did not take the path"
  sleep 0.5
  focus_and "$main" alt+s
  box="$(wait_window '^Z/A Vovode$' 60)" || fail "no result box"
  sleep 0.5
}
finish() {  # close the result box, File > Exit, exit 0
  focus_and "$box" Return
  gone_window '^Z/A Vovode$' || fail "the result box stayed"
  focus_and "$main" alt+f
  sleep 0.4
  xdotool key x
  local status=0
  app_exit 20 || status=$?
  [ "$status" -eq 0 ] || fail "File > Exit ended the program with $status"
}
expect_image() {  # expect_image WHAT
  local status=0
  device_wait 30 || status=$?
  [ "$status" -eq 0 ] || fail "$1: the device simulator ended with $status"
  cmp -s "$padded" "$DEVICE_DIR/image.out" || fail "$1: the device's image differs from the padded file"
}

firmware="$WORK/firmware.bin"
head -c $((20 * 1024 + 99)) /dev/urandom >"$firmware"
padded="$WORK/expected.bin"
cp "$firmware" "$padded"
truncate -s $(((($(stat -c %s "$firmware") + 1023) / 1024) * 1024)) "$padded"

# The adapter: a COM port above 4, as Windows numbers a USB adapter.
claim_port ""
adapter="COM$PORT"

# 1. Typed in for port 2.
device_start
start_app first
choose_port_2
type_device "$adapter"
shot 21-wine-device-typed.png
confirm
send_file
shot 22-wine-sent-to-typed-device.png
expect_image "typed device"
finish
grep -q "\"2\": \"$adapter\"" "$store" || fail "the store does not hold port 2"

# 2. The next start: port 2 and Enter.
device_start
start_app second
choose_port_2
shot 23-wine-next-start.png
confirm
send_file
expect_image "remembered device"
finish

# 3. dravel-cli.exe's port 2 is the same adapter.
device_start
status=0
with_settings "$BIN/dravel-cli.exe" --port 2 --sync-timeout 20 "$(winpath "$firmware")" \
  >"$WORK/cli.out" 2>"$WORK/cli.err" </dev/null || status=$?
[ "$status" -eq 0 ] || fail "dravel-cli.exe --port 2 ended with $status"
expect_image "dravel-cli.exe --port 2"

# 4. DRAVEL_COM2 wins over the store: port 2 is a COM port with nothing
#    behind it, so the send ends with the open error box and exit 1.
start_app override DRAVEL_COM2=COM40
choose_port_2
shot 24-wine-fixed-by-environment.png
confirm
send_file
shot 25-wine-open-error.png
focus_and "$box" Return
status=0
app_exit 20 || status=$?
[ "$status" -eq 1 ] || fail "a variable's missing port ended the program with $status, not 1"
grep -q "\"2\": \"$adapter\"" "$store" || fail "the variable's device went into the store"

# 5. A damaged store: the defaults, the trace says so, OK writes a good one.
printf '{"ports": {"2": ' >"$store"
status=0
with_settings "$BIN/dravel-cli.exe" --port 2 --kind 5 --sync-timeout 1 --trace "$(winpath "$WORK/damaged.log")" \
  >"$WORK/damaged-cli.out" 2>"$WORK/damaged-cli.err" </dev/null || status=$?
grep -q "ignored, it is not JSON" "$WORK/damaged.log" || fail "no note about the damaged store in the trace"
device_start
start_app damaged
choose_port_2
type_device "$adapter"
confirm
send_file
expect_image "after a damaged store"
finish
grep -q "\"2\": \"$adapter\"" "$store" || fail "OK did not replace the damaged store"

# 6. The adapter pulled out between the dialog and the send.
device_start
start_app gone
choose_port_2
confirm
device_cleanup
sleep 0.3
send_file
shot 26-wine-device-gone.png
focus_and "$box" Return
status=0
app_exit 20 || status=$?
[ "$status" -eq 1 ] || fail "a device that is gone ended the program with $status, not 1"

echo "gui_ports_blackbox: PASS (screenshots in $shots)"
