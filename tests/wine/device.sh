# shellcheck shell=bash
# Shared by with-device and cli_cases.sh (sourced, bash): a simulated device
# on a COM port of the Wine prefix.
#
# The prefix maps COM1 to COM16 to symbolic links in <prefix>/dravel-ports/
# (cmake/wine-run makes it so). claim_port takes one of them for this
# process alone (a lock file held until the process ends), so that tests may
# run side by side; device_start points it at a fresh dravel-devsim.
#
# Needs: WINEPREFIX_DIR (the prefix), HOST_BIN (dravel-devsim).

ports_dir() { echo "$WINEPREFIX_DIR/dravel-ports"; }

# claim_port [N]: sets PORT to a COM number this process holds. With N, waits
# for that one; without, takes the first free one above 4 (1 to 4 are for
# the cases that need those very names).
claim_port() {
  mkdir -p "$(ports_dir)"
  local wanted="${1:-}" n fd
  if [ -n "$wanted" ]; then
    exec {fd}>"$(ports_dir)/com$wanted.lock"
    flock -w 300 "$fd" || { echo "COM$wanted stayed busy" >&2; return 1; }
    PORT="$wanted"
    return 0
  fi
  for _ in $(seq 1 600); do
    for n in $(seq 5 16); do
      exec {fd}>"$(ports_dir)/com$n.lock"
      if flock -n "$fd"; then PORT="$n"; return 0; fi
      exec {fd}>&-
    done
    sleep 0.5
  done
  echo "no free COM port in $(ports_dir)" >&2
  return 1
}

# device_start [devsim options...]: a simulator on COM$PORT. Sets DEVICE_DIR
# (image.out, events.log, devsim.out, devsim.err) and DEVICE_PID.
device_start() {
  DEVICE_DIR="$(mktemp -d /tmp/dravel-wine-device.XXXXXX)"
  "$HOST_BIN/dravel-devsim" --link "$DEVICE_DIR/link" --image "$DEVICE_DIR/image.out" \
    --log "$DEVICE_DIR/events.log" --timeout 100 "$@" \
    > "$DEVICE_DIR/devsim.out" 2> "$DEVICE_DIR/devsim.err" < /dev/null &
  DEVICE_PID=$!
  for _ in $(seq 1 500); do
    [ -L "$DEVICE_DIR/link" ] && break
    kill -0 "$DEVICE_PID" 2>/dev/null || break
    sleep 0.01
  done
  if [ ! -L "$DEVICE_DIR/link" ]; then
    echo "the device simulator did not start:" >&2
    cat "$DEVICE_DIR/devsim.err" >&2
    return 1
  fi
  ln -sfn "$DEVICE_DIR/link" "$(ports_dir)/com$PORT"
}

# device_wait [seconds]: the simulator's exit status (124 if it had to be killed).
device_wait() {
  local limit="${1:-30}" status=0
  for _ in $(seq 1 $((limit * 20))); do
    kill -0 "$DEVICE_PID" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$DEVICE_PID" 2>/dev/null; then
    kill "$DEVICE_PID" 2>/dev/null || true
    wait "$DEVICE_PID" 2>/dev/null || true
    DEVICE_PID=""
    return 124
  fi
  wait "$DEVICE_PID" || status=$?
  DEVICE_PID=""
  return "$status"
}

device_stop() {
  if [ -n "${DEVICE_PID:-}" ]; then
    kill "$DEVICE_PID" 2>/dev/null || true
    wait "$DEVICE_PID" 2>/dev/null || true
    DEVICE_PID=""
  fi
}

# ser2net_start: Debian's ser2net in front of the running simulator, on
# 127.0.0.1: an RFC 2217 port (SER2NET_RFC2217) and a raw TCP port
# (SER2NET_RAW), the serial end without modem lines and without chardelay.
ser2net_start() {
  local free
  free() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
  SER2NET_RFC2217=$(free)
  SER2NET_RAW=$(free)
  local connector="  connector: serialdev,$DEVICE_DIR/link,115200n81,local"
  local options=$'  options:\n    kickolduser: true\n    chardelay: false'
  printf 'connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n%s\n%s\nconnection: &raw\n  accepter: tcp,127.0.0.1,%s\n%s\n%s\n' \
    "$SER2NET_RFC2217" "$connector" "$options" "$SER2NET_RAW" "$connector" "$options" >"$DEVICE_DIR/ser2net.yaml"
  /usr/sbin/ser2net -n -d -c "$DEVICE_DIR/ser2net.yaml" -P "$DEVICE_DIR/ser2net.pid" \
    >"$DEVICE_DIR/ser2net.out" 2>"$DEVICE_DIR/ser2net.err" </dev/null &
  SER2NET_PID=$!
  local port
  for port in "$SER2NET_RFC2217" "$SER2NET_RAW"; do
    for _ in $(seq 1 200); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      sleep 0.05
    done
  done
  # The probes' connections are gone before a client's own arrives.
  sleep 0.2
}

ser2net_stop() {
  if [ -n "${SER2NET_PID:-}" ]; then
    kill "$SER2NET_PID" 2>/dev/null || true
    wait "$SER2NET_PID" 2>/dev/null || true
    SER2NET_PID=""
  fi
}

# Leaves the port's link dangling (a missing port) and removes the files.
device_cleanup() {
  ser2net_stop
  device_stop
  if [ -n "${PORT:-}" ]; then rm -f "$(ports_dir)/com$PORT"; fi
  if [ -n "${DEVICE_DIR:-}" ]; then rm -rf "$DEVICE_DIR"; fi
}
