#!/bin/bash
# The desktop program used the way a person uses it, on a virtual display:
# confirm the port, choose a file in the real file dialog (typing its path),
# press send, wait for the result box, and check what the device simulator
# received. A second start is cancelled at the port dialog and must end with
# exit code 1. Screenshots of each stage go to SHOTS.
#
# With DRAVEL_BLACKBOX_NETWORK=rfc2217 (or socket) the device sits behind
# Debian's ser2net and port 1 is that network port (DRAVEL_COM1=rfc2217://...),
# as for a board in a rack.
#
# usage: blackbox.sh BIN_DIR SHOTS_DIR
set -u
bin="${1:?bin dir}"
shots="${2:?screenshot dir}"
session=blackbox
# shellcheck source=tests/gui/x_session.sh
source "$(dirname "${BASH_SOURCE[0]}")/x_session.sh"
pixel() { convert "$1" -format "%[pixel:p{$2,$3}]" info:; }
count_colour() { convert "$1" -fill black +opaque "$2" -fill white -opaque "$2" -format "%[fx:round(mean*w*h)]" info:; }

# The device, paced like a real line so the transfer takes a few seconds,
# and a file whose last block is short.
firmware="$work/firmware.bin"
head -c $((200 * 1024 + 300)) /dev/urandom >"$firmware"
"$bin/dravel-devsim" --link "$work/COM1" --image "$work/image.bin" --baud 115200 --timeout 120 \
  --log "$work/devsim-events.log" >"$work/devsim.log" 2>"$work/devsim.err" &
devsim=$!
pids+=($devsim)
for _ in $(seq 200); do [ -L "$work/COM1" ] && break; sleep 0.05; done
[ -L "$work/COM1" ] || fail "the device simulator made no link"

port1="$work/COM1"
network="${DRAVEL_BLACKBOX_NETWORK:-}"
if [ -n "$network" ]; then
  command -v ser2net >/dev/null || command -v /usr/sbin/ser2net >/dev/null ||
    { echo "blackbox: skipped, ser2net is missing" >&2; exit 77; }
  tcp_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  accepter="tcp,127.0.0.1,$tcp_port"
  [ "$network" = rfc2217 ] && accepter="telnet(rfc2217),$accepter"
  printf 'connection: &board\n  accepter: %s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: false\n' \
    "$accepter" "$work/COM1" >"$work/ser2net.yaml"
  /usr/sbin/ser2net -n -d -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$work/ser2net.log" 2>"$work/ser2net.err" &
  pids+=($!)
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$tcp_port") 2>/dev/null && break
    sleep 0.05
  done
  sleep 0.2
  port1="$network://127.0.0.1:$tcp_port"
fi

DRAVEL_COM1="$port1" "$bin/dravel" >"$work/dravel.log" 2>"$work/dravel.err" &
app=$!
pids+=($app)

dialog="$(wait_window '^Port settings$')" || fail "no port settings dialog"
sleep 0.5
shot "${network:+$network-}01-port-dialog.png"
focus_and "$dialog" Return

main="$(wait_window '^Pelcor 2003  - ver 1\.1 -$')" || fail "no main window after OK"
sleep 0.8
shot "${network:+$network-}02-main-window-idle.png"
# The form is navy (a point left of the buttons, below the menu).
[ "$(pixel "$shots/${network:+$network-}02-main-window-idle.png" 12 120)" = "srgb(0,0,128)" ] ||
  fail "form background is $(pixel "$shots/${network:+$network-}02-main-window-idle.png" 12 120), not navy"

# Choose file (Alt+C), type the path into the file dialog.
focus_and "$main" alt+c
chooser="$(wait_window '^Open$')" || fail "no file dialog"
sleep 0.5
focus_and "$chooser" ctrl+l
sleep 0.3
xdotool type --delay 5 "$firmware"
sleep 0.3
xdotool key Return
for _ in $(seq 100); do xdotool search --onlyvisible --name '^Open$' >/dev/null 2>&1 || break; sleep 0.1; done
xdotool search --onlyvisible --name '^Open$' >/dev/null 2>&1 && fail "the file dialog did not take the path"
sleep 0.3

# Send (Alt+S), and catch it while the blocks go out.
focus_and "$main" alt+s
for _ in $(seq 200); do
  [ "$(grep -c '^frame' "$work/devsim-events.log" 2>/dev/null)" -ge 40 ] && break
  sleep 0.1
done
[ "$(grep -c '^frame' "$work/devsim-events.log" 2>/dev/null)" -ge 40 ] || fail "no transfer under way"
shot "${network:+$network-}03-transfer-in-progress.png"
[ "$(count_colour "$shots/${network:+$network-}03-transfer-in-progress.png" 'rgb(255,255,0)')" -gt 100 ] ||
  fail "no yellow texts on the form during the transfer"

box="$(wait_window '^Z/A Vovode$' 60)" || fail "no result box"
sleep 0.5
shot "${network:+$network-}04-result-box.png"
wait "$devsim"
devsim_status=$?
[ "$devsim_status" -eq 0 ] || fail "the device simulator ended with $devsim_status"
# The device has the file and the zero padding of its last block.
cp "$firmware" "$work/expected.bin"
truncate -s $(((($(stat -c %s "$firmware") + 1023) / 1024) * 1024)) "$work/expected.bin"
cmp -s "$work/expected.bin" "$work/image.bin" || fail "the device's image differs from the padded file"

focus_and "$box" Return
sleep 0.5
# File > Exit from the keyboard; the program ends normally.
focus_and "$main" alt+f
sleep 0.3
xdotool key x
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "the program did not end after File > Exit"
wait "$app"
app_status=$?
[ "$app_status" -eq 0 ] || fail "the program ended with $app_status after File > Exit"

# Cancel at start-up: "The End", then exit code 1, with no main window.
"$bin/dravel" >"$work/dravel2.log" 2>"$work/dravel2.err" &
app=$!
pids+=($app)
dialog="$(wait_window '^Port settings$')" || fail "no port settings dialog on the second start"
focus_and "$dialog" Escape
box="$(wait_window '^Z/A Vovode$')" || fail "no \"The End\" box after Escape"
xdotool search --onlyvisible --name '^Pelcor' >/dev/null 2>&1 && fail "a main window appeared after Escape"
shot "${network:+$network-}05-the-end.png"
focus_and "$box" Return
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
wait "$app"
app_status=$?
[ "$app_status" -eq 1 ] || fail "cancel at start-up ended with $app_status, not 1"

echo "blackbox: PASS (screenshots in $shots)"
