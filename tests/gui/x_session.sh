# shellcheck shell=bash
# Shared by the desktop program's black-box scripts (sourced, bash): the
# tools they need, a scratch folder, the processes to stop at the end, a
# virtual display of their own, the settings in a scratch folder, and the
# steps a person's keyboard takes.
#
# Needs: session (the script's name, for its messages and its folder), shots.
# A missing tool ends the script with 77, which CTest counts as skipped.
for tool in Xvfb xdotool import convert cmp truncate; do
  command -v "$tool" >/dev/null || { echo "$session: skipped, $tool is missing" >&2; exit 77; }
done
mkdir -p "$shots"
work="$(mktemp -d "/tmp/dravel-$session.XXXXXX")"
pids=()

fail() {
  echo "$session: FAIL: $*" >&2
  for log in "$work"/*.log "$work"/*.err; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# A display of our own (Xvfb picks the number).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")" GDK_BACKEND=x11 NO_AT_BRIDGE=1
# OK in the port dialog keeps the ports' devices: in a scratch folder, never
# in the real home's settings.
export XDG_CONFIG_HOME="$work/config"

# Waits (bounded) for a window whose title matches; prints its id.
wait_window() {
  local id
  id="$(timeout "${2:-20}" xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n1)"
  [ -n "$id" ] || return 1
  echo "$id"
}
focus_and() {  # focus_and WINDOW KEYS...
  local window="$1"
  shift
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
  sleep 0.2
  xdotool key --clearmodifiers "$@"
}
shot() { import -window root "$shots/$1" || fail "screenshot $1"; }
