#!/usr/bin/env bash
# Tears down one lab run: stops every process lab/up.sh started (by PID, only while it still
# runs in the run's namespace), then whatever else is left inside the run's namespaces (peer
# children, clients a test left behind), deletes the namespaces, their /etc/netns entries
# and the state directory. Safe to run on a partial run, after a failure, or twice.
#
# usage: lab/down.sh PREFIX
# Exits 1 only when something could not be removed (and says what).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/lib.sh"
[ $# -eq 1 ] || { echo "usage: lab/down.sh PREFIX" >&2; exit 2; }
lab_names "$1"
[ "$(id -u)" -eq 0 ] || lab_die "needs root"
namespaces=("$LAB_VPNC" "$LAB_GW" "$LAB_INET")

# Pairs "PID NS" of everything to stop: the recorded peers, then any other process inside.
targets=()
if [ -f "$LAB_PIDS" ]; then
  while read -r _name pid ns; do
    [[ $pid =~ ^[0-9]+$ ]] && targets+=("$pid $ns")
  done <"$LAB_PIDS"
fi
collect_inside() {
  local ns pid
  for ns in "${namespaces[@]}"; do
    lab_ns_exists "$ns" || continue
    for pid in $(ip netns pids "$ns" 2>/dev/null); do targets+=("$pid $ns"); done
  done
}
stop_all() {  # SIGNAL: signals every target, waits up to 3 s until none is alive
  local t i alive
  for t in "${targets[@]}"; do lab_signal_in_ns "$1" $t || true; done
  for ((i = 0; i < 150; i++)); do
    alive=0
    for t in "${targets[@]}"; do
      if lab_alive "${t%% *}" && [ "$(ip netns identify "${t%% *}" 2>/dev/null)" = "${t#* }" ]; then
        alive=1
        break
      fi
    done
    [ $alive -eq 0 ] && return 0
    sleep 0.02
  done
  return 1
}

collect_inside
if [ ${#targets[@]} -gt 0 ]; then
  stop_all TERM || { lab_say "processes ignored SIGTERM; sending SIGKILL"; stop_all KILL; }
fi
# Children a peer forked while it was stopping (or a client started meanwhile).
targets=()
collect_inside
if [ ${#targets[@]} -gt 0 ]; then
  lab_say "stopping leftover processes in the lab namespaces: ${targets[*]}"
  stop_all TERM || stop_all KILL
fi

rc=0
for ns in "${namespaces[@]}"; do
  if lab_ns_exists "$ns"; then
    left=$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')
    [ -z "$left" ] || { lab_say "still running in $ns: $left"; rc=1; }
    ip netns del "$ns" || { lab_say "cannot delete namespace $ns"; rc=1; }
  fi
  rm -rf "/etc/netns/$ns"
done
rm -rf "$LAB_DIR"
exit $rc
