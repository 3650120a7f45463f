#!/usr/bin/env bash
# Mode proxy against mode nat and plain kernel routing over the same lab path, each in a lab
# run of its own, measured in one invocation: iperf3 TCP throughput vpnc -> inet, new TCP
# connections per second vpnc -> inet, and DNS (dnsperf from vpnc at its resolver 10.66.0.1:
# the forwarder in mode proxy, against dnsmasq in gw forwarding without a cache to the same
# server 1.1.1.1 over routing). Prints the figures and the ratios. Root only.
#
# usage: scripts/bench-proxy-lab.sh [BUILD_DIR] [SECONDS]
#   BUILD_DIR  a linux build with corvflt and corvane-service (default build/linux)
#   SECONDS    length of each measurement (default 5)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$here/build/linux}")
seconds=${2:-5}
service=$build/src/service/corvane-service
python=${LAB_PYTHON:-/usr/bin/python3}
[ "$(id -u)" -eq 0 ] || { echo "bench-proxy-lab: needs root" >&2; exit 1; }
[ -x "$service" ] || { echo "bench-proxy-lab: no $service (build the linux configuration)" >&2; exit 1; }
command -v dnsperf >/dev/null || { echo "bench-proxy-lab: needs dnsperf (scripts/install-deps.sh)" >&2; exit 1; }

prefix=pb$$
pids=()
work=$(mktemp -d)
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  for run in r n p; do "$here/lab/down.sh" "$prefix$run" >/dev/null 2>&1 || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Unique names under the lab's wildcard zone: dnsmasq merges identical queries in flight.
for i in $(seq 1 200000); do echo "q$i.wild.corvane.test A"; done >"$work/queries"

background() {  # name, command...: started and remembered for cleanup
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
}

# iperf3 TCP bits/s, connections/s (8 workers), DNS queries/s and average latency (ms).
measure() {  # PREFIX
  local tcp rate dns
  tcp=$("$here/lab/exec.sh" "$1" vpnc iperf3 -c 10.99.0.1 -p 5201 -t "$seconds" -J |
        "$python" -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"])')
  background "$1-rate-server" "$here/lab/exec.sh" "$1" inet "$python" "$here/lab/peers/connect_rate.py" server 10.99.0.1 9100
  sleep 0.5
  rate=$("$here/lab/exec.sh" "$1" vpnc "$python" "$here/lab/peers/connect_rate.py" client 10.99.0.1 9100 "$seconds" 8)
  dns=$("$here/lab/exec.sh" "$1" vpnc dnsperf -s 10.66.0.1 -d "$work/queries" -l "$seconds" -q 100 -t 2 |
        awk '/Queries per second/ {q=$4} /Average Latency/ {l=$4*1000} END {printf "%s %.3f", q, l}')
  echo "$tcp $rate $dns"
}

# Ready once a client fetches the lab page (the service logs nothing at level info).
wait_ready() {  # prefix, log
  for _ in $(seq 50); do
    "$here/lab/exec.sh" "$1" vpnc curl -s --max-time 1 -o /dev/null http://10.99.0.1:8080/ && return 0
    sleep 0.2
  done
  echo "bench-proxy-lab: the gateway did not carry traffic:" >&2; tail -n 20 "$2" >&2; return 1
}

# Routing: forwarding on, inet routes back; dnsmasq in gw answers vpnc's resolver by
# forwarding every query to 1.1.1.1 (no cache, one server at a time: its default).
"$here/lab/up.sh" "${prefix}r" "$build" --route-back >/dev/null 2>&1
background dnsmasq "$here/lab/exec.sh" "${prefix}r" gw dnsmasq -k --conf-file=/dev/null --port=53 \
  --listen-address=10.66.0.1 --bind-interfaces --no-resolv --no-hosts --server=1.1.1.1 --cache-size=0 \
  --user=root --pid-file=
sleep 0.5
read -r route_tcp route_rate route_qps route_latency < <(measure "${prefix}r")
"$here/lab/down.sh" "${prefix}r" >/dev/null

# Mode nat (DNS to 10.66.0.1 has no answer there: its DNS figures are not used).
"$here/lab/up.sh" "${prefix}n" "$build" --no-forward >/dev/null 2>&1
background nat "$here/lab/exec.sh" "${prefix}n" gw "$service" run -mode nat -interface corvane -log-level info
wait_ready "${prefix}n" "$work/nat.log"
tcp_only() {
  "$here/lab/exec.sh" "$1" vpnc iperf3 -c 10.99.0.1 -p 5201 -t "$seconds" -J |
    "$python" -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"])'
}
nat_tcp=$(tcp_only "${prefix}n")
background nat-rate-server "$here/lab/exec.sh" "${prefix}n" inet "$python" "$here/lab/peers/connect_rate.py" server 10.99.0.1 9100
sleep 0.5
nat_rate=$("$here/lab/exec.sh" "${prefix}n" vpnc "$python" "$here/lab/peers/connect_rate.py" client 10.99.0.1 9100 "$seconds" 8)
"$here/lab/down.sh" "${prefix}n" >/dev/null

# Mode proxy, no upstream proxy: the relays connect directly.
"$here/lab/up.sh" "${prefix}p" "$build" --no-forward >/dev/null 2>&1
: >"$work/proxy.env"
background proxy env CORVANE_PROXY_ENV="$work/proxy.env" "$here/lab/exec.sh" "${prefix}p" gw \
  "$service" run -mode proxy -interface corvane -log-level info
wait_ready "${prefix}p" "$work/proxy.log"
read -r proxy_tcp proxy_rate proxy_qps proxy_latency < <(measure "${prefix}p")
"$here/lab/down.sh" "${prefix}p" >/dev/null

"$python" - "$route_tcp" "$nat_tcp" "$proxy_tcp" "$route_rate" "$nat_rate" "$proxy_rate" \
  "$route_qps" "$route_latency" "$proxy_qps" "$proxy_latency" <<'PY'
import sys
rt, nt, pt, rr, nr, pr, rq, rl, pq, pl = map(float, sys.argv[1:])
print(f"TCP throughput  routing {rt/1e6:8.1f} Mbit/s  nat {nt/1e6:8.1f} Mbit/s  proxy {pt/1e6:8.1f} Mbit/s"
      f"   proxy/nat {pt/nt:.2f}  proxy/routing {pt/rt:.2f}")
print(f"connections/s   routing {rr:8.0f}         nat {nr:8.0f}         proxy {pr:8.0f}"
      f"           proxy/nat {pr/nr:.2f}  proxy/routing {pr/rr:.2f}")
print(f"DNS             dnsmasq in gw {rq:8.0f} q/s {rl:6.3f} ms   forwarder {pq:8.0f} q/s {pl:6.3f} ms"
      f"   q/s ratio {pq/rq:.2f}  latency ratio {pl/rl:.2f}")
PY
