#!/usr/bin/env bash
# Load on the TCP proxy relay (tcp_proxy_server, direct) on loopback, as a process of its own
# (bench/proxy/proxy_relay_runner) in front of an echo server:
#   1. CONCURRENT connections open at once, each sending its own bytes and checking the echo;
#      the relay's resident memory is read while they are all held;
#   2. RATE new connections a second for DURATION seconds (connect, 1 KiB each way, close),
#      every byte checked.
# Any failed connection or wrong byte fails the run. Prints the relay's resident memory per
# held connection. The clients come from 16 loopback addresses (127.0.1.1-16), as VPN
# clients would, so that no single address reaches the relay's per-client limits.
#
# usage: scripts/load-relays.sh [BUILD_DIR]
#   BUILD_DIR  a linux build directory with bench/proxy/proxy_relay_runner (default
#              $LOAD_BUILD, else build/linux)
#   CONCURRENT (10000), RATE (1000), DURATION (60): the environment can change them.
# Loopback only; every process it starts is ended by its PID when it exits.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-${LOAD_BUILD:-$here/build/linux}}")
concurrent=${CONCURRENT:-10000}
rate=${RATE:-1000}
duration=${DURATION:-60}
runner=$build/bench/proxy/proxy_relay_runner
[ -x "$runner" ] || { echo "load-relays: no $runner (make linux, or build proxy_relay_runner)" >&2; exit 1; }
for n in "$concurrent" "$rate" "$duration"; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -gt 0 ] || { echo "load-relays: CONCURRENT, RATE and DURATION are positive numbers" >&2; exit 2; }
done
[ "$duration" -le 600 ] || { echo "load-relays: DURATION is at most 600 seconds" >&2; exit 2; }
bench_name=load-relays
# shellcheck source=loopback-peers.sh
source "$here/scripts/loopback-peers.sh"
require_tools python3

# The relay holds two descriptors per connection (the echo server and the clients one
# each), and a few of its own. Raising the hard limit needs CAP_SYS_RESOURCE.
wanted_files=$((2 * concurrent + 256))
if [ "$(ulimit -Hn)" != unlimited ] && [ "$(ulimit -Hn)" -lt "$wanted_files" ]; then
  ulimit -Hn "$wanted_files" 2>/dev/null || true
fi
ulimit -n "$wanted_files" 2>/dev/null || ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt "$wanted_files" ]; then
  echo "load-relays: only $(ulimit -n) open files allowed, $wanted_files needed for $concurrent connections" \
       "(raise the hard limit, or set CONCURRENT to at most $(( ($(ulimit -n) - 256) / 2 )))" >&2
  exit 1
fi

cat >"$work/echo.py" <<'PY'
# Echo server on a loopback port the system chooses; one event loop for all connections.
import asyncio, signal

