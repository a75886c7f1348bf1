#!/usr/bin/env python3
"""A join forged through a raw socket with a victim's source: the host's data reaches the
victim without --validate-joins, and with it only challenges, no more bytes than were forged.
The host's pong says all is handled. usage: forged_join_test.py KIV_RELAY (77: not root)"""
import re, socket, struct, subprocess, sys


def header(kind, value):
    return b"KIVR" + bytes([kind, 1, 0, 0]) + struct.pack("<I", value)


def victim_gets(raw, *options):
    relay = subprocess.Popen([sys.argv[1], *options, "0"], stdout=subprocess.PIPE)
    port = int(re.search(rb"UDP (\d+)", relay.stdout.readline()).group(1))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as host, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as victim:
        host.settimeout(5)
        victim.bind(("127.0.0.9", 0))
        host.sendto(header(1, 0), ("127.0.0.1", port))
        forged = header(3, struct.unpack("<I", host.recv(64)[8:12])[0]) + bytes(30)
        udp = struct.pack("!HHHH", victim.getsockname()[1], port, 8 + len(forged), 0) + forged
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                         socket.inet_aton("127.0.0.9"), socket.inet_aton("127.0.0.1"))
        for _ in range(5):
            raw.sendto(ip + udp, ("127.0.0.1", 0))
        for message in [header(3, 1) + bytes(500)] * 30 + [header(7, 0)]:
            host.sendto(message, ("127.0.0.1", port))
        while host.recv(64)[4] != 8:  # the pong
            pass
        relay.kill()
        relay.wait()
        victim.setblocking(False)
        got = []
        while True:
            try:
                got.append(victim.recv(2048))
            except BlockingIOError:
                return got, 5 * len(forged)


try:
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
except PermissionError:
    sys.exit(77)
reflected, forged_bytes = victim_gets(raw)
assert len(reflected) == 30 and reflected[0][4] == 3, len(reflected)
challenged, forged_bytes = victim_gets(raw, "--validate-joins")
assert all(d[4] == 9 for d in challenged) and len(b"".join(challenged)) <= forged_bytes
print("to the victim for %d bytes forged: %d without --validate-joins, %d with it"
      % (forged_bytes, len(b"".join(reflected)), len(b"".join(challenged))))
