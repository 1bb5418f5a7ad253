#!/bin/bash
# Runs one command on a private virtual X display of its own, then takes the
# display down. Xvfb picks a free display number itself (-displayfd), so any
# number of these can run side by side.
set -u
work="$(mktemp -d /tmp/dravel-xvfb.XXXXXX)"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap 'cleanup; exit 143' TERM INT
for _ in $(seq 200); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$work/display" ]; then
  echo "run_on_virtual_display: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  cleanup
  exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"
export GDK_BACKEND=x11 NO_AT_BRIDGE=1 DRAVEL_ON_VIRTUAL_DISPLAY=1
"$@" &
child=$!
trap 'kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; cleanup; exit 143' TERM INT
wait "$child"
status=$?
cleanup
exit "$status"
