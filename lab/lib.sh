# Shared by the lab scripts (sourced, not run): names derived from a run's prefix, the state
# directory, and the checked stop of a process by PID.
#
# A run's prefix names everything it owns, so parallel runs never collide:
#   namespaces  PREFIX-vpnc  PREFIX-gw  PREFIX-inet
#   state dir   $LAB_RUN_DIR/PREFIX (default /run/corvane-lab/PREFIX): pids, logs, configs,
#               the corvflt control socket (CORVFLT_DEVICE_DIR=.../dev)
#   resolv.conf /etc/netns/PREFIX-{vpnc,gw,inet}/resolv.conf

LAB_RUN_DIR=${LAB_RUN_DIR:-/run/corvane-lab}

lab_say() { echo "lab: $*" >&2; }
lab_die() { echo "lab: error: $*" >&2; exit 1; }

# The prefix ends up in rm -rf paths and namespace names: accept only a short plain word.
lab_check_prefix() {
  [[ ${1:-} =~ ^[a-z0-9]{1,16}$ ]] ||
    lab_die "prefix must be 1-16 characters of [a-z0-9], got '${1:-}'"
}

lab_names() {  # PREFIX: sets the names of one run
  lab_check_prefix "$1"
  LAB_PREFIX=$1
  LAB_VPNC=$1-vpnc
  LAB_GW=$1-gw
  LAB_INET=$1-inet
  LAB_DIR=$LAB_RUN_DIR/$1
  LAB_PIDS=$LAB_DIR/pids
  LAB_DEVICE_DIR=$LAB_DIR/dev
}

lab_ns_exists() { [ -e "/run/netns/$1" ]; }

# True while PID names a live process (a zombie counts as gone: its parent or init reaps it,
# it holds no socket and no device any more).
lab_alive() {
  local stat
  stat=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [ -n "$stat" ] && [[ $stat != Z* ]]
}

# Signals PID only while it still runs in namespace NS: a PID from a state file may have been
# reused by an unrelated process since.
lab_signal_in_ns() {  # SIGNAL PID NS
  local where
  where=$(ip netns identify "$2" 2>/dev/null) || return 1
  [ "$where" = "$3" ] || return 1
  kill "-$1" "$2" 2>/dev/null
}

# Microseconds of the wall clock, for deadlines that hold however long each poll takes.
now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }
