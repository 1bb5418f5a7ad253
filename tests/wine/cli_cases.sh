#!/usr/bin/env bash
# dravel-cli.exe under Wine against the Linux device simulator, one case per
# run: cli_cases.sh CASE. Where a case can be run by the Linux build too, both
# run it against fresh simulators and must print the same texts on standard
# output, exit with the same code and leave the same image on the device.
#
# Needs (CTest sets them): DRAVEL_WINEPREFIX, DRAVEL_WINE_RUN,
# DRAVEL_HOST_BIN_DIR, DRAVEL_WINDOWS_BIN_DIR.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WINEPREFIX_DIR="${DRAVEL_WINEPREFIX:?}"
HOST_BIN="${DRAVEL_HOST_BIN_DIR:?}"
WINE_RUN="${DRAVEL_WINE_RUN:?}"
CLI_EXE="${DRAVEL_WINDOWS_BIN_DIR:?}/dravel-cli.exe"
export DRAVEL_WINEPREFIX="$WINEPREFIX_DIR"
# shellcheck source=tests/wine/device.sh
source "$here/device.sh"

WORK="$(mktemp -d /tmp/dravel-wine-cli.XXXXXX)"
trap 'device_cleanup; rm -rf "$WORK"' EXIT
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() { # what expected actual
  if [ "$2" != "$3" ]; then fail "$1: expected [$2], got [$3]"; fi
}
expect_contains() { # what haystack needle
  case "$2" in *"$3"*) ;; *) fail "$1: [$3] not in [$2]" ;; esac
}

# A file of n pattern bytes.
make_image() { head -c "$2" /dev/urandom > "$1"; }

# The device image a kind-2 or kind-4 transfer leaves: the file padded with
# zero bytes to whole blocks of 1024.
padded() {
  local size
  size=$(stat -c %s "$1")
  cp "$1" "$2"
  truncate -s $(( (size + 1023) / 1024 * 1024 )) "$2"
}

# run_windows NAME ARGS...: dravel-cli.exe with the simulator as COM1 (through
# DRAVEL_COM1), output in $WORK/NAME.out/.err, status in RC, CPU seconds in CPU,
# peak memory of the Wine process in PEAK_KIB, whole seconds in WALL.
run_windows() {
  local name="$1"; shift
  RC=0
  DRAVEL_COM1="${COM1_AS:-COM$PORT}" DRAVEL_TIMER_SCALE="${SCALE:-0.25}" \
    /usr/bin/time -f "%U %S %M %e" -o "$WORK/$name.time" \
    "$WINE_RUN" "$CLI_EXE" "$@" > "$WORK/$name.out" 2> "$WORK/$name.err" < /dev/null || RC=$?
  # time's last line: a failed run has "Command exited with ..." above it.
  local times
  times=$(tail -n 1 "$WORK/$name.time" 2>/dev/null || echo "0 0 0 0")
  CPU=$(awk '{print $1 + $2}' <<< "$times")
  PEAK_KIB=$(awk '{print $3}' <<< "$times")
  WALL=$(awk '{print int($4)}' <<< "$times")
  # Wine ends lines as the program wrote them; the program writes LF.
  if grep -q $'\r' "$WORK/$name.out"; then fail "$name: carriage returns on standard output"; fi
}

# run_linux NAME ARGS...: the Linux dravel-cli on the simulator's link.
run_linux() {
  local name="$1"; shift
  RC=0
  DRAVEL_COM1="$DEVICE_DIR/link" DRAVEL_TIMER_SCALE="${SCALE:-0.25}" \
    "$HOST_BIN/dravel-cli" "$@" > "$WORK/$name.out" 2> "$WORK/$name.err" < /dev/null || RC=$?
}

# After a run: a device that got its end frame ends by itself; one that did
# not (kinds 5 and 6 send none, an aborted transfer ends without one) is
# stopped once a run's last frame has had time to arrive.
device_settle() {
  device_wait 2 || true
  device_stop
}

