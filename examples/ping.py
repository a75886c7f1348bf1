#!/usr/bin/env python3
"""Pings a kiv relay and opens a room on it, through libkiv.so and nothing but ctypes.

    python3 ping.py HOST:PORT

The library is KIV_LIBRARY when that is set, else libkiv.so.0 wherever the loader finds it
(LD_LIBRARY_PATH, the system's library directories, where the libkiv0 package puts it).
`cmake --build --preset default --target kiv_shared` builds it as build/src/client/libkiv.so.0.
Prints the round trip and the room's code and exits 0; exits 1 with the reason on standard
error when the relay refuses or does not answer, 2 on a wrong command line or when the library
cannot be loaded (saying how to get it).
"""
import ctypes
import os
import select
import sys

KIV_OK = 0
EVENT_NONE, EVENT_OPENED, EVENT_PONG = 0, 1, 4
CODE_SIZE = 6


class Event(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int32),
        ("error", ctypes.c_int32),
        ("room_id", ctypes.c_uint32),
        ("tag", ctypes.c_uint32),
        ("round_trip_us", ctypes.c_uint64),
        ("payload", ctypes.POINTER(ctypes.c_uint8)),
        ("length", ctypes.c_size_t),
    ]


def load_library():
    lib = ctypes.CDLL(os.environ.get("KIV_LIBRARY") or "libkiv.so.0")
    handle = ctypes.c_void_p
    signatures = {
        "kiv_host_create": [ctypes.POINTER(handle)],
        "kiv_pinger_create": [ctypes.POINTER(handle)],
        "kiv_destroy": [handle],
        "kiv_connect_text": [handle, ctypes.c_char_p],
        "kiv_open": [handle, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_uint64],
        "kiv_ping": [handle, ctypes.c_uint64, ctypes.c_uint64],
        "kiv_fd": [handle, ctypes.POINTER(ctypes.c_int)],
        "kiv_wait_ms": [handle, ctypes.c_uint64, ctypes.POINTER(ctypes.c_int)],
        "kiv_next_event": [handle, ctypes.c_uint64, ctypes.POINTER(Event)],
        "kiv_now_us": [ctypes.POINTER(ctypes.c_uint64)],
        "kiv_error_text": [ctypes.c_int32, ctypes.POINTER(ctypes.c_char_p)],
        "kiv_room_code": [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t],
    }
    for name, arguments in signatures.items():
        function = getattr(lib, name)
        function.argtypes = arguments
        function.restype = ctypes.c_int
    return lib


class KivError(Exception):
    def __init__(self, lib, status):
        text = ctypes.c_char_p()
        lib.kiv_error_text(status, ctypes.byref(text))
        super().__init__(text.value.decode())


def check(lib, status):
    if status != KIV_OK:
        raise KivError(lib, status)


def now_us(lib):
    now = ctypes.c_uint64()
    lib.kiv_now_us(ctypes.byref(now))
    return now.value


def next_reported(lib, endpoint):
    """Waits for the endpoint's next event; the library bounds the wait by its timeout."""
    fd, wait_ms, event = ctypes.c_int(), ctypes.c_int(), Event()
    check(lib, lib.kiv_fd(endpoint, ctypes.byref(fd)))
    while True:
        check(lib, lib.kiv_next_event(endpoint, now_us(lib), ctypes.byref(event)))
        if event.kind != EVENT_NONE:
            return event
        check(lib, lib.kiv_wait_ms(endpoint, now_us(lib), ctypes.byref(wait_ms)))
        select.select([fd.value], [], [], None if wait_ms.value < 0 else wait_ms.value / 1000)


def run(lib, relay):
    address = relay.encode()
    pinger = ctypes.c_void_p()
    check(lib, lib.kiv_pinger_create(ctypes.byref(pinger)))
    try:
        check(lib, lib.kiv_connect_text(pinger, address))
        check(lib, lib.kiv_ping(pinger, now_us(lib), 0))
        event = next_reported(lib, pinger)
        check(lib, event.error)
        print(f"pong from {relay} in {event.round_trip_us / 1000:.3f} ms")
    finally:
        lib.kiv_destroy(pinger)

    host = ctypes.c_void_p()
    check(lib, lib.kiv_host_create(ctypes.byref(host)))
    try:
        check(lib, lib.kiv_connect_text(host, address))
        check(lib, lib.kiv_open(host, 0, now_us(lib), 0))
        event = next_reported(lib, host)
        check(lib, event.error)
        code = ctypes.create_string_buffer(CODE_SIZE)
        check(lib, lib.kiv_room_code(event.room_id, code, CODE_SIZE))
        print(f"room {code.value.decode()}")
    finally:
        lib.kiv_destroy(host)


def main(argv):
    if len(argv) != 2:
        print("usage: ping.py HOST:PORT", file=sys.stderr)
        return 2
    try:
        lib = load_library()
    except OSError as error:
        print(f"ping.py: cannot load libkiv: {error}\n"
              "ping.py: build it (it lands in build/src/client/libkiv.so.0) and name it in KIV_LIBRARY:\n"
              "    cmake --preset default && cmake --build --preset default --target kiv_shared\n"
              "    KIV_LIBRARY=build/src/client/libkiv.so.0 python3 examples/ping.py HOST:PORT\n"
              "ping.py: or install the libkiv0 package, whose libkiv.so.0 the loader finds by itself",
              file=sys.stderr)
        return 2
    try:
        run(lib, argv[1])
    except KivError as error:
        print(f"ping.py: {argv[1]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
