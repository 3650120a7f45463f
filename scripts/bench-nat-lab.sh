#!/usr/bin/env bash
# Throughput vpnc -> inet through the NAT gateway against kernel masquerade in gw (the
# driver in mode 0), in two lab runs with no route back. Prints iperf3 TCP throughput and
# the UDP 64-byte packet rate of each, and the gateway's share of the baseline. Root only.
#
# usage: scripts/bench-nat-lab.sh [BUILD_DIR] [SECONDS]
#   BUILD_DIR  a linux build directory with corvflt and nat_gateway_runner (default build/linux)
#   SECONDS    length of each iperf3 run (default 5)
# NAT_LAB_COSTS=1 (needs perf, SECONDS >= 3) adds what each UDP run cost per packet that
# reached inet: system calls and CPU time of corvflt (and of the gateway), counted by
# `perf stat` over the middle of the run.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$here/build/linux}")
seconds=${2:-5}
runner=$build/bench/nat_gateway/nat_gateway_runner
[ "$(id -u)" -eq 0 ] || { echo "bench-nat-lab: needs root" >&2; exit 1; }
[ -x "$runner" ] || { echo "bench-nat-lab: no $runner (build nat_gateway_runner)" >&2; exit 1; }
command -v nft >/dev/null || { echo "bench-nat-lab: needs nft (nftables) for the baseline" >&2; exit 1; }

prefix=nb$$
runner_pid=
state=$(mktemp -d)
cleanup() {
  [ -z "$runner_pid" ] || kill "$runner_pid" 2>/dev/null || true
  [ -z "$runner_pid" ] || wait "$runner_pid" 2>/dev/null || true
  "$here/lab/down.sh" "${prefix}a" >/dev/null 2>&1 || true
  "$here/lab/down.sh" "${prefix}b" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT

# TCP bits/s received, then UDP 64-byte datagrams/s received (bounded by -t), then the
# UDP run's system calls and CPU microseconds per packet of PIDS ("- -" without costs).
measure() {  # PREFIX PIDS
  local tcp udp costs="- -" udp_pid rx0 rx1 stats
  tcp=$("$here/lab/exec.sh" "$1" vpnc iperf3 -c 10.99.0.1 -p 5201 -t "$seconds" -J |
        python3 -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"])')
  "$here/lab/exec.sh" "$1" vpnc iperf3 -c 10.99.0.1 -p 5201 -u -l 64 -b 0 -t "$seconds" -J \
    >"$state/$1-udp.json" &
  udp_pid=$!
  if [ "${NAT_LAB_COSTS:-0}" = 1 ] && [ "$seconds" -ge 3 ]; then
    sleep 1
    rx0=$(ip netns exec "$1-inet" cat /sys/class/net/provw/statistics/rx_packets)
    perf stat -x, -o "$state/$1-perf.csv" -e raw_syscalls:sys_enter,task-clock -p "$2" \
      -- sleep $((seconds - 2)) >/dev/null 2>&1 || true
    rx1=$(ip netns exec "$1-inet" cat /sys/class/net/provw/statistics/rx_packets)
    costs=$(python3 - "$state/$1-perf.csv" $((rx1 - rx0)) <<'PY'
import sys
counts = {}
for line in open(sys.argv[1]):
    f = line.strip().split(",")
    if len(f) > 2:
        try: counts[f[2]] = float(f[0])
        except ValueError: pass
packets = max(int(sys.argv[2]), 1)
print(f"{counts.get('raw_syscalls:sys_enter', 0) / packets:.2f} {counts.get('task-clock', 0) * 1000 / packets:.2f}")
PY
)
  fi
  wait "$udp_pid"
  udp=$(python3 -c 'import json,sys; s=json.load(sys.stdin)["end"]["sum"]; print((s["packets"]-s["lost_packets"])/s["seconds"])' \
        <"$state/$1-udp.json")
  echo "$tcp $udp $costs"
}

# Baseline: kernel masquerade out of prov0, corvflt passing everything (mode 0).
"$here/lab/up.sh" "${prefix}a" "$build" >/dev/null
ip netns exec "${prefix}a-gw" nft -f - <<'NFT'
table ip benchnat {
  chain post { type nat hook postrouting priority 100; oifname "prov0" masquerade; }
}
NFT
. "/run/corvane-lab/${prefix}a/env"
read -r base_tcp base_udp base_calls base_cpu < <(measure "${prefix}a" "$LAB_CORVFLT_PID")
"$here/lab/down.sh" "${prefix}a" >/dev/null

# The NAT gateway in gw, forwarding left to it.
"$here/lab/up.sh" "${prefix}b" "$build" --no-forward >/dev/null
log=/run/corvane-lab/${prefix}b/nat_gateway_runner.log
"$here/lab/exec.sh" "${prefix}b" gw "$runner" corvane >"$log" 2>&1 &
runner_pid=$!
for _ in $(seq 100); do
  grep -q "NAT was started successfully\|watchdog: NAT was successfully started" "$log" && break
  sleep 0.1
done
grep -q "successfully started\|started successfully" "$log" || { echo "bench-nat-lab: gateway did not start:" >&2; cat "$log" >&2; exit 1; }
. "/run/corvane-lab/${prefix}b/env"
read -r nat_tcp nat_udp nat_calls nat_cpu < <(measure "${prefix}b" "$LAB_CORVFLT_PID,$runner_pid")
kill "$runner_pid"; wait "$runner_pid" || true; runner_pid=

python3 - "$base_tcp" "$base_udp" "$nat_tcp" "$nat_udp" "$base_calls" "$base_cpu" "$nat_calls" "$nat_cpu" <<'PY'
import sys
bt, bu, nt, nu = map(float, sys.argv[1:5])
print(f"TCP  masquerade {bt/1e6:9.1f} Mbit/s   NAT gateway {nt/1e6:9.1f} Mbit/s   ratio {nt/bt:.2f}")
print(f"UDP64 masquerade {bu:9.0f} pkt/s    NAT gateway {nu:9.0f} pkt/s    ratio {nu/bu:.2f}")
if sys.argv[5] != "-":
    bc, bcpu, nc, ncpu = sys.argv[5:9]
    print(f"UDP64 per packet: masquerade (corvflt) {bc} syscalls {bcpu} us CPU   "
          f"NAT gateway (corvflt + gateway) {nc} syscalls {ncpu} us CPU")
PY