# same_as_linux NAME "DEVSIM OPTIONS" CLI ARGS...: the case on both builds.
# Leaves the Windows run's results in $WORK/NAME-win.*, WIN_RC, WIN_IMAGE.
same_as_linux() {
  local name="$1" devsim_options="$2"; shift 2
  # shellcheck disable=SC2086
  device_start --idle-gap-ms 5 $devsim_options
  run_linux "$name-linux" "$@"
  local linux_rc=$RC
  device_settle
  cp "$DEVICE_DIR/image.out" "$WORK/$name-linux.image" 2>/dev/null || true
  device_cleanup
  # shellcheck disable=SC2086
  device_start --idle-gap-ms 5 $devsim_options
  run_windows "$name-win" "$@"
  WIN_RC=$RC
  device_settle
  WIN_IMAGE="$WORK/$name-win.image"
  cp "$DEVICE_DIR/image.out" "$WIN_IMAGE" 2>/dev/null || true
  expect_eq "$name: exit code as on Linux" "$linux_rc" "$WIN_RC"
  if ! diff -u "$WORK/$name-linux.out" "$WORK/$name-win.out" >&2; then fail "$name: standard output differs from Linux"; fi
  if [ -f "$WORK/$name-linux.image" ] || [ -f "$WIN_IMAGE" ]; then
    cmp -s "$WORK/$name-linux.image" "$WIN_IMAGE" || fail "$name: the device holds another image than on Linux"
  fi
  device_cleanup
}

case_completed() {
  claim_port
  make_image "$WORK/fw.bin" 2500
  device_start --idle-gap-ms 5
  run_windows completed --port 1 --kind 2 "$WORK/fw.bin"
  expect_eq "exit code" 0 "$RC"
  expect_eq "standard output" "$(printf '%s\n' "Transmitting .... " "Sync Dectected ..." "Trnasmited Count 1" \
    "Trnasmited Count 2" "Trnasmited Count 3" "Transfer Completed ")" "$(cat "$WORK/completed.out")"
  if grep -q $'\r' "$WORK/completed.err"; then fail "a progress bar on a pipe"; fi
  device_wait 10 || fail "the simulator exited with $?"
  padded "$WORK/fw.bin" "$WORK/expected.bin"
  cmp "$WORK/expected.bin" "$DEVICE_DIR/image.out" || fail "the device's image differs from the padded file"
  expect_contains "the device's log" "$(cat "$DEVICE_DIR/events.log")" "end"
}

case_kinds() {
  claim_port
  make_image "$WORK/fw.bin" 3000
  printf 'line one1\r\nsecond line2\r\n\r\nthird3\r\n' > "$WORK/lines.txt"
  same_as_linux kind1 "" --kind 1 "$WORK/lines.txt"
  same_as_linux kind2 "" --kind 2 "$WORK/fw.bin"
  expect_eq "kind 2 completes" 0 "$WIN_RC"
  padded "$WORK/fw.bin" "$WORK/expected.bin"
  cmp -s "$WORK/expected.bin" "$WIN_IMAGE" || fail "kind 2: the device's image differs from the padded file"
  same_as_linux kind3 "" --kind 3 "$WORK/fw.bin"
  cmp -s "$WORK/fw.bin" "$WIN_IMAGE" || fail "kind 3: the device's image differs from the file"
  same_as_linux kind4 "" --kind 4 "$WORK/fw.bin"
  same_as_linux kind5 "" --kind 5
  same_as_linux kind6 "" --kind 6
}

case_refusal() {
  claim_port
  make_image "$WORK/fw.bin" 5000
  same_as_linux refusal "--refuse 2 --refuse 4:2" "$WORK/fw.bin"
  expect_eq "exit code" 0 "$WIN_RC"
  expect_contains "standard output" "$(cat "$WORK/refusal-win.out")" "NAK  Data = 1"
}

case_abort() {
  claim_port
  make_image "$WORK/fw.bin" 3000
  same_as_linux abort "--abort-at 2" "$WORK/fw.bin"
  expect_eq "exit code" 3 "$WIN_RC"
  expect_eq "last line" "Transfer Error !! " "$(tail -n 1 "$WORK/abort-win.out")"
}

case_silent() {
  claim_port
  make_image "$WORK/fw.bin" 1000
  device_start --idle-gap-ms 5 --silent-probes 4
  local started ended
  started=$(date +%s%N)
  SCALE=0.2 run_windows silent "$WORK/fw.bin"
  ended=$(date +%s%N)
  expect_eq "exit code" 0 "$RC"
  expect_eq "standard output" "$(printf '%s\n' "Transmitting .... " "No Answer 1" "No Answer 2" "No Answer 3" \
    "No Answer 4" "Sync Dectected ..." "Trnasmited Count 1" "Transfer Completed ")" "$(cat "$WORK/silent.out")"
  # One probe a second, scaled by 0.2: four unanswered ones take 0.8 s.
  local elapsed_ms=$(( (ended - started) / 1000000 ))
  [ "$elapsed_ms" -ge 800 ] || fail "four silent probes in $elapsed_ms ms: they are not paced"
  device_wait 10 || fail "the simulator exited with $?"
}

