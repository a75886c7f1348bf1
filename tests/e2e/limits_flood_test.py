#!/usr/bin/env python3
"""The limits against floods, end to end on the real relay with its log going to a file:
open/close and join/leave cycles from one address, the same from thousands, and a scan from
20,000 addresses. Lines written stay within the event budget or the log ceiling, scanners get
no more answers than the relay-wide ceiling, and an honest host and client on addresses of
their own are served throughout. Every datagram goes to 127.0.0.1 from 127.0.0.0/8.

usage: limits_flood_test.py KIV_RELAY"""
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time

relay_path = sys.argv[1]
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
# The defaults the relay is built with (CMake options of these names).
EVENT_BURST, EVENTS_PER_SECOND = 64, 20
LOG_BURST, LOG_PER_SECOND = 1000, 200
LOOKUP_BURST, LOOKUPS_PER_SECOND = 1000, 1000


def header(kind, value):
    return b"KIVR" + bytes([kind, 1, 0, 0]) + struct.pack("<I", value)


class Sender:
    """One socket that names each datagram's source address within 127.0.0.0/8."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.bind(("0.0.0.0", 0))
        self.sock.setblocking(False)
        self.relay = ("127.0.0.1", port)

    def send(self, source, datagram):
        info = struct.pack("I4s4s", 0, socket.inet_aton(source), bytes(4))
        try:
            self.sock.sendmsg([datagram], [(socket.IPPROTO_IP, IP_PKTINFO, info)], 0, self.relay)
        except BlockingIOError:
            pass

    def errors(self, value):
        count = 0
        while True:
            try:
                reply = self.sock.recv(64)
            except BlockingIOError:
                return count
            count += len(reply) >= 12 and reply[4] == 6 and reply[8] == value


def exchange(sock, port, datagram):
    """Sends as an honest peer does, again after each second without an answer: behind a
    flood on a busy machine the relay's queue can take seconds to drain, or be full when the
    datagram arrives."""
    sock.settimeout(1)
    for _ in range(10):
        sock.sendto(datagram, ("127.0.0.1", port))
        try:
            return sock.recv(1500)
        except TimeoutError:
            pass
    raise TimeoutError("no answer in 10 s")


def udp(address):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 0))
    return sock


def source(n):
    return "127.16.%d.%d" % (n >> 8 & 255, n & 255) if n < 65536 else "127.17.%d.%d" % (
        n >> 8 & 255, n & 255)


with tempfile.TemporaryDirectory() as work:
    log_path = os.path.join(work, "relay.log")
    log = open(log_path, "wb")
    relay = subprocess.Popen([relay_path, "0"], stdout=log, stderr=subprocess.STDOUT)
    try:
        port = None
        for _ in range(100):
            found = re.search(rb"listening on UDP (\d+)", open(log_path, "rb").read())
            if found:
                port = int(found.group(1))
                break
            time.sleep(0.05)
        assert port, "the relay did not start"

        def lines():
            return open(log_path, "rb").read().decode().splitlines()

        honest_host = udp("127.0.0.9")
        opened = exchange(honest_host, port, header(1, 0))
        assert opened[4] == 2, "the honest host must get a room"
        room = struct.unpack("<I", opened[8:12])[0]
        sender = Sender(port)

        def honest_still_served():
            """The host's keep-alive is answered with its room (forwards of the flood's
            joins may come first)."""
            reply = exchange(honest_host, port, header(1, room))
            for _ in range(10000):
                if reply[4] == 2:
                    break
                reply = honest_host.recv(1500)
            assert reply[4] == 2 and reply[8:12] == opened[8:12], reply

        # One address opens and closes, then joins and leaves, as fast as it can.
        for flooder, cycle in (("127.0.0.2", (header(1, 0), header(4, 0))),
                               ("127.0.0.3", (header(3, room), header(5, 0)))):
            before, started = len(lines()), time.monotonic()
            while time.monotonic() - started < 1.5:
                for _ in range(200):
                    sender.send(flooder, cycle[0])
                    sender.send(flooder, cycle[1])
                honest_still_served()
            elapsed = time.monotonic() - started
            written = len(lines()) - before
            assert 0 < written <= EVENT_BURST + EVENTS_PER_SECOND * (elapsed + 1), written
            honest_still_served()
            sender.errors(0)

        # Thousands of addresses cycling within their own budgets: the log ceiling holds.
        before, started = len(lines()), time.monotonic()
        n = 0
        while time.monotonic() - started < 1.5:
            for _ in range(100):
                address = source(n % 4000)
                sender.send(address, header(1, 0))
                sender.send(address, header(4, 0))
                n += 1
            sender.errors(0)
        honest_still_served()
        time.sleep(1.2)  # the sweep tells what it held back
        elapsed = time.monotonic() - started
        written = lines()[before:]
        summaries = [line for line in written if "line(s) suppressed" in line]
        assert summaries and re.search(r" log: \d+ line\(s\) suppressed$", summaries[0]), summaries
        events = len(written) - len(summaries)
        assert events <= LOG_BURST + LOG_PER_SECOND * (elapsed + 1), events
        assert n * 2 > events * 5, "the flood must have been far over the ceiling"

        # A scan from 20,000 addresses: answers stay within the relay-wide ceiling, and a
        # client with the room's id joins at once.
        answered, started = 0, time.monotonic()
        probe = 1
        while time.monotonic() - started < 1.5:
            for _ in range(200):
                probe = probe % 33554431 + 1
                if probe != room:
                    sender.send(source(probe % 20000), header(3, probe))
            answered += sender.errors(1)
        time.sleep(0.2)
        answered += sender.errors(1)
        elapsed = time.monotonic() - started
        assert 0 < answered <= LOOKUP_BURST + LOOKUPS_PER_SECOND * (elapsed + 0.5), answered
        client = udp("127.0.0.10")
        client.sendto(header(3, room) + b"hi", ("127.0.0.1", port))
        honest_host.settimeout(10)  # behind what is left of the scan in the relay's queue
        forwarded = honest_host.recv(1500)
        while forwarded[4] != 3:  # a pong still on its way
            forwarded = honest_host.recv(1500)
        assert forwarded[12:] == b"hi", forwarded
    finally:
        relay.kill()
        relay.wait()
print("ok")
