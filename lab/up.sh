#!/usr/bin/env bash
# Builds one run of the namespace lab and starts its processes; lab/down.sh PREFIX undoes it.
#
#   vpnc (VPN clients) <== corvane (TUN) == gw (corvflt) == prov0 (TAP) ==> inet (outside)
#   corvw 10.66.0.2/24     corvane 10.66.0.1/24   prov0 10.99.0.2/24   provw 10.99.0.1/24
#                                                                      lo 1.1.1.1, 8.8.8.8
#
# gw runs corvflt with both adapters (the wire sides live in vpnc and inet), forwards IPv4
# (in its own namespace only) and routes by default to 10.99.0.1. inet runs the peers:
# web 10.99.0.1:8080 and :8081 (page www/index.html, 1 MiB www/big.bin), dnsmasq on
# 1.1.1.1:53 and 8.8.8.8:53 (zone corvane.test), danted SOCKS5 10.99.0.1:1080 (CONNECT and
# UDP ASSOCIATE, no auth), tinyproxy 10.99.0.1:8888 (HTTP CONNECT to any port), iperf3
# 10.99.0.1:5201, UDP echo 10.99.0.1:7777. Nothing has a route out of the machine, and
# nothing but the namespaces themselves (and /etc/netns/NAME) appears outside them.
#
# usage: lab/up.sh PREFIX BUILD_DIR [--route-back] [--no-forward] [--parameters FILE]
#   PREFIX       [a-z0-9]{1,16}, unique per run (namespaces PREFIX-vpnc, PREFIX-gw, PREFIX-inet)
#   BUILD_DIR    a linux build directory (or a build root holding linux/); corvflt is taken
#                from BUILD_DIR/src/driver/linux/corvflt unless CORVFLT names it
#   --route-back inet routes 10.66.0.0/24 back via gw (plain host routing); NAT runs omit it
#   --no-forward leave IPv4 forwarding off in gw
#   --parameters corvflt's parameters file (MTUDecrement=, StartupMode=)
# Peers can be replaced with LAB_PYTHON, LAB_DNSMASQ, LAB_DANTED, LAB_TINYPROXY, LAB_IPERF3.
#
# On success it prints the state directory; $STATE/env holds the names and addresses as
# shell assignments. On any failure it says which step or peer failed, shows the end of
# that peer's log, tears down everything started so far and exits 1.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib.sh"

usage() { sed -n 's/^# \{0,1\}//; /^usage:/,/^Peers/p' "$0" | head -n -1 >&2; exit 2; }
[ $# -ge 2 ] || usage
prefix=$1
build=$2
shift 2
route_back=0
forward=1
parameters=
while [ $# -gt 0 ]; do
  case $1 in
    --route-back) route_back=1 ;;
    --no-forward) forward=0 ;;
    --parameters) [ $# -ge 2 ] || usage; parameters=$(realpath "$2"); shift ;;
    *) usage ;;
  esac
  shift
done
lab_names "$prefix"
[ "$(id -u)" -eq 0 ] || lab_die "needs root (network namespaces, TUN/TAP devices)"

corvflt=${CORVFLT:-}
if [ -z "$corvflt" ]; then
  for candidate in "$build/src/driver/linux/corvflt" "$build/linux/src/driver/linux/corvflt"; do
    if [ -x "$candidate" ]; then corvflt=$candidate; break; fi
  done
fi
[ -n "$corvflt" ] && [ -x "$corvflt" ] ||
  lab_die "no corvflt in $build (build the linux configuration first, or set CORVFLT)"
corvflt=$(realpath "$corvflt")
python=${LAB_PYTHON:-/usr/bin/python3}
dnsmasq=${LAB_DNSMASQ:-/usr/sbin/dnsmasq}
danted=${LAB_DANTED:-/usr/sbin/danted}
tinyproxy=${LAB_TINYPROXY:-/usr/bin/tinyproxy}
iperf3=${LAB_IPERF3:-/usr/bin/iperf3}
for tool in "$python" "$dnsmasq" "$danted" "$tinyproxy" "$iperf3" ss curl dig; do
  command -v "$tool" >/dev/null || lab_die "missing $tool (scripts/install-deps.sh installs the lab peers)"
done

for ns in "$LAB_VPNC" "$LAB_GW" "$LAB_INET"; do
  ! lab_ns_exists "$ns" || lab_die "namespace $ns exists: prefix $prefix in use (lab/down.sh $prefix)"
done
mkdir -p "$LAB_RUN_DIR"
# mkdir without -p claims the prefix atomically against a parallel up.sh with the same one.
mkdir -m 0700 "$LAB_DIR" 2>/dev/null ||
  lab_die "$LAB_DIR exists: prefix $prefix in use (lab/down.sh $prefix)"
