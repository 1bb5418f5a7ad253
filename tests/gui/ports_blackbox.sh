#!/bin/bash
# The port dialog's device box used from the keyboard alone, on a virtual
# display, with the settings in a scratch folder (XDG_CONFIG_HOME):
#   1. port 2 gets a simulator's path typed in, OK, send: the image arrives;
#   2. the next start reaches it with port 2 chosen and nothing typed;
#   3. dravel-cli --port 2 reaches it through the same store;
#   4. DRAVEL_COM2 wins over the store;
#   5. a damaged store: the defaults, and OK writes a good one (port 1);
#   6. the next start reaches port 1's adapter with Enter alone;
#   7. the device gone before the send: the box, the cause, exit 1.
# Screenshots of each stage go to SHOTS.
#
# usage: ports_blackbox.sh BIN_DIR SHOTS_DIR
set -u
bin="${1:?bin dir}"
shots="${2:?screenshot dir}"
session=ports_blackbox
# shellcheck source=tests/gui/x_session.sh
source "$(dirname "${BASH_SOURCE[0]}")/x_session.sh"
unset DRAVEL_COM1 DRAVEL_COM2 DRAVEL_COM3 DRAVEL_COM4
store="$XDG_CONFIG_HOME/dravel/ports.json"

firmware="$work/firmware.bin"
head -c $((30 * 1024 + 77)) /dev/urandom >"$firmware"
cp "$firmware" "$work/expected.bin"
truncate -s $(((($(stat -c %s "$firmware") + 1023) / 1024) * 1024)) "$work/expected.bin"

device=""
start_device() {  # start_device LINK: a simulator for one transfer behind LINK
  rm -f "$work/image.bin"
  "$bin/dravel-devsim" --link "$1" --image "$work/image.bin" --timeout 90 >"$work/devsim.log" 2>"$work/devsim.err" &
  device=$!
  pids+=($device)
  for _ in $(seq 200); do [ -L "$1" ] && break; sleep 0.05; done
  [ -L "$1" ] || fail "the device simulator made no link at $1"
}
expect_image() {  # expect_image WHAT
  wait "$device"
  local status=$?
  [ "$status" -eq 0 ] || fail "$1: the device simulator ended with $status"
  cmp -s "$work/expected.bin" "$work/image.bin" || fail "$1: the device's image differs from the padded file"
}

app=""
start_app() {  # start_app LOG [VAR=VALUE...]: the program, up to its port dialog
  local log="$1"
  shift
  env "$@" "$bin/dravel" >"$work/$log.log" 2>"$work/$log.err" &
  app=$!
  pids+=($app)
  dialog="$(wait_window '^Port settings$')" || fail "$log: no port settings dialog"
  sleep 0.5
}
# From OK, where the focus starts: Tab to Cancel, Tab to the port buttons,
# an arrow to port 2.
choose_port_2() { focus_and "$dialog" Tab Tab Right; sleep 0.3; }
send_file() {  # in the main window: choose the file, send, wait for the result box
  main="$(wait_window '^Pelcor 2003  - ver 1\.1 -$')" || fail "no main window after OK"
  sleep 0.5
  focus_and "$main" alt+c
  chooser="$(wait_window '^Open$')" || fail "no file dialog"
  sleep 0.5
  focus_and "$chooser" ctrl+l
  sleep 0.3
  xdotool type --delay 5 "$firmware"
  sleep 0.3
  xdotool key Return
  for _ in $(seq 100); do xdotool search --onlyvisible --name '^Open$' >/dev/null 2>&1 || break; sleep 0.1; done
  sleep 0.3
  focus_and "$main" alt+s
  box="$(wait_window '^Z/A Vovode$' 60)" || { shot 19-no-result-box.png; fail "no result box"; }
  sleep 0.3
}
end_app() {  # closes the result box, File > Exit; expects exit 0
  focus_and "$box" Return
  sleep 0.4
  focus_and "$main" alt+f
  sleep 0.3
  xdotool key x
  for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  wait "$app"
  local status=$?
  [ "$status" -eq 0 ] || fail "the program ended with $status after File > Exit"
}

# 1. Port 2 bound to the simulator by typing its path.
start_device "$work/adapter"
start_app first
choose_port_2
focus_and "$dialog" alt+d ctrl+a
xdotool type --delay 5 "$work/adapter"
sleep 0.5
shot 11-device-typed.png
xdotool key Return
send_file
shot 12-sent-to-typed-device.png
expect_image "typed device"
end_app
grep -q "\"2\": \"$work/adapter\"" "$store" || fail "the store does not hold port 2: $(cat "$store" 2>&1)"

# 2. The next start: port 2 is still the simulator, nothing typed.
start_device "$work/adapter"
start_app second
choose_port_2
shot 13-next-start.png
focus_and "$dialog" Return
send_file
expect_image "remembered device"
end_app

# 3. The command line's port 2 is the same device.
start_device "$work/adapter"
DRAVEL_TIMER_SCALE=0.1 "$bin/dravel-cli" --port 2 "$firmware" >"$work/cli.log" 2>"$work/cli.err" ||
  fail "dravel-cli --port 2 ended with $?"
expect_image "dravel-cli --port 2"

# 4. DRAVEL_COM2 wins over the store, and the dialog says so.
start_device "$work/override"
start_app override DRAVEL_COM2="$work/override"
choose_port_2
shot 14-fixed-by-environment.png
focus_and "$dialog" Return
send_file
expect_image "DRAVEL_COM2"
end_app
grep -q "\"2\": \"$work/adapter\"" "$store" || fail "the variable's device went into the store: $(cat "$store")"

# 5. A damaged store: the defaults, a note, and OK writes a good one. This
#    time the adapter goes on port 1, where the dialog opens.
printf '{"ports": {"2": ' >"$store"
start_device "$work/adapter2"
start_app damaged
focus_and "$dialog" alt+d ctrl+a
xdotool type --delay 5 "$work/adapter2"
sleep 0.3
xdotool key Return
send_file
expect_image "after a damaged store"
end_app
grep -q "ignored" "$work/damaged.err" || fail "no note about the damaged store"
grep -q "\"1\": \"$work/adapter2\"" "$store" || fail "OK did not replace the damaged store: $(cat "$store")"

# 6. The next start reaches it with Enter alone.
start_device "$work/adapter2"
start_app enter
focus_and "$dialog" Return
send_file
expect_image "Enter alone"
end_app

# 7. The device goes away between the dialog and the send.
start_device "$work/adapter2"
start_app gone
focus_and "$dialog" Return
main="$(wait_window '^Pelcor 2003  - ver 1\.1 -$')" || fail "no main window after OK"
kill "$device"
wait "$device" 2>/dev/null
rm -f "$work/adapter2"
sleep 0.3
send_file
shot 15-device-gone.png
grep -q "adapter2" "$work/gone.err" || fail "the cause does not name the device"
focus_and "$box" Return
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
wait "$app"
status=$?
[ "$status" -eq 1 ] || fail "a device that is gone ended the program with $status, not 1"

echo "ports_blackbox: PASS (screenshots in $shots)"
