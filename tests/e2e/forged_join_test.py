#!/usr/bin/env python3
"""A forged join reaches no one: a datagram with a victim's source address, sent through a
raw socket, joins a room on a relay without --validate-joins, and the host's traffic then
goes to the victim; with --validate-joins the victim gets one 12-byte challenge per forged
datagram and nothing of the host's. Order, not time, says when everything has arrived: the
host's ping is answered after its data was handled. Needs root (exit 77 otherwise).

usage: forged_join_test.py KIV_RELAY"""
import re
import socket
import struct
import subprocess
import sys

relay_path = sys.argv[1]
FORGED, HOST_DATA = 5, 30


def header(kind, value):
    return b"KIVR" + bytes([kind, 1, 0, 0]) + struct.pack("<I", value)


def forged(source, port, payload):
    """An IPv4 UDP datagram from `source` to the relay (UDP checksum 0: none)."""
    udp = struct.pack("!HHHH", source[1], port, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(source[0]), socket.inet_aton("127.0.0.1"))
    return ip + udp


def victim_receives(options):
    """The bytes the victim gets, and how many bytes were forged in its name."""
    relay = subprocess.Popen([relay_path, *options, "0"], stdout=subprocess.PIPE)
    try:
        port = int(re.search(rb"UDP (\d+)", relay.stdout.readline()).group(1))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as host, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as victim, \
                socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
            host.settimeout(5)
            victim.bind(("127.0.0.9", 0))
            victim.setblocking(False)
            host.sendto(header(1, 0), ("127.0.0.1", port))
            room = struct.unpack("<I", host.recv(64)[8:12])[0]
            datagram = header(3, room) + bytes(30)
            for _ in range(FORGED):
                raw.sendto(forged(victim.getsockname(), port, datagram), ("127.0.0.1", 0))
            for _ in range(HOST_DATA):
                host.sendto(header(3, 1) + bytes(500), ("127.0.0.1", port))
            host.sendto(header(7, 42), ("127.0.0.1", port))
            while host.recv(2048)[:5] != b"KIVR\x08":
                pass
            received = []
            try:
                while True:
                    received.append(victim.recv(2048))
            except BlockingIOError:
                return received, FORGED * len(datagram)
    finally:
        relay.kill()
        relay.wait()


try:
    socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW).close()
except PermissionError:
    print("skipped: a raw socket needs root")
    sys.exit(77)

reflected, forged_bytes = victim_receives([])
gain = sum(map(len, reflected)) / forged_bytes
assert len(reflected) == HOST_DATA and gain > 50, (len(reflected), gain)
challenged, forged_bytes = victim_receives(["--validate-joins"])
assert all(len(d) == 12 and d[4] == 9 for d in challenged), challenged
assert sum(map(len, challenged)) <= forged_bytes, (len(challenged), forged_bytes)
print("without --validate-joins: %d bytes to the victim for %d forged (x%.0f); with it: %d"
      % (sum(map(len, reflected)), forged_bytes, gain, sum(map(len, challenged))))
