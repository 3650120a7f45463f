#!/usr/bin/env bash
# Runs a command inside one namespace of a lab run, with CORVFLT_DEVICE_DIR set to that run's
# corvflt control socket directory and the namespace's own resolv.conf.
#
# usage: lab/exec.sh PREFIX vpnc|gw|inet COMMAND [ARG ...]
#   e.g. lab/exec.sh demo vpnc curl http://web.corvane.test:8080/
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib.sh"
[ $# -ge 3 ] || { echo "usage: lab/exec.sh PREFIX vpnc|gw|inet COMMAND [ARG ...]" >&2; exit 2; }
lab_names "$1"
case $2 in
  vpnc) ns=$LAB_VPNC ;;
  gw) ns=$LAB_GW ;;
  inet) ns=$LAB_INET ;;
  *) lab_die "no namespace '$2' (vpnc, gw or inet)" ;;
esac
shift 2
lab_ns_exists "$ns" || lab_die "namespace $ns does not exist (lab/up.sh first)"
exec ip netns exec "$ns" env CORVFLT_DEVICE_DIR="$LAB_DEVICE_DIR" "$@"
