#!/usr/bin/env bash
# Single-stream iperf3 throughput on loopback through tcp_proxy_server (direct), through socat
# and through haproxy in TCP mode, all in one run, with iperf3 straight to its server as the
# ceiling. Prints each in Gbit/s and the relay's ratio to haproxy and to socat.
#
# usage: scripts/bench-proxy-relays.sh [BUILD_DIR] [SECONDS] [ROUNDS]
#   BUILD_DIR  a linux build directory with bench/proxy/proxy_relay_runner (default build/linux)
#   SECONDS    length of each iperf3 run (default 5)
#   ROUNDS     how many times the four runs are repeated, interleaved (default 2)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$here/build/linux}")
seconds=${2:-5}
rounds=${3:-2}
runner=$build/bench/proxy/proxy_relay_runner
[ -x "$runner" ] || { echo "bench-proxy-relays: no $runner (build proxy_relay_runner)" >&2; exit 1; }
bench_name=bench-proxy-relays
# shellcheck source=loopback-peers.sh
source "$here/scripts/loopback-peers.sh"
require_tools iperf3 socat haproxy python3

server_port=$(free_port)
iperf3 -s -B 127.0.0.1 -p "$server_port" >"$work/iperf3-server.log" 2>&1 &
pids+=($!)
wait_listening "$server_port"

start_listening relay "$runner" "$server_port"
relay_port=$listening_port

socat_port=$(free_port)
socat "TCP-LISTEN:$socat_port,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$server_port" 2>"$work/socat.log" &
pids+=($!)
wait_listening "$socat_port"

start_haproxy "$server_port"

# Received bits per second of one iperf3 run to PORT.
measure() {
  iperf3 -c 127.0.0.1 -p "$1" -t "$seconds" -J |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"])'
}

for round in $(seq "$rounds"); do
  for name in direct relay socat haproxy; do
    case $name in
      direct) port=$server_port ;; relay) port=$relay_port ;;
      socat) port=$socat_port ;; haproxy) port=$haproxy_port ;;
    esac
    echo "$name $(measure "$port")" >>"$work/results"
  done
done

python3 - "$work/results" <<'PY'
import sys, collections
runs = collections.defaultdict(list)
for line in open(sys.argv[1]):
    name, bps = line.split()
    runs[name].append(float(bps))
best = {name: max(v) for name, v in runs.items()}
for name in ("direct", "relay", "socat", "haproxy"):
    print(f"{name:8s} " + " ".join(f"{b/1e9:7.2f}" for b in runs[name]) + " Gbit/s")
print(f"relay/haproxy {best['relay']/best['haproxy']:.2f}   relay/socat {best['relay']/best['socat']:.2f}   "
      f"(best of each; direct iperf3 {best['direct']/1e9:.2f} Gbit/s)")
PY
