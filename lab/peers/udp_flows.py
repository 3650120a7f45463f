#!/usr/bin/env python3
"""Many UDP flows from many client addresses, and round-trip times through them, for the NAT
load run (scripts/load-nat-lab.sh). Talks to the lab's UDP echo.

usage: udp_flows.py flood ECHO_HOST ECHO_PORT CLIENTS FLOWS_PER_CLIENT FIRST_PORT
         sends one datagram from each of FLOWS_PER_CLIENT ports (FIRST_PORT on) of each client
         address (comma-separated CLIENTS): every datagram is a new flow for the gateway,
         paced at about 25,000 a second. Prints "flows N seconds S".
       udp_flows.py rtt ECHO_HOST ECHO_PORT CLIENT PROBES FIRST_PORT
         PROBES round trips, each from its own port (a new flow each), then PROBES round
         trips on one flow. Prints "new p50 p99 lost known p50 p99 lost" (microseconds).

Every wait is bounded (one second per probe), so a run ends by itself.
"""
import socket
import sys
import time


def flood(host, port, clients, per_client, first_port):
    start = time.monotonic()
    sent = 0
    payload = b"f" * 16
    for client in clients:
        for p in range(first_port, first_port + per_client):
            # Paced: an unpaced burst overruns the TUN queue and the lost datagrams make no flow.
            if sent % 250 == 249:
                time.sleep(0.01)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind((client, p))
                s.sendto(payload, (host, port))
                sent += 1
    print(f"flows {sent} seconds {time.monotonic() - start:.3f}", flush=True)


def round_trip(sock, host, port):
    sock.settimeout(1.0)
    started = time.perf_counter()
    sock.sendto(b"probe-" + str(started).encode(), (host, port))
    try:
        sock.recvfrom(2048)
    except socket.timeout:
        return None
    return (time.perf_counter() - started) * 1e6


def percentiles(samples):
    got = sorted(s for s in samples if s is not None)
    lost = len(samples) - len(got)
    if not got:
        return "- -", lost
    return f"{got[len(got) // 2]:.0f} {got[min(len(got) - 1, len(got) * 99 // 100)]:.0f}", lost


def rtt(host, port, client, probes, first_port):
    fresh = []
    for p in range(first_port, first_port + probes):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((client, p))
            fresh.append(round_trip(s, host, port))
    known = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((client, first_port + probes))
        for _ in range(probes):
            known.append(round_trip(s, host, port))
    fresh_text, fresh_lost = percentiles(fresh)
    known_text, known_lost = percentiles(known)
    print(f"{fresh_text} {fresh_lost} {known_text} {known_lost}", flush=True)


def main():
    if len(sys.argv) != 7 or sys.argv[1] not in ("flood", "rtt"):
        sys.exit(__doc__)
    host, port = sys.argv[2], int(sys.argv[3])
    if sys.argv[1] == "flood":
        flood(host, port, sys.argv[4].split(","), int(sys.argv[5]), int(sys.argv[6]))
    else:
        rtt(host, port, sys.argv[4], int(sys.argv[5]), int(sys.argv[6]))


if __name__ == "__main__":
    main()