async def serve(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()

async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", 0, backlog=4096)
    print("listening on", server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    for s in (signal.SIGINT, signal.SIGTERM):
        asyncio.get_running_loop().add_signal_handler(s, stop.set)
    await stop.wait()

asyncio.run(main())
PY

cat >"$work/driver.py" <<'PY'
# The clients. "hold PORT COUNT RELEASE_FILE": opens COUNT connections (at most 256 opening
# at a time), each sends 256 bytes of its own and checks the echo; prints "holding N" with
# all open, waits (at most 300 s) until RELEASE_FILE exists, closes them all.
# "rate PORT RATE SECONDS": starts RATE connections a second, each sends 1 KiB of its own,
# checks the echo and closes. Prints counts; exits 1 on any failure or wrong byte.
import asyncio, os, random, socket, sys, time

SOURCES = [f"127.0.1.{i}" for i in range(1, 17)]
TIMEOUT = 30

def payload(index, size):
    return random.Random(index).randbytes(size)

async def open_from(port, index):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setblocking(False)
    # The source port is chosen at connect, unique per destination only, as the relay's
    # own outgoing sockets do.
    sock.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT
    sock.bind((SOURCES[index % len(SOURCES)], 0))
    await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", port))
    return await asyncio.open_connection(sock=sock)

async def exchange(reader, writer, data):
    writer.write(data)
    await writer.drain()
    got = await reader.readexactly(len(data))
    return got == data

async def hold(port, count, release):
    gate = asyncio.Semaphore(256)
    held, failures = [], []

    async def one(i):
        async with gate:
            try:
                reader, writer = await asyncio.wait_for(open_from(port, i), TIMEOUT)
                held.append(writer)
                if not await asyncio.wait_for(exchange(reader, writer, payload(i, 256)), TIMEOUT):
                    failures.append(f"connection {i}: wrong bytes")
            except Exception as e:
                failures.append(f"connection {i}: {type(e).__name__} {e}")

    start = time.monotonic()
    await asyncio.gather(*(one(i) for i in range(count)))
    opened = time.monotonic() - start
    print(f"opened {len(held)} of {count} in {opened:.1f} s, {len(failures)} failed", flush=True)
    for f in failures[:10]:
        print(" ", f, flush=True)
    print(f"holding {len(held) if not failures else 0}", flush=True)
    deadline = time.monotonic() + 300
    while not os.path.exists(release) and time.monotonic() < deadline:
        await asyncio.sleep(0.1)
    for w in held:
        w.close()
    return not failures

async def rate_run(port, rate, seconds):
    ok = failed = wrong = 0
    bytes_sent = bytes_back = 0
    in_flight = peak = 0
    failures = []
    tasks = set()

    async def one(i):
        nonlocal ok, failed, wrong, bytes_sent, bytes_back, in_flight, peak
        in_flight += 1
        peak = max(peak, in_flight)
        data = payload(i, 1024)
        writer = None
        try:
            reader, writer = await asyncio.wait_for(open_from(port, i), TIMEOUT)
            bytes_sent += len(data)
            good = await asyncio.wait_for(exchange(reader, writer, data), TIMEOUT)
            bytes_back += len(data)
            if good:
                ok += 1
            else:
                wrong += 1
        except Exception as e:
            failed += 1
            if len(failures) < 10:
                failures.append(f"connection {i}: {type(e).__name__} {e}")
        finally:
            in_flight -= 1
            if writer is not None:
                writer.close()

    start = time.monotonic()
    started = 0
    total = rate * seconds
    # Started in steps of 10 ms, so the rate holds whatever the loop's timer granularity.
    while started < total:
        due = min(total, int((time.monotonic() - start) * rate) + 1)
        while started < due:
            t = asyncio.ensure_future(one(started))
            tasks.add(t)
            t.add_done_callback(tasks.discard)
            started += 1
        await asyncio.sleep(0.01)
    spent = time.monotonic() - start
    if tasks:
        await asyncio.wait(tasks, timeout=TIMEOUT + 5)
    print(f"started {started} connections in {spent:.1f} s ({started / spent:.0f}/s); "
          f"{ok} exact, {wrong} with wrong bytes, {failed} failed; "
          f"bytes sent {bytes_sent}, echoed {bytes_back}; at most {peak} in flight", flush=True)
    for f in failures:
        print(" ", f, flush=True)
    return failed == 0 and wrong == 0 and ok == started

mode, port = sys.argv[1], int(sys.argv[2])
if mode == "hold":
    good = asyncio.run(hold(port, int(sys.argv[3]), sys.argv[4]))
else:
    good = asyncio.run(rate_run(port, int(sys.argv[3]), int(sys.argv[4])))
sys.exit(0 if good else 1)
PY

rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }

start_listening echo python3 "$work/echo.py"
echo_port=$listening_port
start_listening relay "$runner" "$echo_port"
relay_port=$listening_port
relay_pid=${pids[-1]}
rss_idle=$(rss_kib "$relay_pid")

echo "phase 1: $concurrent concurrent connections through the relay (port $relay_port)"
python3 "$work/driver.py" hold "$relay_port" "$concurrent" "$work/release" >"$work/hold.log" 2>&1 &
driver_pid=$!
pids+=("$driver_pid")
for _ in $(seq 1200); do
  grep -q '^holding' "$work/hold.log" && break
  kill -0 "$driver_pid" 2>/dev/null || break
  sleep 0.1
done
held=$(sed -n 's/^holding //p' "$work/hold.log")
rss_held=$(rss_kib "$relay_pid")
touch "$work/release"
hold_status=0
wait "$driver_pid" || hold_status=$?
sed 's/^/  /' "$work/hold.log" | grep -v '^  holding'
if [ "$hold_status" -ne 0 ] || [ "${held:-0}" -ne "$concurrent" ]; then
  echo "load-relays: phase 1 failed" >&2
  exit 1
fi
per_connection=$(( (rss_held - rss_idle) * 1024 / concurrent ))
echo "  relay RSS: ${rss_idle} KiB idle, ${rss_held} KiB with $concurrent held: $per_connection bytes per connection"

# The held relays are removed by the relay's once-a-second cleanup.
sleep 3
echo "phase 2: $rate new connections a second for $duration s"
rate_status=0
python3 "$work/driver.py" rate "$relay_port" "$rate" "$duration" >"$work/rate.log" 2>&1 || rate_status=$?
sed 's/^/  /' "$work/rate.log"
sleep 3
rss_after=$(rss_kib "$relay_pid")
echo "  relay RSS after both phases: ${rss_after} KiB"
if [ "$rate_status" -ne 0 ]; then
  echo "load-relays: phase 2 failed" >&2
  exit 1
fi
echo "load-relays: no error, no lost byte"