case_hangup() {
  claim_port
  make_image "$WORK/fw.bin" 8192
  device_start --idle-gap-ms 5 --hangup-after 2
  local started ended
  started=$(date +%s%N)
  run_windows hangup "$WORK/fw.bin"
  ended=$(date +%s%N)
  expect_eq "exit code" 3 "$RC"
  expect_eq "last line" "Transfer Error !! " "$(tail -n 1 "$WORK/hangup.out")"
  expect_contains "the cause on standard error" "$(cat "$WORK/hangup.err")" "COM$PORT"
  local elapsed_ms=$(( (ended - started) / 1000000 ))
  [ "$elapsed_ms" -lt 10000 ] || fail "the transfer took $elapsed_ms ms to notice the hang-up"
  # A reader spinning on the dead line would burn a core for the rest of the run.
  awk -v cpu="$CPU" 'BEGIN { exit !(cpu < 1.5) }' || fail "dravel-cli.exe used $CPU s of processor time"
  device_wait 10 || expect_eq "the simulator hung up as asked" 4 "$?"
}

case_missing-file() {
  claim_port
  device_start --idle-gap-ms 5
  run_windows missing "$WORK/missing.bin"
  expect_eq "exit code" 3 "$RC"
  expect_eq "last line" "$WORK/missing.bin Open Failed" "$(tail -n 1 "$WORK/missing.out")"
  expect_contains "the cause on standard error" "$(cat "$WORK/missing.err")" "$WORK/missing.bin"
  mkdir "$WORK/folder"
  device_cleanup
  device_start --idle-gap-ms 5
  run_windows folder "$WORK/folder"
  expect_eq "exit code for a folder" 3 "$RC"
  expect_eq "last line for a folder" "$WORK/folder Open Failed" "$(tail -n 1 "$WORK/folder.out")"
}

case_missing-port() {
  claim_port  # held, and its link removed: a COM port mapped to nothing there
  rm -f "$(ports_dir)/com$PORT"
  make_image "$WORK/fw.bin" 100
  run_windows missing-port "$WORK/fw.bin"
  expect_eq "exit code" 1 "$RC"
  expect_eq "standard output" "$(printf '%s\n' "Transmitting .... " "CommPort Open Error")" "$(cat "$WORK/missing-port.out")"
  expect_contains "the cause names the port" "$(cat "$WORK/missing-port.err")" "COM$PORT"
  expect_contains "the cause is the system's" "$(cat "$WORK/missing-port.err")" "(error "
  # A COM port that Wine maps to nothing at all.
  COM1_AS=COM40 run_windows unmapped "$WORK/fw.bin"
  expect_eq "exit code for COM40" 1 "$RC"
  expect_contains "the cause for COM40" "$(cat "$WORK/unmapped.err")" "COM40"
}

case_port-above-nine() {
  claim_port 12
  make_image "$WORK/fw.bin" 2048
  device_start --idle-gap-ms 5
  run_windows above-nine "$WORK/fw.bin"
  expect_eq "COM12 (opened as \\\\.\\COM12) completes" 0 "$RC"
  device_wait 10 || fail "the simulator exited with $?"
  cmp -s "$WORK/fw.bin" "$DEVICE_DIR/image.out" || fail "the device's image differs from the file"
}

case_list-ports() {
  claim_port
  device_start --idle-gap-ms 5
  RC=0
  DRAVEL_COM2="COM$PORT" DRAVEL_COM3=COM40 "$WINE_RUN" "$CLI_EXE" --list-ports > "$WORK/list.out" 2> "$WORK/list.err" || RC=$?
  expect_eq "exit code" 0 "$RC"
  local port2 port3
  port2="$(sed -n 2p "$WORK/list.out")"
  port3="$(sed -n 3p "$WORK/list.out")"
  expect_contains "port 2" "$port2" "COM$PORT"
  expect_contains "port 2" "$port2" "free"
  expect_contains "port 3" "$port3" "COM40"
  expect_contains "port 3" "$port3" "missing"
  # The ports Wine's registry knows that have a device behind them; those
  # mapped to nothing are left out.
  expect_contains "the system's ports" "$(sed -n '/^Serial devices/,$p' "$WORK/list.out")" "COM$PORT "
  expect_contains "the system's ports" "$(cat "$WORK/list.out")" "\\Device\\Serial"
  if sed -n '/^Serial devices/,$p' "$WORK/list.out" | grep -q "missing"; then fail "a port without a device is listed"; fi
}

case_usage() {
  local args
  for args in "" "--port 5 f" "--kind 0 f" "--bogus f" "a b"; do
    RC=0
    # shellcheck disable=SC2086
    "$WINE_RUN" "$CLI_EXE" $args > "$WORK/usage.out" 2> "$WORK/usage.err" < /dev/null || RC=$?
    expect_eq "exit code for [$args]" 2 "$RC"
    expect_eq "standard output for [$args]" "" "$(cat "$WORK/usage.out")"
    expect_contains "usage for [$args]" "$(cat "$WORK/usage.err")" "usage:"
  done
}