: >"$LAB_PIDS"

# From here on every failure tears down what exists so far.
trap 'rc=$?; if [ $rc -ne 0 ]; then lab_say "tearing down $prefix after the failure"; "$here/down.sh" "$prefix" >&2 || true; fi' EXIT
started=$(now_us)

declare -A pid
declare -A log
fail_peer() {  # NAME WHAT
  echo "lab: error: $1 $2; end of ${log[$1]}:" >&2
  tail -n 15 "${log[$1]}" 2>/dev/null | sed 's/^/  | /' >&2
  exit 1
}
# Starts CMD in namespace NS in the background, its output in $LAB_DIR/NAME.log. `ip netns
# exec` execs CMD, so $! is the daemon itself, the PID down.sh stops.
start() {  # NAME NS CMD...
  local name=$1 ns=$2
  shift 2
  log[$name]=$LAB_DIR/$name.log
  ip netns exec "$ns" "$@" >"${log[$name]}" 2>&1 </dev/null &
  pid[$name]=$!
  echo "$name $! $ns" >>"$LAB_PIDS"
}
# Polls every 20 ms for at most 5 s (by the clock: each poll itself takes ~15 ms), and fails
# fast when the peer has exited.
wait_listening() {  # NAME PROTO(t|u) ADDRESS PORT
  local deadline=$(($(now_us) + 5000000))
  while [ "$(now_us)" -lt $deadline ]; do
    if ip netns exec "$LAB_INET" ss -Hln"$2" "sport = :$4" | grep -qF " $3:$4 "; then return 0; fi
    lab_alive "${pid[$1]}" || fail_peer "$1" "exited during start"
    sleep 0.02
  done
  fail_peer "$1" "is not listening on $3:$4 after 5 s"
}

# --- namespaces -------------------------------------------------------------------------
for ns in "$LAB_VPNC" "$LAB_GW" "$LAB_INET"; do
  ip netns add "$ns" || lab_die "cannot create namespace $ns"
  ip -n "$ns" link set lo up
done
# vpnc resolves through its gateway side; gw and inet through the lab's DNS, so that nothing
# started with `ip netns exec` in the lab ever reads the host's resolv.conf. inet needs its
# own before danted and tinyproxy start, or they cannot resolve names for their clients.
write_resolv() {  # NS NAMESERVER
  mkdir -p "/etc/netns/$1"
  printf 'nameserver %s\noptions timeout:1 attempts:1\n' "$2" >"/etc/netns/$1/resolv.conf"
}
write_resolv "$LAB_VPNC" 10.66.0.1
write_resolv "$LAB_GW" 1.1.1.1
write_resolv "$LAB_INET" 1.1.1.1
ip netns exec "$LAB_GW" sysctl -qw net.ipv4.ip_forward="$forward"

# --- corvflt in gw ----------------------------------------------------------------------
mkdir -m 0700 "$LAB_DEVICE_DIR"
corvflt_args=(--adapter "corvane,ip,$LAB_VPNC,corvw" --adapter "prov0,ethernet,$LAB_INET,provw")
[ -z "$parameters" ] || corvflt_args=(--parameters "$parameters" "${corvflt_args[@]}")
start corvflt "$LAB_GW" env CORVFLT_DEVICE_DIR="$LAB_DEVICE_DIR" "$corvflt" "${corvflt_args[@]}"
deadline=$(($(now_us) + 5000000))
until grep -qs 'ready:' "${log[corvflt]}"; do
  lab_alive "${pid[corvflt]}" || fail_peer corvflt "exited during start"
  [ "$(now_us)" -lt $deadline ] || fail_peer corvflt "is not ready after 5 s"
  sleep 0.02
done

# --- addresses and routes ---------------------------------------------------------------
ip -n "$LAB_VPNC" addr add 10.66.0.2/24 dev corvw
ip -n "$LAB_VPNC" link set corvw up
# A VPN client sends everything into its tunnel; the tunnel ends in gw, which has no way out.
ip -n "$LAB_VPNC" route add default via 10.66.0.1 dev corvw
ip -n "$LAB_GW" addr add 10.66.0.1/24 dev corvane
ip -n "$LAB_GW" link set corvane up
ip -n "$LAB_GW" addr add 10.99.0.2/24 dev prov0
ip -n "$LAB_GW" link set prov0 up
ip -n "$LAB_GW" route add default via 10.99.0.1 dev prov0
ip -n "$LAB_INET" addr add 10.99.0.1/24 dev provw
ip -n "$LAB_INET" link set provw up
ip -n "$LAB_INET" addr add 1.1.1.1/32 dev lo
ip -n "$LAB_INET" addr add 8.8.8.8/32 dev lo
[ "$route_back" -eq 0 ] || ip -n "$LAB_INET" route add 10.66.0.0/24 via 10.99.0.2 dev provw

