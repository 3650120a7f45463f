"""UDP echo of the lab's outside network: every datagram goes back to its sender unchanged.

usage: udp_echo.py ADDRESS PORT

One plain recvfrom/sendto loop with a large receive buffer: it keeps up with bursts of
thousands of datagrams, where a forking echo loses most of them. Runs until SIGTERM.
"""
import signal
import socket
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        # SO_RCVBUFFORCE (33) needs root; fall back to what the limits allow.
        sock.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.bind((sys.argv[1], int(sys.argv[2])))
    print(f"udp_echo: on {sys.argv[1]}:{sys.argv[2]}", flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        data, sender = sock.recvfrom(65535)
        try:
            sock.sendto(data, sender)
        except OSError:
            # No route back to this sender (inet has none to the client subnet unless the
            # run asked for it): drop this answer, keep serving the others.
            pass


if __name__ == "__main__":
    main()
