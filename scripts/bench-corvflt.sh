#!/usr/bin/env bash
# Packets per second across one corvflt adapter (TUN, medium IP) in namespaces of this run:
#   (a) corvflt in mode 0, (b) corvflt in mode 3 with a client that reads and re-injects in
#   batches of up to 510, (c) a minimal TUN-to-TUN bridge over the same device pair.
# Load: SIZE-byte UDP datagrams from 10.9.0.1 (gw namespace) to 10.9.0.2 (wire namespace)
# for SECONDS, counted at the receiver. Nothing leaves the two namespaces. Needs root.
# Usage: scripts/bench-corvflt.sh [BUILD_DIR (build/linux)] [SECONDS (3)] [SIZE (64)]
set -euo pipefail
build=${1:-build/linux}
seconds=${2:-3}
size=${3:-64}
bin=$build/src/driver/linux
for tool in corvflt corvflt_tun_bridge corvflt_udp_load corvflt_bench_relay; do
  [ -x "$bin/$tool" ] || { echo "missing $bin/$tool (build the linux configuration first)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces, TUN devices)" >&2; exit 1; }

gw=cvbg$$
wire=cvbw$$
dir=$(mktemp -d)
pids=()

stop_pid() {  # pid: SIGTERM, then wait for it (it is our child)
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  for p in "${pids[@]}"; do stop_pid "$p"; done
  ip netns del "$gw" 2>/dev/null || true
  ip netns del "$wire" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

wait_for() {  # file pattern pid
  for _ in $(seq 250); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.02
  done
  echo "not ready: $1" >&2; cat "$1" >&2; exit 1
}
configure() {
  ip -n "$gw" link set lo up
  ip -n "$gw" addr add 10.9.0.1/24 dev cvt0
  ip -n "$gw" link set cvt0 up
  ip -n "$wire" link set lo up
  ip -n "$wire" addr add 10.9.0.2/24 dev cvw0
  ip -n "$wire" link set cvw0 up
}
load() { "$bin/corvflt_udp_load" "$gw" "$wire" "$seconds" "$size"; }

ip netns add "$gw"
ip netns add "$wire"

# (c) baseline bridge
ip netns exec "$gw" "$bin/corvflt_tun_bridge" cvt0 "$wire" cvw0 2>"$dir/bridge.log" &
bridge=$!; pids+=("$bridge")
wait_for "$dir/bridge.log" ready "$bridge"
configure
rate_c=$(load)
stop_pid "$bridge"; pids=()

# (a) corvflt, mode 0
ip netns exec "$gw" env CORVFLT_DEVICE_DIR="$dir" "$bin/corvflt" --adapter "cvt0,ip,$wire,cvw0" \
  2>"$dir/corvflt.log" &
daemon=$!; pids+=("$daemon")
wait_for "$dir/corvflt.log" ready: "$daemon"
configure
rate_a=$(load)

# (b) corvflt, mode 3 with the relay client
"$bin/corvflt_bench_relay" "$dir/CORVFLT" '\DEVICE\{cvt0}' 2>"$dir/relay.log" &
relay=$!; pids+=("$relay")
wait_for "$dir/relay.log" ready "$relay"
rate_b=$(load)
stop_pid "$relay"
stop_pid "$daemon"; pids=()

echo "packets per second, $size-byte UDP, $seconds s each:"
awk -v a="$rate_a" -v b="$rate_b" -v c="$rate_c" 'BEGIN {
  printf "  (a) corvflt mode 0           %10.0f\n", a
  printf "  (b) corvflt mode 3 + relay   %10.0f\n", b
  printf "  (c) TUN-to-TUN bridge        %10.0f\n", c
  printf "  a/c = %.2f (goal >= 0.80)   b/c = %.2f (goal >= 0.50)\n", a / c, b / c
}'
grep -h relayed "$dir/relay.log" || true
