#!/usr/bin/env python3
"""Asks HOST:123 for the time once (a 48-byte NTP client request); exits 0 when a server
reply (mode 4) with a transmit time arrives within 2 s. Usage: ntp_query.py HOST"""
import socket
import struct
import sys

request = bytes([0x23]) + bytes(47)  # version 4, mode 3 (client)
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.settimeout(2)
    s.sendto(request, (sys.argv[1], 123))
    reply, _ = s.recvfrom(512)
mode = reply[0] & 7
seconds = struct.unpack("!I", reply[40:44])[0]
print(f"mode {mode}, transmit seconds {seconds}")
sys.exit(0 if len(reply) >= 48 and mode == 4 and seconds != 0 else 1)