# Ctrl+C: Wine turns SIGINT into the console's CTRL_C_EVENT, on a thread of
# its own, as Windows does for a key press in the console.
case_interrupt() {
  claim_port
  make_image "$WORK/fw.bin" 65536
  device_start --idle-gap-ms 5 --baud 9600
  DRAVEL_COM1="COM$PORT" DRAVEL_TIMER_SCALE=0.25 DRAVEL_WINE_MODEM_LOG="$WORK/modem.log" \
    "$WINE_RUN" "$CLI_EXE" "$WORK/fw.bin" > "$WORK/int.out" 2> "$WORK/int.err" < /dev/null &
  local cli=$!
  # Interrupted in the middle of the transfer: once the first block has gone
  # (Wine's start alone may take seconds on a busy machine).
  local waited=0
  while ! grep -q "Trnasmited Count 1" "$WORK/int.out" 2>/dev/null && [ "$waited" -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -INT "$cli"
  local started rc=0
  started=$(date +%s%N)
  wait "$cli" || rc=$?
  local elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
  expect_eq "exit code" 130 "$rc"
  [ "$elapsed_ms" -lt 3000 ] || fail "the interrupted transfer took $elapsed_ms ms to end"
  expect_contains "standard error" "$(cat "$WORK/int.err")" "port is closed"
  expect_contains "standard output" "$(cat "$WORK/int.out")" "Trnasmited Count 1"
  expect_eq "DTR at the end" "DTR=0" "$(tail -n 1 "$WORK/modem.log" | grep -o 'DTR=[01]')"
  # The port is free again at once, and the device saw no end frame.
  RC=0
  DRAVEL_COM1="COM$PORT" "$WINE_RUN" "$CLI_EXE" --list-ports > "$WORK/again.out" 2>&1 || RC=$?
  expect_contains "port 1 afterwards" "$(head -n 1 "$WORK/again.out")" "free"
  device_stop
  if grep -q '^end' "$DEVICE_DIR/events.log"; then fail "the device got an end frame"; fi
}

case_production() {
  claim_port
  make_image "$WORK/fw.bin" 5000
  # A silent device and a bound on the wait: exit 4, the cause on standard error.
  device_start --idle-gap-ms 5 --silent-probes 1000
  run_windows no-answer --sync-timeout 1 "$WORK/fw.bin"
  expect_eq "exit code after --sync-timeout" 4 "$RC"
  expect_contains "the cause" "$(cat "$WORK/no-answer.err")" "no answer from the device"
  device_cleanup
  # A frame refused more often than allowed: as on Linux, a transfer error.
  same_as_linux resends "--refuse 2:5" --max-resends 1 "$WORK/fw.bin"
  expect_eq "exit code after --max-resends" 3 "$WIN_RC"
  # Quiet, with a trace and a report.
  device_start --idle-gap-ms 5 --refuse 2
  run_windows quiet --quiet --trace "$WORK/trace.log" --report "$WORK/report.jsonl" "$WORK/fw.bin"
  expect_eq "exit code" 0 "$RC"
  expect_eq "quiet output" "Transfer Completed " "$(cat "$WORK/quiet.out")"
  expect_contains "the trace" "$(cat "$WORK/trace.log")" "answer 55 4E 0A -> NAK"
  expect_contains "the trace" "$(cat "$WORK/trace.log")" "frame seq=05 cmd=39 '9'"
  local sum
  sum=$(sha256sum "$WORK/fw.bin" | cut -c1-64)
  python3 - "$WORK/report.jsonl" "$sum" <<'PY' || fail "the report: see above"
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 1, lines
record = json.loads(lines[0])
assert record["sha256"] == sys.argv[2], record
assert record["size"] == 5000 and record["resends"] == 1 and record["exit_code"] == 0, record
assert record["outcome"] == "Transfer Completed ", record
PY
  device_wait 10 || fail "the simulator exited with $?"
}

case_gang() {
  make_image "$WORK/fw.bin" 4000
  padded "$WORK/fw.bin" "$WORK/expected.bin"
  claim_port; local first=$PORT; device_start --idle-gap-ms 5; local first_dir=$DEVICE_DIR first_pid=$DEVICE_PID
  claim_port; local second=$PORT; device_start --idle-gap-ms 5 --refuse 2
  run_windows gang -p "COM$first" -p "COM$second" --report "$WORK/gang.jsonl" "$WORK/fw.bin"
  expect_eq "exit code" 0 "$RC"
  expect_contains "the table" "$(cat "$WORK/gang.out")" "port "
  expect_eq "completed rows" 2 "$(grep -c '^COM[0-9]* .*Transfer Completed' "$WORK/gang.out")"
  expect_eq "report objects" 2 "$(wc -l < "$WORK/gang.jsonl")"
  device_wait 10 || fail "the second simulator exited with $?"
  cmp -s "$WORK/expected.bin" "$DEVICE_DIR/image.out" || fail "the second device's image differs"
  DEVICE_PID=$first_pid
  device_wait 10 || fail "the first simulator exited with $?"
  cmp -s "$WORK/expected.bin" "$first_dir/image.out" || fail "the first device's image differs"
  rm -rf "$first_dir"
}

# Ports across the network: ser2net's RFC 2217 and raw ports in front of
# the simulator, images of 0xFF bytes included, and a server that is not there.
case_network() {
  claim_port ""
  local url kind
  head -c 5000 /dev/zero | tr '\0' '\377' > "$WORK/ff.bin"
  make_image "$WORK/random.bin" 20000
  for kind in rfc2217 socket; do
    for image in ff random; do
      device_start --idle-gap-ms 5
      ser2net_start
      url="$kind://127.0.0.1:$SER2NET_RFC2217"
      [ "$kind" = socket ] && url="socket://127.0.0.1:$SER2NET_RAW"
      COM1_AS="$url" run_windows "$kind-$image" --trace - "Z:${WORK//\//\\}\\$image.bin"
      expect_eq "$kind $image: exit code" 0 "$RC"
      expect_eq "$kind $image: last line" "Transfer Completed " "$(tail -n 1 "$WORK/$kind-$image.out")"
      device_wait 10 || fail "$kind $image: the simulator ended with $?"
      padded "$WORK/$image.bin" "$WORK/$image.padded"
      cmp -s "$WORK/$image.padded" "$DEVICE_DIR/image.out" || fail "$kind $image: the device's image differs"
      if [ "$kind" = rfc2217 ]; then
        expect_contains "$kind trace" "$(cat "$WORK/$kind-$image.err")" "server SET-BAUDRATE 115200"
      fi
      device_cleanup
    done
  done
  # Nobody at the port: the open error, its cause, exit 1.
  local nobody
  nobody=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  COM1_AS="rfc2217://127.0.0.1:$nobody" run_windows refused "Z:${WORK//\//\\}\\ff.bin"
  expect_eq "refused: exit code" 1 "$RC"
  expect_eq "refused: last line" "CommPort Open Error" "$(tail -n 1 "$WORK/refused.out")"
  expect_contains "refused: cause" "$(cat "$WORK/refused.err")" "127.0.0.1:$nobody"
}

# A board reached over RFC 2217 that answers only after a reset into its
# loader and is counted only once its firmware announces itself: the
# simulator is its own terminal server and logs the DTR and RTS it saw.
case_board() {
  make_image "$WORK/fw.bin" 3000
  padded "$WORK/fw.bin" "$WORK/expected.bin"
  local dir="$WORK/board" sim
  mkdir -p "$dir"
  "$HOST_BIN/dravel-devsim" --listen rfc2217://127.0.0.1:0 --port-file "$dir/port" --control-log "$dir/controls" \
    --loader-on-reset --banner "App v2 ready" --image "$dir/image.out" --timeout 60 \
    > "$dir/sim.out" 2> "$dir/sim.err" &
  sim=$!
  for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.1; done
  [ -s "$dir/port" ] || { fail "board: the simulator did not start: $(cat "$dir/sim.err")"; kill "$sim"; return; }
  COM1_AS="rfc2217://127.0.0.1:$(cat "$dir/port")" run_windows board --reset 'D0|R1|W0.1|D1' \
    --expect '^App v[0-9]+ ready$' --sync-timeout 20 --report "Z:${WORK//\//\\}\\board.jsonl" \
    "Z:${WORK//\//\\}\\fw.bin"
  expect_eq "board: exit code" 0 "$RC"
  expect_eq "board: last line" "Transfer Completed " "$(tail -n 1 "$WORK/board.out")"
  wait "$sim" || fail "board: the simulator ended with $?"
  cmp -s "$WORK/expected.bin" "$dir/image.out" || fail "board: the device's image differs"
  # After the opening (no flow control, DTR on, RTS on): the reset, in order.
  expect_eq "board: the reset seen" "9 11 8" "$(awk 'NR > 3 && NR <= 6 {print $2}' "$dir/controls" | xargs)"
  expect_contains "board: the report" "$(cat "$WORK/board.jsonl")" '"attempts":1,"banner":"App v2 ready"'
}

# flood_peer SHAPE: a peer on 127.0.0.1 (port in FLOOD_PORT) that takes one
# connection and, without reading, sends for at most 30 s: random bytes, or
# negotiations that switch BINARY on and off between every command for every
# option (a storm whose answers pile up).
flood_peer() {
  rm -f "$WORK/flood.port"
  python3 - "$1" "$WORK/flood.port" <<'PY' > /dev/null 2>&1 &
import os, random, signal, socket, sys
shape, port_file = sys.argv[1], sys.argv[2]
signal.alarm(35)
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
open(port_file + ".new", "w").write(str(listener.getsockname()[1]))
os.rename(port_file + ".new", port_file)
peer, _ = listener.accept()
if shape == "random":
    block = random.Random(25).randbytes(65536)
else:
    block = bytes(b for option in range(256) for command in (251, 253, 252, 254)
                  for b in (255, command, option, 255, command, 0))
signal.alarm(30)
try:
    while True:
        peer.sendall(block)
except OSError:
    pass
PY
  for _ in $(seq 1 200); do [ -f "$WORK/flood.port" ] && break; sleep 0.05; done
  FLOOD_PORT=$(cat "$WORK/flood.port")
}

# Peers that flood without reading: each run ends in its bound with its
# cause, and the program grows by less than 64 MiB over a run that only
# fails to connect (Wine's own share of the peak).
case_network-flood() {
  make_image "$WORK/fw.bin" 4000
  local image="Z:${WORK//\//\\}\\fw.bin" nobody base
  nobody=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  COM1_AS="socket://127.0.0.1:$nobody" run_windows baseline -q "$image"
  expect_eq "baseline: exit code" 1 "$RC"
  base=$PEAK_KIB
  flood_peer random
  COM1_AS="socket://127.0.0.1:$FLOOD_PORT" run_windows raw-flood -q --sync-timeout 5 "$image"
  expect_eq "raw flood: exit code" 4 "$RC"
  expect_contains "raw flood: cause" "$(cat "$WORK/raw-flood.err")" "no answer from the device"
  [ "$WALL" -lt 15 ] || fail "raw flood: $WALL s, past --sync-timeout 5 and the close"
  [ $((PEAK_KIB - base)) -lt 65536 ] || fail "raw flood: $PEAK_KIB KiB at the peak, $base KiB without a peer"
  flood_peer storm
  COM1_AS="rfc2217://127.0.0.1:$FLOOD_PORT" run_windows storm -q --sync-timeout 5 "$image"
  expect_eq "storm: exit code" 1 "$RC"
  expect_eq "storm: last line" "CommPort Open Error" "$(tail -n 1 "$WORK/storm.out")"
  expect_contains "storm: cause" "$(cat "$WORK/storm.err")" "rfc2217://127.0.0.1:$FLOOD_PORT"
  [ "$WALL" -lt 10 ] || fail "storm: $WALL s, past the negotiation's 3 s"
  [ $((PEAK_KIB - base)) -lt 65536 ] || fail "storm: $PEAK_KIB KiB at the peak, $base KiB without a peer"
  wait
}

# check_events FILE SHA256 [PORTS...]: every line a JSON object in time, one
# end per port, completed with the image's digest, its blocks rising to the total.
check_events() {
  python3 - "$@" <<'PY'
import json, sys
path, digest, ports = sys.argv[1], sys.argv[2], sys.argv[3:]
events = [json.loads(line) for line in open(path).read().splitlines()]
assert events and events[0].get("schema") == "dravel-events/1", events[:1]
last = 0.0
for event in events:
    assert isinstance(event, dict) and "event" in event and "port" in event, event
    assert event["t"] >= last, event
    last = event["t"]
for port in ports:
    mine = [e for e in events if e["port"] == port]
    ends = [e for e in mine if e["event"] == "end"]
    assert len(ends) == 1, (port, mine)
    end = ends[0]
    assert end["outcome"] == "completed" and end["sha256"] == digest, end
    assert end["message"] == "Transfer Completed ", end
    blocks = [e["blocks"] for e in mine if e["event"] == "progress"]
    assert blocks == sorted(blocks) and blocks[-1] == mine[[e["event"] for e in mine].index("progress")]["total"], blocks
PY
}

# A HEX file with a gap, made by srec_cat and flattened by objcopy as the
# reference: sent as on Linux and byte-exact; --convert to a file and from
# standard input, whose bytes (CR LF, Ctrl+Z) must arrive untouched.
case_images() {
  claim_port
  make_image "$WORK/low.bin" 1500
  make_image "$WORK/high.bin" 700
  srec_cat "$WORK/low.bin" -binary -offset 0x08000000 "$WORK/high.bin" -binary -offset 0x08000800 \
    -o "$WORK/app.hex" -intel
  objcopy -I ihex -O binary --gap-fill 0xff "$WORK/app.hex" "$WORK/flat.bin"
  same_as_linux image "" --report "$WORK/report.jsonl" "$WORK/app.hex"
  expect_eq "a HEX file completes" 0 "$WIN_RC"
  padded "$WORK/flat.bin" "$WORK/expected.bin"
  cmp -s "$WORK/expected.bin" "$WIN_IMAGE" || fail "the device holds another image than objcopy's, padded"
  python3 - "$WORK/report.jsonl" "$(sha256sum < "$WORK/flat.bin" | cut -c1-64)" <<'PY' || fail "the report: see above"
import json, sys
records = [json.loads(line) for line in open(sys.argv[1]).read().splitlines()]
assert len(records) == 2, records
for r in records:
    assert (r["format"], r["base"], r["sha256"], r["size"]) == ("ihex", "0x08000000", sys.argv[2], 0x800 + 700), r
PY
  run_windows convert --convert "$WORK/app.hex" -o "$WORK/converted.bin"
  expect_eq "--convert exit code" 0 "$RC"
  cmp -s "$WORK/flat.bin" "$WORK/converted.bin" || fail "--convert wrote another image than objcopy's"
  expect_contains "--convert says" "$(cat "$WORK/convert.out")" "sha256 $(sha256sum < "$WORK/flat.bin" | cut -c1-64)"
  printf 'raw\r\n\x1a\r\nbytes\n' | cat - "$WORK/low.bin" > "$WORK/raw.img"
  RC=0
  "$WINE_RUN" "$CLI_EXE" --convert - -o "$WORK/stdin.bin" < "$WORK/raw.img" > "$WORK/stdin.out" 2> "$WORK/stdin.err" || RC=$?
  expect_eq "--convert from standard input" 0 "$RC"
  cmp -s "$WORK/raw.img" "$WORK/stdin.bin" || fail "standard input did not arrive byte for byte"
}

case_json() {
  claim_port
  make_image "$WORK/fw.bin" 5000
  local sum
  sum=$(sha256sum "$WORK/fw.bin" | cut -c1-64)
  device_start --idle-gap-ms 5 --refuse 2
  run_windows json --json "$WORK/fw.bin"
  expect_eq "exit code" 0 "$RC"
  check_events "$WORK/json.out" "$sum" "COM1" || fail "the events of one port: see above"
  expect_contains "a resend refused" "$(cat "$WORK/json.out")" '"cause":"refused"'
  device_wait 10 || fail "the simulator exited with $?"
  device_cleanup
  claim_port; local first=$PORT; device_start --idle-gap-ms 5; local first_pid=$DEVICE_PID first_dir=$DEVICE_DIR
  claim_port; local second=$PORT; device_start --idle-gap-ms 5
  run_windows json-gang --json -p "COM$first" -p "COM$second" "$WORK/fw.bin"
  expect_eq "exit code of the gang" 0 "$RC"
  check_events "$WORK/json-gang.out" "$sum" "COM$first" "COM$second" || fail "the events of a gang: see above"
  device_wait 10 || fail "the second simulator exited with $?"
  DEVICE_PID=$first_pid
  device_wait 10 || fail "the first simulator exited with $?"
  rm -rf "$first_dir"
}

# A station under Wine: a device arrives only as a mapped port becoming
# openable (its link pointed at a new simulator) and goes when the link dangles.
case_watch() {
  make_image "$WORK/fw.bin" 3000
  padded "$WORK/fw.bin" "$WORK/expected.bin"
  claim_port; local first=$PORT
  claim_port; local second=$PORT
  rm -f "$(ports_dir)/com$first" "$(ports_dir)/com$second"
  DRAVEL_TIMER_SCALE=0.25 "$WINE_RUN" "$CLI_EXE" --watch "COM$first" --watch "com$second" --count 3 \
    --sync-timeout 1 --report "$WORK/boards.jsonl" --json "$WORK/fw.bin" > "$WORK/watch.out" 2> "$WORK/watch.err" < /dev/null &
  local station=$!
  sleep 1
  PORT=$first; device_start --idle-gap-ms 5
  device_wait 20 || fail "the first board's simulator exited with $?"
  cmp -s "$WORK/expected.bin" "$DEVICE_DIR/image.out" || fail "the first board's image differs"
  device_cleanup
  # Gone before it comes back: the station must see the port dangle.
  for _ in $(seq 1 100); do grep -q '"gone"' "$WORK/watch.out" && break; sleep 0.1; done
  PORT=$second; device_start --idle-gap-ms 5 --abort-at 2
  for _ in $(seq 1 100); do [ "$(grep -c '"end"' "$WORK/watch.out")" -ge 2 ] && break; sleep 0.1; done
  PORT=$first; device_start --idle-gap-ms 5
  local rc=0
  wait "$station" || rc=$?
  device_wait 20 || fail "the third board's simulator exited with $?"
  device_cleanup
  PORT=$second; device_cleanup
  expect_eq "exit code after a failed board" 3 "$rc"
  python3 - "$WORK/watch.out" "$WORK/boards.jsonl" "COM$first" "COM$second" <<'PY' || fail "the station's events: see above"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1]).read().splitlines()]
