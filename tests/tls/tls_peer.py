#!/usr/bin/python3
"""TLS client for the transport tests.

The TLS engine runs over memory BIOs and this script moves the bytes on a
plain socket itself, so a test decides how the client's TLS bytes are cut
into socket writes (a record split over many small writes, a ClientHello and
then silence).

Exit status: 0 when the mode's check passed, 1 when data came back wrong,
2 on a TLS or socket failure, 3 when the handshake was refused.
"""

import argparse
import random
import select
import socket
import ssl
import sys
import time

PERIOD = 251
BASE = bytes((i * 7 + 3) % PERIOD for i in range(PERIOD))


def pattern(offset, n):
    """The bytes at [offset, offset + n) of the endless test pattern."""
    start = offset % PERIOD
    reps = (start + n) // PERIOD + 1
    return (BASE * reps)[start:start + n]


class Closed(Exception):
    pass


class Client:
    def __init__(self, args):
        self.args = args
        self.sock = socket.create_connection(("127.0.0.1", args.port), timeout=args.timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = make_context(args).wrap_bio(self.incoming, self.outgoing, server_hostname="127.0.0.1")

    def flush(self, piece=0):
        data = self.outgoing.read()
        if not piece:
            if data:
                self.sock.sendall(data)
            return
        for i in range(0, len(data), piece):
            self.sock.sendall(data[i:i + piece])
            time.sleep(self.args.pause)

    def fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise Closed()
        self.incoming.write(chunk)

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self.flush(self.args.hs_piece)
                self.fill()
        self.flush(self.args.hs_piece)

    def write(self, data):
        self.tls.write(data)
        self.flush(self.args.data_piece)

    def read(self, n):
        while True:
            try:
                return self.tls.read(n)
            except ssl.SSLWantReadError:
                self.flush()
                self.fill()

    def read_exact(self, n):
        parts = []
        while n > 0:
            part = self.read(n)
            if not part:
                raise Closed()
            parts.append(part)
            n -= len(part)
        return b"".join(parts)

    def close_notify(self):
        try:
            self.tls.unwrap()
        except (ssl.SSLError, OSError):
            pass
        try:
            self.flush()
        except OSError:
            pass
        self.sock.close()

    def wait_for_close(self):
        """Reads until the server closes the connection."""
        try:
            while True:
                self.read(65536)
        except (Closed, ssl.SSLError, OSError):
            pass


def make_context(args):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    if args.cafile:
        ctx.load_verify_locations(args.cafile)
    else:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    versions = {
        "1.1": ssl.TLSVersion.TLSv1_1,
        "1.2": ssl.TLSVersion.TLSv1_2,
        "1.3": ssl.TLSVersion.TLSv1_3,
    }
    if args.tls in versions:
        if args.tls == "1.1":
            # The library refuses to offer TLS 1.1 above security level 0.
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.minimum_version = versions[args.tls]
        ctx.maximum_version = versions[args.tls]
    return ctx


def mode_ping(c, args):
    """Handshake, "ping" out, "pong" back, then wait for the server to close."""
    c.handshake()
    print("handshake ok", c.tls.version(), c.tls.cipher()[0], flush=True)
    c.write(b"ping\n")
    answer = b""
    while not answer.endswith(b"\n"):
        answer += c.read(64)
    print("answer", answer.decode().strip(), flush=True)
    c.wait_for_close()
    return 0


def mode_idle(c, args):
    """Handshake, then nothing until the server closes."""
    c.handshake()
    print("handshake ok", c.tls.version(), c.tls.cipher()[0], flush=True)
    c.wait_for_close()
    print("closed", flush=True)
    return 0


def mode_hello_only(c, args):
    """The ClientHello alone, then silence until the server gives up."""
    try:
        c.tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    c.flush()
    try:
        while c.sock.recv(65536):
            pass
    except OSError:
        pass
    print("closed", flush=True)
    return 0


def mode_echo(c, args):
    """Sends args.size pattern bytes in chunks; each chunk must come back."""
    c.handshake()
    rng = random.Random(args.seed)
    offset = 0
    while offset < args.size:
        n = min(rng.randint(1, args.chunk), args.size - offset)
        c.write(pattern(offset, n))
        back = c.read_exact(n)
        if back != pattern(offset, n):
            print("echo mismatch at", offset, flush=True)
            return 1
        offset += n
    print("echo ok", offset, flush=True)
    c.close_notify()
    return 0


def mode_receive(c, args):
    """Reads args.size pattern bytes from the server."""
    c.handshake()
    data = c.read_exact(args.size)
    if not args.any_bytes and data != pattern(0, args.size):
        print("receive mismatch", flush=True)
        return 1
    print("receive ok", len(data), flush=True)
    c.close_notify()
    return 0


def mode_flood(c, args):
    """Writes and reads as fast as it can until the server closes. The
    server never ends the session with an alert, so a TLS error here means
    the records reached the client damaged or out of order."""
    c.handshake()
    rng = random.Random(args.seed)
    end = time.monotonic() + args.seconds
    c.sock.setblocking(False)
    try:
        while time.monotonic() < end:
            readable, writable, _ = select.select([c.sock], [c.sock], [], 1.0)
            if readable:
                chunk = c.sock.recv(65536)
                if not chunk:
                    break
                c.incoming.write(chunk)
                try:
                    while c.tls.read(65536):
                        pass
                except ssl.SSLWantReadError:
                    pass
            if writable:
                c.tls.write(pattern(0, rng.randint(1, args.chunk)))
                data = c.outgoing.read()
                while data:
                    try:
                        data = data[c.sock.send(data):]
                    except BlockingIOError:
                        select.select([], [c.sock], [], 1.0)
    except ssl.SSLError:
        raise
    except OSError:
        pass
    print("flood done", flush=True)
    return 0


def mode_corrupt(c, args):
    """Reads args.size bytes of the server's stream, then sends a record whose
    last byte (part of its authentication tag) is damaged. The server's
    alert must arrive after the records sent before it."""
    c.handshake()
    c.read_exact(args.size)
    c.tls.write(b"this record is damaged on its way")
    record = bytearray(c.outgoing.read())
    record[-1] ^= 0x55
    c.sock.sendall(bytes(record))
    try:
        while c.read(65536):
            pass
    except ssl.SSLError as e:
        print("alert received:", e, flush=True)
        # Only the alert counts: a record the client itself cannot decrypt
        # would mean the server sent them out of order.
        return 0 if "ALERT_BAD_RECORD_MAC" in str(e).upper() else 1
    except (Closed, OSError) as e:
        print("closed without an alert:", repr(e), flush=True)
        return 1
    print("closed without an alert", flush=True)
    return 1


MODES = {
    "ping": mode_ping,
    "idle": mode_idle,
    "hello-only": mode_hello_only,
    "echo": mode_echo,
    "receive": mode_receive,
    "flood": mode_flood,
    "corrupt": mode_corrupt,
}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=sorted(MODES))
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--tls", default="any", choices=["any", "1.1", "1.2", "1.3"])
    p.add_argument("--cafile")
    p.add_argument("--size", type=int, default=0)
    p.add_argument("--chunk", type=int, default=16384)
    p.add_argument("--any-bytes", action="store_true", help="receive: count the bytes, do not check them")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--hs-piece", type=int, default=0, help="handshake bytes per socket write (0: all at once)")
    p.add_argument("--data-piece", type=int, default=0, help="record bytes per socket write (0: all at once)")
    p.add_argument("--pause", type=float, default=0.002, help="seconds between pieces")
    p.add_argument("--timeout", type=float, default=20.0)
    args = p.parse_args()

    try:
        c = Client(args)
    except OSError as e:
        print("connect failed:", e, flush=True)
        return 2
    try:
        return MODES[args.mode](c, args)
    except ssl.SSLError as e:
        print("tls error:", e, flush=True)
        return 3 if "alert" in str(e) or "PROTOCOL" in str(e) else 2
    except (Closed, OSError) as e:
        print("closed early:", repr(e), flush=True)
        return 2


if __name__ == "__main__":
    sys.exit(main())
