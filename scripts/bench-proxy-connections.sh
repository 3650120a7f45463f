#!/usr/bin/env bash
# New connections per second on loopback (connect, 1 KiB each way, close) through
# tcp_proxy_server (direct) and through haproxy in TCP mode, each a process of its own in
# front of the same echo server, at concurrency 1 and 8. Runs of one second alternate
# between the two, so that both meet the same machine state (TIME_WAIT sockets pile up over
# a series); prints the median of each and the relay's ratio to haproxy, then what a
# thread-to-thread wake-up costs on this machine.
#
# usage: scripts/bench-proxy-connections.sh [BUILD_DIR] [ROUNDS]
#   BUILD_DIR  a linux build directory with bench/proxy/proxy_relay_runner and
#              bench/proxy/proxy_connection_cycler (default build/linux)
#   ROUNDS     runs of each per concurrency (default 5)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$here/build/linux}")
rounds=${2:-5}
runner=$build/bench/proxy/proxy_relay_runner
cycler=$build/bench/proxy/proxy_connection_cycler
for binary in "$runner" "$cycler"; do
  [ -x "$binary" ] || { echo "bench-proxy-connections: no $binary (build it)" >&2; exit 1; }
done
bench_name=bench-proxy-connections
# shellcheck source=loopback-peers.sh
source "$here/scripts/loopback-peers.sh"
require_tools haproxy python3

start_listening echo "$cycler" echo
echo_port=$listening_port
start_listening relay "$runner" "$echo_port"
relay_port=$listening_port

start_haproxy "$echo_port"

for concurrency in 1 8; do
  for round in $(seq "$rounds"); do
    for name in relay haproxy; do
      [ "$name" = relay ] && port=$relay_port || port=$haproxy_port
      rate=$("$cycler" cycle "$port" "$concurrency" 1 | sed -n 's/^cycles_per_second //p')
      echo "$concurrency $name $rate" >>"$work/results"
    done
  done
done

python3 - "$work/results" <<'PY'
import sys, statistics, collections
runs = collections.defaultdict(list)
for line in open(sys.argv[1]):
    concurrency, name, rate = line.split()
    runs[(concurrency, name)].append(float(rate))
for concurrency in ("1", "8"):
    relay, haproxy = runs[(concurrency, "relay")], runs[(concurrency, "haproxy")]
    print(f"concurrency {concurrency}: relay {statistics.median(relay):7.0f}/s  "
          f"haproxy {statistics.median(haproxy):7.0f}/s  "
          f"relay/haproxy {statistics.median(relay) / statistics.median(haproxy):.2f}  "
          f"(runs: relay " + " ".join(f"{r:.0f}" for r in relay) +
          "; haproxy " + " ".join(f"{r:.0f}" for r in haproxy) + ")")
PY
# What a wake-up of one thread by another costs here: when the relay's workers pass a
# connection's work between them, each pass costs about this much.
handoff=$("$cycler" handoff | sed -n 's/^handoff_us //p')
echo "thread hand-off on this machine: ${handoff} us"
