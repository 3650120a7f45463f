#!/usr/bin/env python3
"""New TCP connections per second: `server HOST PORT` accepts and closes connections until
killed; `client HOST PORT SECONDS WORKERS` opens and closes connections from WORKERS threads
for SECONDS and prints the completed count per second (a connection counts once the server
closed it, so it went all the way through)."""
import socket
import sys
import threading
import time


def server(host, port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    listener.listen(1024)
    while True:
        conn, _ = listener.accept()
        conn.close()


def client(host, port, seconds, workers):
    end = time.monotonic() + seconds
    counts = [0] * workers

    def work(i):
        while time.monotonic() < end:
            try:
                with socket.create_connection((host, port), timeout=5) as s:
                    s.recv(1)
                counts[i] += 1
            except OSError:
                pass

    threads = [threading.Thread(target=work, args=(i,)) for i in range(workers)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"{sum(counts) / (time.monotonic() - start):.1f}")


if sys.argv[1] == "server":
    server(sys.argv[2], int(sys.argv[3]))
else:
    client(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]))
