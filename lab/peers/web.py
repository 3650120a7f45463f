"""Web server of the lab's outside network: serves one directory on several ports.

usage: web.py ADDRESS DIRECTORY PORT [PORT ...]

Several ports in one interpreter so that tests can treat one port as a flow of its own
(e.g. drop TCP to 8081 while 8080 still works) without paying for a second start-up.
Runs until SIGTERM.
"""
import functools
import http.server
import signal
import sys
import threading


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    address, directory, ports = sys.argv[1], sys.argv[2], [int(p) for p in sys.argv[3:]]
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=directory)
    servers = [http.server.ThreadingHTTPServer((address, port), handler) for port in ports]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        print(f"web: serving {directory} on {address}:{server.server_port}", flush=True)
    # SIGTERM ends the process quietly (default action would too, but without the log line).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    threading.Event().wait()


if __name__ == "__main__":
    main()
