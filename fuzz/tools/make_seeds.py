#!/usr/bin/env python3
"""Writes the seed inputs of the NAT translation and proxy answer fuzzers into
fuzz/corpus/<target>/seed-*. Seeds are small valid inputs the fuzzers start from; the
corpora grow beyond them by `-merge=1` (see scripts/run-fuzzers.sh).
Usage: fuzz/tools/make_seeds.py [CORPUS_DIR]"""
import os
import struct
import sys


def csum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def ip(a):
    return bytes(int(x) for x in a.split("."))


def frame(src, dst, proto, transport, flags=0, mac_dst=b"\x02\0\0\0\0\x09", ident=0x1234, csum_transport=True):
    total = 20 + len(transport)
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, ident, flags, 64, proto, 0, ip(src), ip(dst))
    hdr = hdr[:10] + struct.pack("!H", csum(hdr)) + hdr[12:]
    t = bytearray(transport)
    if csum_transport:
        pseudo = ip(src) + ip(dst) + struct.pack("!BBH", 0, proto, len(t)) if proto != 1 else b""
        off = {6: 16, 17: 6, 1: 2}[proto]
        t[off:off + 2] = b"\0\0"
        c = csum(pseudo + bytes(t))
        if proto == 17 and c == 0:
            c = 0xFFFF
        t[off:off + 2] = struct.pack("!H", c)
    return mac_dst + b"\x02\0\0\0\0\x08" + b"\x08\x00" + hdr + bytes(t)


def tcp(sport, dport, flags, options=b"", payload=b""):
    offset = (20 + len(options)) // 4
    return struct.pack("!HHIIBBHHH", sport, dport, 1000, 0 if flags == 0x02 else 1, offset << 4, flags,
                       65535, 0, 0) + options + payload


def udp(sport, dport, payload):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def icmp_echo(ident, seq, payload=b"ping", kind=8):
    return struct.pack("!BBHHH", kind, 0, 0, ident, seq) + payload


def rec(op, f):
    return bytes([op]) + struct.pack("<H", len(f)) + f


CLIENT, REMOTE, EXTERNAL = "10.66.0.2", "93.184.216.34", "192.0.2.10"
DF, MF = 0x4000, 0x2000
MSS = b"\x02\x04\x05\xb4"


def nat_seeds():
    syn = frame(CLIENT, REMOTE, 6, tcp(40000, 443, 0x02, MSS))
    ack = frame(CLIENT, REMOTE, 6, tcp(40000, 443, 0x10, b"", b"GET / HTTP/1.1\r\n\r\n"))
    dgram = frame(CLIENT, REMOTE, 17, udp(50000, 53, b"\x12\x34\x01\x00\x00\x01" + b"\0" * 6))
    echo = frame(CLIENT, REMOTE, 1, icmp_echo(0x77, 1))
    reply = frame(REMOTE, EXTERNAL, 6, tcp(443, 10000, 0x12, MSS))
    probe = frame(EXTERNAL, "1.1.1.1", 17, udp(33333, 53, b"1.1.1.1"))
    yield "host-routing", bytes([0x04]) + rec(4, syn) + rec(4, ack) + rec(4, dgram) + rec(4, echo) + rec(3, reply)
    yield "probe", bytes([0x00]) + rec(2, probe) + rec(4, dgram) + rec(2, probe)
    big = frame(CLIENT, REMOTE, 17, udp(50001, 4500, b"x" * 1472), flags=DF)
    big_no_df = frame(CLIENT, REMOTE, 17, udp(50002, 4500, b"x" * 1472))
    other = frame(CLIENT, "172.16.0.9", 17, udp(50003, 53, b"q"))
    broadcast = frame(CLIENT, REMOTE, 17, udp(50004, 53, b"q"), mac_dst=b"\xff" * 6)
    yield "forced-routing", (bytes([0x06 | 0x08]) + rec(5, syn) + rec(5, big) + rec(5, big_no_df) + rec(5, other)
                             + rec(5, broadcast) + rec(5, echo) + rec(0, dgram) + rec(1, dgram))
    many = b"".join(rec(4, frame(CLIENT, REMOTE, 17, udp(51000 + i, 53, b"q"))) for i in range(10))
    pings = b"".join(rec(4, frame(CLIENT, REMOTE, 1, icmp_echo(0x100 + i, i))) for i in range(10))
    yield "exhaustion", bytes([0x05]) + many + bytes([6]) + struct.pack("<H", 601) + many + pings
    # A datagram cut in two: the first fragment's UDP checksum covers bytes it does not hold.
    whole = frame(CLIENT, REMOTE, 17, udp(52000, 9999, b"a" * 64))
    first = frame(CLIENT, REMOTE, 17, whole[34:34 + 40], flags=MF, csum_transport=False)
    trailing = frame(CLIENT, REMOTE, 17, whole[34 + 40:], flags=5, csum_transport=False)
    yield "fragments", bytes([0x04]) + rec(4, first) + rec(4, trailing) + rec(3, first)


def answer_seeds():
    split = struct.pack("<H", 7)
    yield "http-200", split + b"HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n"
    yield "http-200-early-data", split + b"HTTP/1.0 200 OK\n\nSSH-2.0-server\r\n"
    yield "http-407", split + b"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n"
    yield "socks5-ipv4", split + bytes([5, 0, 0, 1, 192, 0, 2, 1, 0x04, 0x38])
    yield "socks5-name", split + bytes([5, 0, 0, 3, 11]) + b"example.com" + b"\x01\xbb"
    yield "socks5-ipv6", split + bytes([5, 0, 0, 4]) + bytes(range(16)) + b"\x00\x35"


def header_seeds():
    yield "ipv4", bytes([0, 0, 0, 1, 192, 0, 2, 53, 0x14, 0xE9]) + b"payload"
    yield "name", bytes([0, 0, 0, 3, 11]) + b"example.com\x00\x35"
    yield "fragment", bytes([0, 0, 1, 1, 192, 0, 2, 53, 0x14, 0xE9])
    f = frame(CLIENT, "192.0.2.53", 17, udp(40000, 5353, b"d" * 100))
    yield "client-frame", struct.pack("<I", len(f)) + f


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "corpus")
    for target, seeds in (("fuzz_nat_translation", nat_seeds()), ("fuzz_upstream_answers", answer_seeds()),
                          ("fuzz_udp_request_header", header_seeds())):
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds:
            with open(os.path.join(folder, "seed-" + name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
