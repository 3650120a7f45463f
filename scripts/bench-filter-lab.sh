#!/usr/bin/env bash
# Throughput vpnc -> inet through one lab run with plain host routing in gw (--route-back):
# (a) corvflt with no filter (both adapters in mode 0), then (b) the same lab with
# tarnwell::dual_packet_filter passing everything on corvane and prov0 (dual_filter_runner).
# Prints the UDP 64-byte packet rate and iperf3 TCP throughput of each and the ratios b/a.
# Bounded loads only; the lab is torn down at the end, also on failure. Root only.
#
# usage: scripts/bench-filter-lab.sh [BUILD_DIR] [SECONDS]
#   BUILD_DIR  a linux build directory with corvflt and dual_filter_runner (default build/linux)
#   SECONDS    length of each iperf3 run, 1..30 (default 5)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$here/build/linux}")
seconds=${2:-5}
runner=$build/bench/tarnwell/dual_filter_runner
[ "$(id -u)" -eq 0 ] || { echo "bench-filter-lab: needs root" >&2; exit 1; }
[ -x "$runner" ] || { echo "bench-filter-lab: no $runner (build dual_filter_runner)" >&2; exit 1; }
case $seconds in
  [1-9] | [12][0-9] | 30) ;;
  *) echo "bench-filter-lab: SECONDS must be 1..30" >&2; exit 2 ;;
esac

prefix=fb$$
runner_pid=
stop_runner() {  # SIGTERM to our own child by PID, then reap it; its status is returned
  local status=0
  kill -TERM "$runner_pid" 2>/dev/null || true
  wait "$runner_pid" || status=$?
  runner_pid=
  return "$status"
}
cleanup() {
  [ -z "$runner_pid" ] || stop_runner || true
  "$here/lab/down.sh" "$prefix" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# TCP bits/s received, then UDP 64-byte datagrams/s received (bounded by -t).
measure() {
  local tcp udp
  tcp=$("$here/lab/exec.sh" "$prefix" vpnc iperf3 -c 10.99.0.1 -p 5201 -t "$seconds" -J |
        python3 -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"])')
  udp=$("$here/lab/exec.sh" "$prefix" vpnc iperf3 -c 10.99.0.1 -p 5201 -u -l 64 -b 0 -t "$seconds" -J |
        python3 -c 'import json,sys; s=json.load(sys.stdin)["end"]["sum"]; print((s["packets"]-s["lost_packets"])/s["seconds"])')
  echo "$tcp $udp"
}
echo_returns() {  # one datagram through the lab and back
  "$here/lab/exec.sh" "$prefix" vpnc sh -c \
    'echo corvane-echo | socat -T2 - UDP4-SENDTO:10.99.0.1:7777' 2>/dev/null | grep -q corvane-echo
}

"$here/lab/up.sh" "$prefix" "$build" --route-back >/dev/null
log=/run/corvane-lab/$prefix/dual_filter_runner.log

# (a) no filter: corvflt passes everything in mode 0.
read -r base_tcp base_udp < <(measure)

# (b) the dual filter on both adapters, passing everything.
"$here/lab/exec.sh" "$prefix" gw "$runner" corvane prov0 >"$log" 2>&1 &
runner_pid=$!
for _ in $(seq 100); do
  grep -q '^filtering' "$log" && break
  kill -0 "$runner_pid" 2>/dev/null || break
  sleep 0.05
done
grep -q '^filtering' "$log" || { echo "bench-filter-lab: the filter did not start:" >&2; cat "$log" >&2; exit 1; }
read -r filt_tcp filt_udp < <(measure)
stop_runner || { echo "bench-filter-lab: the filter did not stop cleanly:" >&2; cat "$log" >&2; exit 1; }

# Figures from adapters that were never filtered would be meaningless: every slot and
# direction must have seen the load (TCP and UDP go out of corvane's stack and come back).
python3 - "$log" <<'PY' || { cat "$log" >&2; exit 1; }
import re, sys
lines = [re.match(r"(\S+): outgoing (\d+) incoming (\d+)$", l) for l in open(sys.argv[1])]
counts = {m[1]: (int(m[2]), int(m[3])) for m in lines if m}
if set(counts) != {"corvane", "prov0"} or min(min(c) for c in counts.values()) == 0:
    sys.exit(f"bench-filter-lab: a slot or direction saw no packets: {counts}")
PY
# Stopping must leave both adapters forwarding again in mode 0.
echo_returns || { echo "bench-filter-lab: no UDP echo after the filter stopped" >&2; exit 1; }

echo "vpnc -> inet with plain routing in gw, $seconds s per figure:"
python3 - "$base_tcp" "$base_udp" "$filt_tcp" "$filt_udp" <<'PY'
import sys
bt, bu, ft, fu = map(float, sys.argv[1:])
print(f"  UDP64  mode 0 {bu:10.0f} pkt/s    dual filter {fu:10.0f} pkt/s    ratio {fu/bu:.2f}")
print(f"  TCP    mode 0 {bt/1e6:10.1f} Mbit/s   dual filter {ft/1e6:10.1f} Mbit/s   ratio {ft/bt:.2f}")
PY
sed 's/^/  slot /' < <(grep -E ': outgoing [0-9]+ incoming [0-9]+$' "$log")
