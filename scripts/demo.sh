#!/usr/bin/env bash
# The demo: a VPN client online through corvane-service in mode nat, then in mode proxy
# (directly, through dante and through tinyproxy, switched by the proxy file without a
# restart), in the namespace lab.
#
#   scripts/demo.sh BUILD_DIR [PREFIX]
#
# Brings up the lab without a route back to the clients (only NAT can carry their replies),
# starts corvane-service in the gw namespace as an admin would run it in a console, then from
# the client namespace fetches a page, resolves names, asks for the time, echoes UDP and pings
# an outside host. Stops the service as Ctrl+C would and tears the lab down. Exits non-zero if any step
# fails. Root only; nothing leaves the lab's namespaces.
set -uo pipefail
build=${1:?usage: scripts/demo.sh BUILD_DIR [PREFIX]}
prefix=${2:-demo$$}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$build" && pwd)
service="$build/src/service/corvane-service"
python=${LAB_PYTHON:-/usr/bin/python3}
state=/run/corvane-lab/$prefix
failures=0
service_pid=

say() { printf '%s\n' "$*"; }
step() {  # description, command...
  local what=$1; shift
  local out
  if out=$("$@" 2>&1); then
    printf '  ok    %s\n' "$what"
  else
    printf '  FAIL  %s\n' "$what"
    printf '%s\n' "$out" | tail -n 5 | sed 's/^/        /'
    failures=$((failures + 1))
  fi
}
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -INT "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
  fi
  "$here/lab/down.sh" "$prefix" >/dev/null 2>&1
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || { say "demo: needs root (network namespaces)"; exit "${DEMO_NOT_ROOT_EXIT:-1}"; }
[ -x "$service" ] || { say "demo: $service is not built"; exit 1; }

say "== Corvane demo: mode nat, then mode proxy, in the namespace lab ($prefix) =="
say "   vpnc 10.66.0.2 --(corvane, TUN)-- gw --(prov0, TAP)-- inet 10.99.0.1 (web, DNS on 1.1.1.1)"
if ! "$here/lab/up.sh" "$prefix" "$build" --no-forward >/tmp/corvane-demo-up.$$ 2>&1; then
  say "demo: the lab did not come up:"; tail -n 15 /tmp/corvane-demo-up.$$; rm -f /tmp/corvane-demo-up.$$
  exit 1
fi
rm -f /tmp/corvane-demo-up.$$
. "$state/env"

in_vpnc() { "$here/lab/exec.sh" "$prefix" vpnc "$@"; }
wait_for_line() {  # text, log: up to 10 s while the service runs
  for _ in $(seq 1 100); do
    grep -q "$1" "$2" && return 0
    kill -0 "$service_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
start_service() {  # mode, log
  say "-- gw: corvane-service run -mode $1 -interface corvane -log-level debug"
  env CORVANE_PROXY_ENV="$state/proxy.env" "$here/lab/exec.sh" "$prefix" gw \
    "$service" run -mode "$1" -interface corvane -log-level debug >"$2" 2>&1 &
  service_pid=$!
}
stop_service() {  # log
  say "-- gw: Ctrl+C"
  kill -INT "$service_pid"
  stopped=no
  for _ in $(seq 1 100); do
    kill -0 "$service_pid" 2>/dev/null || { stopped=yes; break; }
    sleep 0.1
  done
  step "corvane-service ended on Ctrl+C" test "$stopped" = yes
  wait "$service_pid" 2>/dev/null
  service_pid=
  say "-- corvane-service's log (end)"
  sed 's/^/   /' "$1" | tail -n 8
}
# The web server's log line of a request: who connected for PATH.
peer_of() { grep -F "GET $1 " "$state/web.log" | tail -n 1 | cut -d' ' -f1; }

say "== mode nat =="
log="$state/corvane-service-nat.log"
start_service nat "$log"
# The gateway learns its external address from its probe before NAT carries traffic.
wait_for_line "NAT was started successfully" "$log"
step "gateway started" grep -q "NAT was started successfully" "$log"

say "-- vpnc: a VPN client uses the outside network"
step "curl http://10.99.0.1:8080/ returns the lab page" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc curl -sS --max-time 5 http://10.99.0.1:8080/?nat | grep -q 'corvane lab web'"
step "dig @1.1.1.1 web.corvane.test answers 10.99.0.1" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc dig +short +time=2 +tries=2 @1.1.1.1 web.corvane.test | grep -qx 10.99.0.1"
step "ping 10.99.0.1" in_vpnc ping -c 2 -W 2 10.99.0.1
step "the web server saw the gateway's external address 10.99.0.2" test "$(peer_of /?nat)" = 10.99.0.2
stop_service "$log"

say "== mode proxy =="
: >"$state/proxy.env"
log="$state/corvane-service-proxy.log"
start_service proxy "$log"
wait_for_line "PROXY started" "$log"
step "gateway started, filter on corvane" grep -q "PROXY started" "$log"

say "-- no proxy configured: the relays connect directly"
step "curl http://10.99.0.1:8080/ through the local relay" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc curl -sS --max-time 5 'http://10.99.0.1:8080/?direct' | grep -q 'corvane lab web'"
step "the web server saw the gateway's address 10.99.0.2" test "$(peer_of /?direct)" = 10.99.0.2
step "dig @10.66.0.1 (the client's own resolver) answers through the forwarder" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc dig +short +time=2 +tries=2 @10.66.0.1 web.corvane.test | grep -qx 10.99.0.1"
step "an NTP client gets the time from the gateway" in_vpnc "$python" "$here/lab/peers/ntp_query.py" 10.99.0.1
step "UDP echo 10.99.0.1:7777" \
  sh -c "echo direct-udp | '$here/lab/exec.sh' '$prefix' vpnc socat -t2 - UDP:10.99.0.1:7777 | grep -qx direct-udp"

say "-- proxy.env: all_proxy=socks5://10.99.0.1:1080 (dante), no restart"
echo "all_proxy=socks5://10.99.0.1:1080" >"$state/proxy.env"
wait_for_line "Switching to Proxy: 10.99.0.1 : 1080" "$log"
step "curl through dante" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc curl -sS --max-time 5 'http://10.99.0.1:8080/?socks' | grep -q 'corvane lab web'"
step "the web server saw dante (10.99.0.1) as its peer" test "$(peer_of /?socks)" = 10.99.0.1
step "UDP echo through dante's UDP ASSOCIATE" \
  sh -c "echo socks-udp | '$here/lab/exec.sh' '$prefix' vpnc socat -t2 - UDP:10.99.0.1:7777 | grep -qx socks-udp"

say "-- proxy.env: http_proxy=http://10.99.0.1:8888 (tinyproxy)"
echo "http_proxy=http://10.99.0.1:8888" >"$state/proxy.env"
wait_for_line "Switching to Proxy: 10.99.0.1 : 8888" "$log"
step "curl through tinyproxy (HTTP CONNECT)" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc curl -sS --max-time 5 'http://10.99.0.1:8080/?http' | grep -q 'corvane lab web'"
step "the web server saw tinyproxy (10.99.0.1) as its peer" test "$(peer_of /?http)" = 10.99.0.1
stop_service "$log"

"$here/lab/down.sh" "$prefix" >/dev/null 2>&1
step "lab torn down, nothing left" sh -c "! ip netns list | grep -q '^$prefix-'"
trap - EXIT

if [ "$failures" -ne 0 ]; then
  say "demo: $failures step(s) failed"
  exit 1
fi
say "demo: every step passed"
