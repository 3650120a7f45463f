# Sourced by the loopback relay benchmarks: a work directory and the peer processes they
# start, both removed on exit (processes by PID), and helpers to find and wait for ports.
# The caller sets `bench_name` (for messages) before sourcing.

work=$(mktemp -d "/tmp/corvane-$bench_name-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

require_tools() {  # TOOL...
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$bench_name: needs $tool" >&2; exit 1; }
  done
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

wait_listening() {  # PORT
  for _ in $(seq 100); do
    python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1",int(sys.argv[1])),0.2).close()' "$1" \
      2>/dev/null && return 0
    sleep 0.05
  done
  echo "$bench_name: nothing listens on $1" >&2; exit 1
}

# Runs COMMAND in the background until the script ends and waits until it prints
# "listening on PORT"; sets listening_port to that PORT. (Not for $(...): the PID must
# reach this shell's list.)
start_listening() {  # NAME COMMAND...
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q "listening on" "$work/$name.log" && break; sleep 0.05; done
  listening_port=$(sed -n 's/^listening on //p' "$work/$name.log")
  [ -n "$listening_port" ] || { echo "$bench_name: $name did not start" >&2; cat "$work/$name.log" >&2; exit 1; }
}

# haproxy in TCP mode from a free loopback port to DESTINATION; sets haproxy_port.
start_haproxy() {  # DESTINATION_PORT
  haproxy_port=$(free_port)
  cat >"$work/haproxy.cfg" <<CFG
global
  maxconn 4000
defaults
  mode tcp
  timeout connect 5s
  timeout client 60s
  timeout server 60s
frontend in
  bind 127.0.0.1:$haproxy_port
  default_backend out
backend out
  server destination 127.0.0.1:$1
CFG
  haproxy -db -q -f "$work/haproxy.cfg" &
  pids+=($!)
  wait_listening "$haproxy_port"
}
