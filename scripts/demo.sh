#!/usr/bin/env bash
# The demo: a VPN client online through corvane-service in mode nat, in the namespace lab.
#
#   scripts/demo.sh BUILD_DIR [PREFIX]
#
# Brings up the lab without a route back to the clients (only NAT can carry their replies),
# starts corvane-service in the gw namespace as an admin would run it in a console, then from
# the client namespace fetches a page, resolves a name through 1.1.1.1 and pings an outside
# host. Stops the service as Ctrl+C would and tears the lab down. Exits non-zero if any step
# fails. Root only; nothing leaves the lab's namespaces.
set -uo pipefail
build=${1:?usage: scripts/demo.sh BUILD_DIR [PREFIX]}
prefix=${2:-demo$$}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$build" && pwd)
service="$build/src/service/corvane-service"
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

say "== Corvane demo: mode nat in the namespace lab ($prefix) =="
say "   vpnc 10.66.0.2 --(corvane, TUN)-- gw --(prov0, TAP)-- inet 10.99.0.1 (web, DNS on 1.1.1.1)"
if ! "$here/lab/up.sh" "$prefix" "$build" --no-forward >/tmp/corvane-demo-up.$$ 2>&1; then
  say "demo: the lab did not come up:"; tail -n 15 /tmp/corvane-demo-up.$$; rm -f /tmp/corvane-demo-up.$$
  exit 1
fi
rm -f /tmp/corvane-demo-up.$$
. "$state/env"

log="$state/corvane-service.log"
say "-- gw: corvane-service run -mode nat -interface corvane -log-level debug"
"$here/lab/exec.sh" "$prefix" gw "$service" run -mode nat -interface corvane -log-level debug >"$log" 2>&1 &
service_pid=$!

# The gateway learns its external address from its probe before NAT carries traffic.
for _ in $(seq 1 100); do
  grep -q "NAT was started successfully" "$log" && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
step "gateway started" grep -q "NAT was started successfully" "$log"

say "-- vpnc: a VPN client uses the outside network"
step "curl http://10.99.0.1:8080/ returns the lab page" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc curl -sS --max-time 5 http://10.99.0.1:8080/ | grep -q 'corvane lab web'"
step "dig @1.1.1.1 web.corvane.test answers 10.99.0.1" \
  sh -c "'$here/lab/exec.sh' '$prefix' vpnc dig +short +time=2 +tries=2 @1.1.1.1 web.corvane.test | grep -qx 10.99.0.1"
step "ping 10.99.0.1" "$here/lab/exec.sh" "$prefix" vpnc ping -c 2 -W 2 10.99.0.1
step "the web server saw the gateway's external address 10.99.0.2" \
  grep -q '10.99.0.2' "$state/web.log"

say "-- gw: Ctrl+C"
kill -INT "$service_pid"
stopped=no
for _ in $(seq 1 50); do
  kill -0 "$service_pid" 2>/dev/null || { stopped=yes; break; }
  sleep 0.1
done
step "corvane-service ended on Ctrl+C" test "$stopped" = yes
wait "$service_pid" 2>/dev/null
service_pid=

say "-- corvane-service's log"
sed 's/^/   /' "$log" | tail -n 20

"$here/lab/down.sh" "$prefix" >/dev/null 2>&1
step "lab torn down, nothing left" sh -c "! ip netns list | grep -q '^$prefix-'"
trap - EXIT

if [ "$failures" -ne 0 ]; then
  say "demo: $failures step(s) failed"
  exit 1
fi
say "demo: every step passed"
