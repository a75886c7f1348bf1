#!/usr/bin/env python3
"""Rooms only the operator's hosts may open, end to end: the lobby example of
docs/operating.md mints a token for one room that the real relay, started with --open-key,
accepts for that room and no other; a forged one is refused with error 5 and no log line;
`kiv token` mints one too; and the key file is refused at start-up when it is too short,
readable by everyone or missing.

usage: open_token_example_test.py KIV_RELAY KIV OPERATING_MD (exit 77: no token support)"""
import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile

relay_path, kiv_path, document_path = sys.argv[1:4]
SKIP = 77


def header(kind, value):
    return b"KIVR" + bytes([kind, 1, 0, 0]) + struct.pack("<I", value)


def answer_to(payload, asks=0):
    """A MSG_OPEN for id `asks` carrying `payload` from a socket of its own: (type, value)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as host:
        host.settimeout(5)
        host.sendto(header(1, asks) + payload, ("127.0.0.1", port))
        reply = host.recv(64)
        return reply[4], struct.unpack("<I", reply[8:12])[0]


def next_line(process, seconds=5):
    ready, _, _ = select.select([process.stdout], [], [], seconds)
    return process.stdout.readline().decode() if ready else ""


def startup_failure(key_path):
    result = subprocess.run([relay_path, "--open-key", key_path, "0"], capture_output=True,
                            timeout=10)
    return result.returncode, result.stderr.decode()


with tempfile.TemporaryDirectory() as lobby:
    key_path = os.path.join(lobby, "open.key")
    with open(key_path, "wb") as key_file:
        key_file.write(os.urandom(32))
    os.chmod(key_path, 0o600)

    code, message = startup_failure(key_path + ".missing")
    if code == 2 and "this build has no token support" in message:
        print("skipped: this build has no token support")
        sys.exit(SKIP)
    assert code == 1 and "cannot read the open key" in message, (code, message)
    short_path = os.path.join(lobby, "short.key")
    with open(short_path, "wb") as short_file:
        short_file.write(b"x" * 31)
    os.chmod(short_path, 0o600)
    code, message = startup_failure(short_path)
    assert code == 1 and "at least 32" in message, (code, message)
    os.chmod(key_path, 0o644)
    code, message = startup_failure(key_path)
    assert code == 1 and "readable by everyone" in message, (code, message)
    os.chmod(key_path, 0o600)

    # The document's example, exactly as printed there, run where the lobby keeps its key.
    document = open(document_path, encoding="utf-8").read()
    example = re.search(r"```python\n(.*?)```", document, re.S).group(1)
    assert len(example.strip().splitlines()) == 5, example
    room_text, minted = subprocess.run([sys.executable, "-c", example], cwd=lobby,
                                       capture_output=True, check=True,
                                       timeout=10).stdout.decode().split()
    token, room_id = bytes.fromhex(minted), int(room_text)
    assert len(token) == 45 and token[0] == 2 and token[1:5] == struct.pack("<I", room_id)

    relay = subprocess.Popen([relay_path, "--open-key", key_path, "0"], stdout=subprocess.PIPE)
    try:
        banner = next_line(relay)
        port = int(re.search(r"listening on UDP (\d+)", banner).group(1))

        forged = bytearray(token)
        forged[-1] ^= 1
        assert answer_to(bytes(forged)) == (6, 5), "a forged token must get error 5"
        assert answer_to(b"") == (6, 5), "an open without a token must get error 5"

        other_id = room_id % 2**25 + 1
        assert answer_to(token, other_id) == (6, 5), "a room's token opens no other room"
        assert answer_to(token) == (2, room_id), "the example's token must open its room"
        opened = next_line(relay)
        assert re.search(r"room [A-Z2-9]{5} opened by 127\.0\.0\.1:\d+$", opened), opened
        assert answer_to(token, room_id) == (6, 3), "nobody else takes a room that is open"

        def kiv_token(*options):
            minted = subprocess.run([kiv_path, "token", "--key", key_path, *options],
                                    capture_output=True, check=True, timeout=10)
            return minted.stdout.decode().strip()
        assert answer_to(bytes.fromhex(kiv_token("--ttl", "60")))[0] == 2
        # The refusals made no line: the next line is the second room's.
        assert "opened by" in next_line(relay)
        assert answer_to(bytes.fromhex(kiv_token("--room", str(other_id)))) == (2, other_id)
        assert "opened by" in next_line(relay)

        # kiv host with a room's token opens that room (and closes it at the end of its
        # input); with a forged one it says why and exits 1.
        host_token = kiv_token("--room", str(other_id % 2**25 + 1))
        hosted = subprocess.run([kiv_path, "host", "--token", host_token,
                                 "127.0.0.1:%d" % port],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
        assert hosted.returncode == 0 and hosted.stdout.startswith(b"room "), hosted
        refused = subprocess.run([kiv_path, "host", "--token", bytes(forged).hex(),
                                  "127.0.0.1:%d" % port], stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=10)
        assert refused.returncode == 1, refused
        assert b"relay refused the open token" in refused.stderr, refused
        # In front of an application it opens its room with the token too.
        forwarding = subprocess.Popen([kiv_path, "host", "--token", host_token, "--forward",
                                       "127.0.0.1:9", "127.0.0.1:%d" % port],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            assert next_line(forwarding).startswith("room "), "kiv host --forward --token"
        finally:
            forwarding.kill()
            forwarding.wait()
    finally:
        relay.kill()
        relay.wait()
print("ok")
