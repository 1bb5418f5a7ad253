#!/usr/bin/env bash
# Throughput through Debian's ser2net: a 256 KiB image to the device
# simulator paced at 115200 baud, through ser2net's RFC 2217 port and its raw
# TCP port, beside the same transfer on a local pseudo-terminal. Each time is
# the whole run of dravel-cli (connection and negotiation included); the
# share of the line is the payload rate over 11,520 characters a second.
# Prints a Markdown table for docs/benchmarks.md. Run by scripts/bench --network.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$here"
build="${DRAVEL_BUILD_DIR:-build}"
runs="${DRAVEL_BENCH_RUNS:-3}"
size=$((${DRAVEL_BENCH_KIB:-256} * 1024))
command -v /usr/sbin/ser2net >/dev/null || { echo "the network benchmark needs ser2net (apt-get install ser2net)" >&2; exit 1; }

work="$(mktemp -d /tmp/dravel-bench-net.XXXXXX)"
ser2net_pid=""
trap '[ -n "$ser2net_pid" ] && kill "$ser2net_pid" 2>/dev/null; rm -rf "$work"' EXIT
head -c "$size" /dev/urandom > "$work/image.bin"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rfc_port=$(free_port)
raw_port=$(free_port)
cat > "$work/ser2net.yaml" <<YAML
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc_port
  connector: serialdev,$work/COM1,115200n81,local
  options:
    chardelay: false
connection: &raw
  accepter: tcp,127.0.0.1,$raw_port
  connector: serialdev,$work/COM1,115200n81,local
  options:
    chardelay: false
YAML
/usr/sbin/ser2net -n -d -c "$work/ser2net.yaml" -P "$work/ser2net.pid" > "$work/ser2net.log" 2>&1 &
ser2net_pid=$!
sleep 0.5

# One transfer to PORT; prints its wall seconds.
transfer() {
  rm -f "$work/COM1" "$work/out.bin"
  "$build/bin/dravel-devsim" --link "$work/COM1" --image "$work/out.bin" --baud 115200 --timeout 600 \
    > "$work/devsim.out" 2>/dev/null &
  local sim=$!
  for _ in $(seq 1 200); do [ -L "$work/COM1" ] && break; sleep 0.01; done
  local start end
  start=$(date +%s.%N)
  "$build/bin/dravel-cli" -q -p "$1" "$work/image.bin" > "$work/cli.out" 2>/dev/null
  end=$(date +%s.%N)
  wait "$sim" || { echo "device simulator exited with $?" >&2; exit 1; }
  cmp -s <(head -c "$size" "$work/out.bin") "$work/image.bin" || { echo "image mismatch through $1" >&2; exit 1; }
  echo "$end - $start" | bc -l
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

row() {  # row LABEL PORT
  local times=()
  for _ in $(seq 1 "$runs"); do times+=("$(transfer "$2")"); done
  local wall share
  wall=$(printf '%s\n' "${times[@]}" | median)
  share=$(echo "100 * $size / $wall / 11520" | bc -l)
  printf '| %s | %.2f s | %.1f %% |\n' "$1" "$wall" "$share"
}

echo "| $((size / 1024)) KiB at 115200 baud (median of $runs) | time | share of the line |"
echo "|---|---|---|"
row "local pseudo-terminal" "$work/COM1"
row "ser2net, RFC 2217 port (rfc2217://)" "rfc2217://127.0.0.1:$rfc_port"
row "ser2net, raw TCP port (socket://)" "socket://127.0.0.1:$raw_port"
