# shellcheck shell=bash disable=SC2154,SC2119
# scripts/bench --windows (sourced): dravel-cli.exe under Wine beside the
# Linux dravel-cli, on the same simulator, in the same run. Prints a Markdown
# table for docs/benchmarks.md.
#
# Processor time of the Windows build counts the program and the Wine server,
# which does much of the work of every system call on the program's behalf.

wbuild="${DRAVEL_WINDOWS_BUILD_DIR:-build-windows}"
if [ ! -x "$wbuild/bin/dravel-cli.exe" ]; then
  echo "no $wbuild/bin/dravel-cli.exe: run scripts/windows first" >&2
  exit 1
fi
export DRAVEL_WINEPREFIX="$here/$wbuild/wine-prefix"
trap 'cmake/wine-run --server stop; rm -rf "$work"' EXIT
cmake/wine-run --server start
WINEPREFIX_DIR="$DRAVEL_WINEPREFIX"
HOST_BIN="$build/bin"
# shellcheck source=tests/wine/device.sh
source tests/wine/device.sh
claim_port

# The CPU seconds (user + system) the prefix's Wine server has used so far.
server_pid() {
  local pid
  for pid in $(pgrep -x wineserver64 || true); do
    if tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$DRAVEL_WINEPREFIX"; then
      echo "$pid"
      return
    fi
  done
}
server=$(server_pid)
server_cpu() {
  [ -n "$server" ] || { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$server/stat"
}

# Each line of standard input with the time it came, in seconds.
stamp() { while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done; }

# One transfer: "wall_seconds cpu_seconds transfer_seconds", the last from the
# program's first line ("Transmitting .... ") to its last, which leaves the
# start-up out. $1 is linux or windows, the rest are the simulator's options.
one() {
  local which="$1"; shift
  rm -f "$work/link" "$work/out.bin"
  "$build/bin/dravel-devsim" --link "$work/link" --image "$work/out.bin" --timeout 600 "$@" \
    > "$work/devsim.out" 2>/dev/null &
  local sim=$!
  for _ in $(seq 1 200); do [ -L "$work/link" ] && break; sleep 0.01; done
  ln -sfn "$work/link" "$(ports_dir)/com$PORT"
  local start end before after
  before=$(server_cpu)
  start=$(date +%s.%N)
  if [ "$which" = linux ]; then
    DRAVEL_COM1="$work/link" /usr/bin/time -f "%U %S" -o "$work/time" \
      "$build/bin/dravel-cli" "$work/image.bin" 2>/dev/null | stamp > "$work/cli.out"
  else
    DRAVEL_COM1="COM$PORT" /usr/bin/time -f "%U %S" -o "$work/time" \
      cmake/wine-run "$wbuild/bin/dravel-cli.exe" "$work/image.bin" 2>/dev/null | stamp > "$work/cli.out"
  fi
  end=$(date +%s.%N)
  after=$(server_cpu)
  wait "$sim" || { echo "device simulator exited with $? ($which)" >&2; exit 1; }
  cmp -s <(head -c "$(stat -c %s "$work/image.bin")" "$work/out.bin") "$work/image.bin" \
    || { echo "image mismatch ($which)" >&2; exit 1; }
  read -r user sys < "$work/time"
  if [ "$which" = linux ]; then before=0; after=0; fi
  local first last
  first=$(head -n 1 "$work/cli.out" | cut -d' ' -f1)
  last=$(tail -n 1 "$work/cli.out" | cut -d' ' -f1)
  echo "$(echo "$end - $start" | bc -l) $(echo "$user + $sys + $after - $before" | bc -l) $(echo "$last - $first" | bc -l)"
}

# Start-up alone: the program's --help.
startup_cpu() {
  local before after
  before=$(server_cpu)
  /usr/bin/time -f "%U %S" -o "$work/time" cmake/wine-run "$wbuild/bin/dravel-cli.exe" --help > /dev/null
  after=$(server_cpu)
  read -r user sys < "$work/time"
  echo "$user + $sys + $after - $before" | bc -l
}

linux_paced=(); windows_paced=(); linux_cpu=(); windows_cpu=(); linux_idle=(); windows_idle=(); startup=()
linux_transfer=(); windows_transfer=()
for _ in $(seq 1 "$runs"); do
  head -c "$size" /dev/urandom > "$work/image.bin"
  read -r wall cpu transfer < <(one linux --baud 115200)
  linux_paced+=("$wall"); linux_cpu+=("$cpu"); linux_transfer+=("$transfer")
  read -r wall cpu transfer < <(one windows --baud 115200)
  windows_paced+=("$wall"); windows_cpu+=("$cpu"); windows_transfer+=("$transfer")
  # Five probes the device leaves unanswered, one a second: the reader waits.
  head -c 1024 /dev/urandom > "$work/image.bin"
  read -r _ cpu _ < <(one linux --silent-probes 5); linux_idle+=("$cpu")
  read -r _ cpu _ < <(one windows --silent-probes 5); windows_idle+=("$cpu")
  startup+=("$(startup_cpu)")
done

line_cps=11520
lp=$(printf '%s\n' "${linux_paced[@]}" | median)
wp=$(printf '%s\n' "${windows_paced[@]}" | median)
lt=$(printf '%s\n' "${linux_transfer[@]}" | median)
wt=$(printf '%s\n' "${windows_transfer[@]}" | median)
lc=$(printf '%s\n' "${linux_cpu[@]}" | median)
wc=$(printf '%s\n' "${windows_cpu[@]}" | median)
li=$(printf '%s\n' "${linux_idle[@]}" | median)
wi=$(printf '%s\n' "${windows_idle[@]}" | median)
su=$(printf '%s\n' "${startup[@]}" | median)
printf '| %d KiB at 115200 baud (median of %d) | Linux dravel-cli | dravel-cli.exe under Wine |\n|---|---|---|\n' \
  "$((size / 1024))" "$runs"
printf '| time for the image, program start to end | %.2f s | %.2f s |\n' "$lp" "$wp"
printf '| the transfer alone (first line of output to last) | %.2f s | %.2f s |\n' "$lt" "$wt"
printf '| share of the line (11,520 chars/s), transfer alone | %.1f %% | %.1f %% |\n' \
  "$(echo "100 * $size / $lt / $line_cps" | bc -l)" "$(echo "100 * $size / $wt / $line_cps" | bc -l)"
printf '| Windows time / Linux time: whole run, transfer alone | | %.3f, %.3f |\n' \
  "$(echo "$wp / $lp" | bc -l)" "$(echo "$wt / $lt" | bc -l)"
printf '| processor time for the transfer | %.3f s | %.3f s |\n' "$lc" "$wc"
printf '| processor time over 5 s of waiting for a silent device | %.3f s | %.3f s |\n' "$li" "$wi"
printf '| of which start-up under Wine (--help alone) | | %.3f s |\n' "$su"
