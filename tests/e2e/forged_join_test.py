#!/usr/bin/env python3
"""A join forged through a raw socket with a victim's source: the host's data reaches the
victim without --validate-joins, and with it the victim gets only challenges, no more bytes
than were forged, limits on and off. The host's pong says all is handled. Then a raw host
that streams to its clients through a restart of the relay has its room back within 3 s.
usage: forged_join_test.py KIV_RELAY (77: not root, so no raw socket)"""
import re, socket, struct, subprocess, sys, time

RELAY = ("127.0.0.1", 0)


def header(kind, value):
    return b"KIVR" + bytes([kind, 1, 0, 0]) + struct.pack("<I", value)


def start_relay(*options, port=0):
    relay = subprocess.Popen([sys.argv[1], *options, str(port)], stdout=subprocess.PIPE)
    return relay, ("127.0.0.1", int(re.search(rb"UDP (\d+)", relay.stdout.readline()).group(1)))


def victim_gets(raw, *options):
    relay, to_relay = start_relay(*options)
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as host, \
                socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as victim:
            host.settimeout(5)
            victim.bind(("127.0.0.9", 0))
            host.sendto(header(1, 0), to_relay)
            forged = header(3, struct.unpack("<I", host.recv(64)[8:12])[0]) + bytes(30)
            udp = struct.pack("!HHHH", victim.getsockname()[1], to_relay[1], 8 + len(forged), 0)
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 28 + len(forged), 0, 0, 64, 17, 0,
                             socket.inet_aton("127.0.0.9"), socket.inet_aton("127.0.0.1"))
            for _ in range(5):
                raw.sendto(ip + udp + forged, ("127.0.0.1", 0))
            for message in [header(3, 1) + bytes(500)] * 30 + [header(7, 0)]:
                host.sendto(message, to_relay)
            while host.recv(64)[4] != 8:  # the pong
                pass
            victim.setblocking(False)
            got = []
            while True:
                try:
                    got.append(victim.recv(2048))
                except BlockingIOError:
                    return got, 5 * len(forged)
    finally:
        relay.kill()
        relay.wait()


def streaming_host_back_after_restart_s():
    relay, to_relay = start_relay()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as host:
        host.settimeout(5)
        host.sendto(header(1, 0), to_relay)
        room_id = struct.unpack("<I", host.recv(64)[8:12])[0]
        relay.kill()
        relay.wait()
        relay, _ = start_relay(port=to_relay[1])
        host.settimeout(0.01)
        restarted = time.monotonic()
        try:  # 100 datagrams a second to tag 1, and from 1 s on a re-open each second
            for sent in range(1000):
                host.sendto(header(3, 1) + bytes(200), to_relay)
                if sent % 100 == 99:
                    host.sendto(header(1, room_id), to_relay)
                try:
                    if host.recv(64) == header(2, room_id):
                        return time.monotonic() - restarted
                except socket.timeout:
                    pass
        finally:
            relay.kill()
            relay.wait()


try:
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
except PermissionError:
    print("SKIP: a raw socket to forge sources needs root")
    sys.exit(77)
for limits in ("on", "off"):
    reflected, forged_bytes = victim_gets(raw, "--limits", limits)
    assert len(reflected) == 30 and all(d[4] == 3 for d in reflected), len(reflected)
    challenged, forged_bytes = victim_gets(raw, "--limits", limits, "--validate-joins")
    got = len(b"".join(challenged))
    assert all(d[4] == 9 and len(d) == 12 for d in challenged) and got <= forged_bytes, got
    print("limits %s: to the victim for %d bytes forged: %d without --validate-joins, %d with it"
          % (limits, forged_bytes, len(b"".join(reflected)), got))
back_s = streaming_host_back_after_restart_s()
assert back_s is not None and back_s < 3, back_s
print("a streaming host had its room back %.2f s after the relay restarted" % back_s)
