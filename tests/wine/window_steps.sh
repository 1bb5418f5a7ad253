# shellcheck shell=bash
# Shared by the black-box runs of dravel.exe under Wine (sourced, bash): the
# steps a person's keyboard and eyes take on the virtual display, and the
# wait for the program's end.
#
# Needs: shots (the screenshot folder), a fail function, and app (the
# program's process, or empty) for app_exit.

# Waits (bounded) for a visible window whose title matches; prints its id.
wait_window() {
  local id
  id="$(timeout "${2:-30}" xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n1)" || true
  [ -n "$id" ] || return 1
  echo "$id"
}
gone_window() {  # gone_window TITLE [seconds]
  for _ in $(seq $((${2:-10} * 10))); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
focus_and() {  # focus_and WINDOW KEYS...
  local window="$1"
  shift
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus "$window" 2>/dev/null || true
  sleep 0.3
  xdotool key --clearmodifiers "$@"
}
shot() { import -window root "$shots/$1" || fail "screenshot $1"; }
# app_exit SECONDS: the program's exit status (124 if it did not end).
app_exit() {
  local status=0
  [ -n "$app" ] || return 0
  for _ in $(seq $(($1 * 10))); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app" 2>/dev/null; then return 124; fi
  wait "$app" || status=$?
  app=""
  return "$status"
}
