#!/usr/bin/env bash
# The NAT gateway holding 50,000 UDP flows from 10 client addresses, in the namespace lab:
# round-trip times through the gateway (new flows and a known flow) with the tables empty,
# full, and after the sweep that reclaims every flow, plus the table sizes and the longest
# time a sweep held a table's lock. Root only; traffic stays in the lab's namespaces.
#
# usage: scripts/load-nat-lab.sh [BUILD_DIR] [FLOWS_PER_CLIENT]
#   BUILD_DIR         a linux build directory with corvflt and nat_gateway_runner (default build/linux)
#   FLOWS_PER_CLIENT  new UDP flows from each of the 10 clients (default 5000)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$here/build/linux}")
per_client=${2:-5000}
runner=$build/bench/nat_gateway/nat_gateway_runner
flows=$here/lab/peers/udp_flows.py
[ "$(id -u)" -eq 0 ] || { echo "load-nat-lab: needs root" >&2; exit 1; }
[ -x "$runner" ] || { echo "load-nat-lab: no $runner (build nat_gateway_runner)" >&2; exit 1; }

prefix=nl$$
runner_pid=
cleanup() {
  [ -z "$runner_pid" ] || kill "$runner_pid" 2>/dev/null || true
  [ -z "$runner_pid" ] || wait "$runner_pid" 2>/dev/null || true
  "$here/lab/down.sh" "$prefix" >/dev/null 2>&1 || true
}
trap cleanup EXIT

"$here/lab/up.sh" "$prefix" "$build" --no-forward >/dev/null
. "/run/corvane-lab/$prefix/env"
log=/run/corvane-lab/$prefix/nat_gateway_runner.log
"$here/lab/exec.sh" "$prefix" gw "$runner" corvane >"$log" 2>&1 &
runner_pid=$!
for _ in $(seq 100); do
  grep -q "successfully started\|started successfully" "$log" && break
  sleep 0.1
done
grep -q "successfully started\|started successfully" "$log" ||
  { echo "load-nat-lab: gateway did not start:" >&2; cat "$log" >&2; exit 1; }

# Ten client addresses on the VPN client side.
clients=
for i in $(seq 10 19); do
  "$here/lab/exec.sh" "$prefix" vpnc ip addr add "10.66.0.$i/24" dev corvw
  clients=${clients:+$clients,}10.66.0.$i
done

vpnc() { "$here/lab/exec.sh" "$prefix" vpnc "$@"; }
# One line of table figures from the runner (it answers SIGUSR1 within 100 ms).
tables() {
  local before
  before=$(grep -c '^tables:' "$log" || true)
  kill -USR1 "$runner_pid"
  for _ in $(seq 50); do
    [ "$(grep -c '^tables:' "$log" || true)" -gt "$before" ] && break
    sleep 0.1
  done
  grep '^tables:' "$log" | tail -1
}
rtt() { vpnc python3 "$flows" rtt 10.99.0.1 7777 10.66.0.2 "$1" "$2"; }

rtt 50 39000 >/dev/null  # warms the path (neighbour entries, the gateway's first flows)
echo "load-nat-lab: round trips (microseconds: p50 p99 lost) on new flows and on a known flow"
read -r e_np50 e_np99 e_nl e_kp50 e_kp99 e_kl < <(rtt 200 40000)
echo "  empty tables:  new $e_np50 $e_np99 lost $e_nl   known $e_kp50 $e_kp99 lost $e_kl"

read -r _ made _ flood_seconds < <(vpnc python3 "$flows" flood 10.99.0.1 7777 "$clients" "$per_client" 20000)
echo "  sent $made new flows from 10 clients in $flood_seconds s"
sleep 1
echo "  $(tables)"
read -r f_np50 f_np99 f_nl f_kp50 f_kp99 f_kl < <(rtt 200 41000)
echo "  full tables:   new $f_np50 $f_np99 lost $f_nl   known $f_kp50 $f_kp99 lost $f_kl"

# Every entry idle past the timeout: the next creations sweep them all.
kill -USR2 "$runner_pid"
sleep 0.5
read -r s_np50 s_np99 s_nl s_kp50 s_kp99 s_kl < <(rtt 200 42000)
echo "  after sweep:   new $s_np50 $s_np99 lost $s_nl   known $s_kp50 $s_kp99 lost $s_kl"
echo "  $(tables)"
python3 - "$e_np50" "$f_np50" "$s_np50" <<'PY'
import sys
e, f, s = (float(x) if x != "-" else float("nan") for x in sys.argv[1:4])
print(f"load-nat-lab: new-flow p50 with 50k flows {f / e:.2f}x empty, after the sweep {s / e:.2f}x")
PY