ends = [e for e in events if e["event"] == "end"]
assert [e["board"] for e in ends] == [1, 2, 3], ends
assert [e["port"] for e in ends] == [sys.argv[3], sys.argv[4], sys.argv[3]], ends
assert [e["outcome"] for e in ends] == ["completed", "error", "completed"], ends
assert [e["event"] for e in events if e["port"] == sys.argv[3]][0] == "appeared", events
assert any(e["event"] == "gone" and e["port"] == sys.argv[3] for e in events), events
reports = [json.loads(line) for line in open(sys.argv[2]).read().splitlines()]
assert sorted(r["board"] for r in reports) == [1, 2, 3], reports
PY
  expect_contains "the summary" "$(cat "$WORK/watch.err")" "3 boards: 2 passed, 1 failed"
}

# A board's serial number from an SQLite file, stamped into its copy of the
# image; the record read back by both builds.
case_records() {
  claim_port
  make_image "$WORK/fw.bin" 2500
  device_start --idle-gap-ms 5
  run_windows records --port 1 --records "$WORK/line.db" --serial-range 0x2A-50 --stamp 0x100:u32be \
    --station wine-7 --report "$WORK/report.jsonl" "$WORK/fw.bin"
  expect_eq "exit code" 0 "$RC"
  device_wait 10 || fail "the simulator exited with $?"
  padded "$WORK/fw.bin" "$WORK/expected.bin"
  printf '\x00\x00\x00\x2a' | dd of="$WORK/expected.bin" bs=1 seek=256 conv=notrunc status=none
  cmp "$WORK/expected.bin" "$DEVICE_DIR/image.out" || fail "the device's image is not the file with 42 at 0x100"
  # CSV ends its lines CR LF by its own rules, so not through run_windows.
  "$WINE_RUN" "$CLI_EXE" --records "$WORK/line.db" --export csv > "$WORK/records-export.out" 2> "$WORK/records-export.err" \
    < /dev/null || fail "the export from dravel-cli.exe failed"
  "$HOST_BIN/dravel-cli" --records "$WORK/line.db" --export jsonl > "$WORK/records-linux.out" \
    || fail "the Linux build cannot read the records"
  python3 - "$WORK/records-export.out" "$WORK/records-linux.out" "$WORK/report.jsonl" "$WORK/expected.bin" \
    "$WORK/fw.bin" <<'PY' || fail "the records: see above"
import csv, hashlib, io, json, sys
rows = list(csv.DictReader(io.StringIO(open(sys.argv[1], newline="").read())))
linux = [json.loads(line) for line in open(sys.argv[2]).read().splitlines()]
report = [json.loads(line) for line in open(sys.argv[3]).read().splitlines()]
sent = hashlib.sha256(open(sys.argv[4], "rb").read()[:2500]).hexdigest()
unstamped = hashlib.sha256(open(sys.argv[5], "rb").read()).hexdigest()
assert len(rows) == 1 and len(linux) == 1 and len(report) == 1, (rows, linux, report)
row, record = rows[0], linux[0]
assert row["serial"] == "42" and record["serial"] == 42 and report[0]["serial"] == 42, (row, record, report)
assert row["station"] == "wine-7" and row["outcome"] == "passed" and row["port"] == "1", row
assert row["sha256"] == record["sha256"] == report[0]["sha256"] == sent, (row, sent)
assert row["unstamped_sha256"] == unstamped, row
assert row["id"] == record["id"], (row, record)
PY
}

name="${1:?usage: cli_cases.sh CASE}"
if ! declare -F "case_$name" >/dev/null; then
  echo "no case $name" >&2
  exit 2
fi
"case_$name"
if [ "$failures" -gt 0 ]; then
  echo "--- $name: $failures failure(s); outputs:" >&2
  for f in "$WORK"/*.out "$WORK"/*.err; do
    [ -s "$f" ] && { echo "== $f" >&2; head -n 40 "$f" >&2; }
  done
  exit 1
fi
echo "$name: ok"