# --- peers in inet ----------------------------------------------------------------------
www=$LAB_DIR/www
mkdir "$www"
page="corvane lab web $prefix"
printf '<html><body>%s</body></html>\n' "$page" >"$www/index.html"
head -c 1048576 /dev/urandom >"$www/big.bin"
big_sha256=$(sha256sum "$www/big.bin" | cut -d' ' -f1)

cat >"$LAB_DIR/dnsmasq.conf" <<CONF
port=53
listen-address=1.1.1.1
listen-address=8.8.8.8
bind-interfaces
no-resolv
no-hosts
local=/corvane.test/
host-record=web.corvane.test,10.99.0.1
address=/wild.corvane.test/10.99.0.1
txt-record=txt.corvane.test,"corvane lab"
log-queries
log-facility=$LAB_DIR/dnsmasq-queries.log
pid-file=$LAB_DIR/dnsmasq.pid
CONF
cat >"$LAB_DIR/danted.conf" <<CONF
logoutput: $LAB_DIR/danted-server.log
internal: 10.99.0.1 port = 1080
external: 10.99.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 0.0.0.0/0 to: 0.0.0.0/0
  log: error connect disconnect
}
socks pass {
  from: 0.0.0.0/0 to: 0.0.0.0/0
  command: connect udpassociate
  log: error connect disconnect
}
socks pass {
  from: 0.0.0.0/0 to: 0.0.0.0/0
  command: udpreply
  log: error connect disconnect
}
CONF
# No Allow and no ConnectPort lines: every client, CONNECT to every port.
cat >"$LAB_DIR/tinyproxy.conf" <<CONF
Port 8888
Listen 10.99.0.1
Timeout 60
LogFile "$LAB_DIR/tinyproxy-server.log"
LogLevel Info
PidFile "$LAB_DIR/tinyproxy.pid"
MaxClients 50
DisableViaHeader Yes
CONF

# All start at once; each is then waited for (danted writes its errors to its logoutput
# file, so that file is the log shown when it fails).
start web "$LAB_INET" "$python" -u "$here/peers/web.py" 10.99.0.1 "$www" 8080 8081
start dnsmasq "$LAB_INET" "$dnsmasq" -k --conf-file="$LAB_DIR/dnsmasq.conf"
start danted "$LAB_INET" "$danted" -f "$LAB_DIR/danted.conf" -p "$LAB_DIR/danted.pid"
log[danted]=$LAB_DIR/danted-server.log
start tinyproxy "$LAB_INET" "$tinyproxy" -d -c "$LAB_DIR/tinyproxy.conf"
start iperf3 "$LAB_INET" "$iperf3" -s -B 10.99.0.1 -p 5201 -I "$LAB_DIR/iperf3.pid"
start udp_echo "$LAB_INET" "$python" -u "$here/peers/udp_echo.py" 10.99.0.1 7777

wait_listening dnsmasq u 1.1.1.1 53
wait_listening dnsmasq u 8.8.8.8 53
wait_listening danted t 10.99.0.1 1080
wait_listening tinyproxy t 10.99.0.1 8888
wait_listening iperf3 t 10.99.0.1 5201
wait_listening udp_echo u 10.99.0.1 7777
wait_listening web t 10.99.0.1 8080
wait_listening web t 10.99.0.1 8081
# One functional probe each for the two peers every test depends on.
ip netns exec "$LAB_INET" curl -s --max-time 3 http://10.99.0.1:8080/ | grep -qF "$page" ||
  fail_peer web "does not serve its page"
[ "$(ip netns exec "$LAB_INET" dig +short +time=1 +tries=2 @1.1.1.1 web.corvane.test)" = 10.99.0.1 ] ||
  fail_peer dnsmasq "does not answer web.corvane.test"

cat >"$LAB_DIR/env" <<ENV
LAB_PREFIX=$prefix
LAB_DIR=$LAB_DIR
LAB_VPNC=$LAB_VPNC
LAB_GW=$LAB_GW
LAB_INET=$LAB_INET
CORVFLT_DEVICE_DIR=$LAB_DEVICE_DIR
LAB_CORVFLT_PID=${pid[corvflt]}
LAB_CLIENT_ADDRESS=10.66.0.2
LAB_GW_CLIENT_ADDRESS=10.66.0.1
LAB_GW_PROVIDER_ADDRESS=10.99.0.2
LAB_INET_ADDRESS=10.99.0.1
LAB_WEB_PAGE='$page'
LAB_WEB_BIG_SHA256=$big_sha256
ENV
elapsed=$((($(now_us) - started) / 1000))
lab_say "$prefix up in $elapsed ms (state $LAB_DIR)"
echo "$LAB_DIR"
