"""Clients that misbehave: a receiver that stops reading, peers that leave in
the middle of a stream, and openings that are garbage or left unfinished.
None of them may crash or hang the hub; after each one, new clients relay."""

import os
import random
import re
import struct
import threading
import time
import unittest

from hubtest.hub import Hub, t, wait_until
from hubtest.streams import assert_relaying, Conn, raw_client
from hubtest.ws_clients import Hixie76Client, ws_frame, WsClient


def read_until_quiet(c, limit, quiet=0.5, timeout=30.0):
    """Reads until nothing comes for `quiet` seconds or `limit` bytes came."""
    got = bytearray()
    end = time.monotonic() + t(timeout)
    while len(got) < limit and time.monotonic() < end:
        chunk = c.recv_some(timeout=quiet)
        if not chunk:
            break
        got += chunk
    return bytes(got)


class Sender(threading.Thread):
    """Writes a stream from its own thread, since the hub may hold it up."""

    def __init__(self, conn, data):
        super().__init__(daemon=True)
        self.conn, self.data, self.error = conn, data, None
        self.start()

    def run(self):
        try:
            self.conn.send(self.data)
        except Exception as e:  # reported by the test that waits for it
            self.error = e

    def finish(self, timeout=60.0):
        self.join(t(timeout))
        return not self.is_alive()


def open_client(hub, kind, rcvbuf=None):
    if kind == "ws":
        return WsClient(hub, rcvbuf=rcvbuf)
    return raw_client(hub, tls=(kind == "tls"), rcvbuf=rcvbuf)


def as_frames(data, size=3000):
    """The stream as binary frames that every kind of receiver can take
    (RFC 6455 receivers get no payload above L - 10 bytes)."""
    return b"".join(ws_frame(data[i:i + size], opcode=2) for i in range(0, len(data), size))


class SlowAndLeaving(unittest.TestCase):
    def test_receiver_that_stops_reading_holds_up_the_relay_only_until_it_leaves(self):
        size = 8 << 20
        for kind in ("raw", "tls", "ws"):
            with self.subTest(stalled=kind), Hub(pem=True) as hub:
                data = os.urandom(size)
                stalled = open_client(hub, kind, rcvbuf=4096)
                reader = raw_client(hub)
                sender = WsClient(hub)
                writing = Sender(sender, as_frames(data))
                # The sender's reader waits on the stalled receiver: the
                # other receiver gets a clean prefix of the stream, not all.
                prefix = read_until_quiet(reader, size, quiet=1.0)
                self.assertLess(len(prefix), size, "the stalled receiver held nothing up")
                self.assertEqual(prefix, data[:len(prefix)])
                # Meanwhile the hub still admits new clients (one that
                # reads nothing would stall the relay too: it leaves).
                hub.close_client(WsClient(hub))
                stalled.close()
                rest = reader.recv_exact(size - len(prefix), timeout=60)
                self.assertEqual(len(rest), size - len(prefix), "the relay did not resume")
                self.assertEqual(prefix + rest, data)
                self.assertTrue(writing.finish(), "the sender stayed blocked")
                self.assertIsNone(writing.error)
                assert_relaying(hub)

    def test_receiver_that_leaves_mid_stream_never_stops_the_hub(self):
        # A write to a peer that has gone must neither kill the process
        # (SIGPIPE) nor keep the stream from the others.
        size = 2 << 20
        with Hub(pem=True) as hub:
            sender = WsClient(hub)
            reader = raw_client(hub)
            for kind in ("raw", "tls", "ws"):
                for how in ("close", "reset"):
                    with self.subTest(leaving=kind, how=how):
                        leaving = open_client(hub, kind)
                        data = os.urandom(size)
                        writing = Sender(sender, as_frames(data))
                        self.assertEqual(len(leaving.recv_exact(64 << 10, timeout=20)), 64 << 10)
                        if how == "close":
                            leaving.close()
                        else:
                            leaving.reset()
                        got = reader.recv_exact(size, timeout=60)
                        self.assertEqual(len(got), size)
                        self.assertEqual(got, data)
                        self.assertTrue(writing.finish())
                        self.assertIsNone(writing.error)
                        self.assertTrue(hub.alive(), hub.log())
            assert_relaying(hub)

    def test_sender_that_leaves_mid_stream_leaves_a_clean_prefix(self):
        size = 1 << 20
        with Hub(pem=True) as hub:
            reader = raw_client(hub)
            for kind in ("raw", "tls", "ws"):
                with self.subTest(leaving=kind):
                    data = os.urandom(size)
                    leaving = open_client(hub, kind)
                    # WebSocket frames are cut off in their middle.
                    wire = as_frames(data, 3001) if kind == "ws" else data
                    # As much as goes out within a moment, then a reset.
                    leaving.sock.settimeout(t(0.5))
                    try:
                        leaving.sock.sendall(wire)
                    except OSError:
                        pass
                    leaving.reset()
                    got = read_until_quiet(reader, size, quiet=1.0)
                    self.assertEqual(got, data[:len(got)], "the prefix is not the stream's start")
                    self.assertTrue(hub.alive(), hub.log())
            assert_relaying(hub)


def oversized_hixie_request(port):
    long = "h" * 300
    return ("GET /%s HTTP/1.1\r\nHost: %s:%d\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: %s\r\n"
            "Upgrade: WebSocket\r\nSec-WebSocket-Key1: %s\r\nOrigin: http://%s\r\n\r\n"
            % (long, long, port, "1 " * 150, "9" * 300, long)).encode() + b"12345678"


def oversized_6455_request(port):
    return ("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Protocol: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
            % (port, "A" * 2000, "p" * 1000)).encode()


class HostileOpenings(unittest.TestCase):
    def test_garbage_and_unfinished_openings_never_crash_or_hang_the_hub(self):
        rng = random.Random(7)
        garbage = bytes(rng.randrange(256) for _ in range(64 << 10)).replace(b"\x16", b"\x17")
        # name, how to open (plain or as a WebSocket client), bytes to send,
        # whether the hub ends the connection by itself
        cases = [
            ("connect and leave at once", "plain", None, None),
            ("half a WebSocket handshake, then leave", "plain", b"GET / HTTP/1.1\r\nUpgrade: web", None),
            ("ClientHello prefix, then silence", "plain", b"\x16\x03\x01\x02\x00\x01", True),
            ("ClientHello prefix, then garbage", "plain", b"\x16\x03\x01\x02\x00\x01" + garbage[:2000], True),
            ("GET and garbage", "plain", b"GET " + garbage[:3000], False),
            ("oversized hixie-76 headers", "plain", "hixie", None),
            ("oversized RFC 6455 headers", "plain", "6455", None),
            # A frame longer than the hub can hold is refused (close 1009)
            # as soon as its header has arrived.
            ("frame header declaring 2^63 bytes", "ws", b"\x82\xff" + struct.pack(">Q", 1 << 63) + b"mask", True),
            ("frame header declaring 2^64-1 bytes", "ws", b"\x81\x7f" + b"\xff" * 8, True),
            ("frame longer than a read", "ws", b"\x82\xfe\x13\x88mask" + b"x" * 4200, True),
            ("2^63 bytes, then more than a read", "ws",
             b"\x82\xff" + struct.pack(">Q", 1 << 63) + b"mask" + garbage[:5000], True),
            ("hixie-76 frame that never ends", "hixie", b"\x00" + b"x" * 5000, True),
            ("hixie-76 data without its 0x00", "hixie", b"no start byte\xff", True),
        ]
        with Hub(pem=True) as hub:
            # A raw peer relays garbage like any data.
            a, b = raw_client(hub), raw_client(hub)
            a.send(garbage)
            self.assertEqual(b.recv_exact(len(garbage), timeout=20), garbage)
            for name, how, data, ends in cases:
                with self.subTest(name):
                    if how == "ws":
                        c = WsClient(hub)
                    elif how == "hixie":
                        c = Hixie76Client(hub)
                    else:
                        c = Conn(hub)
                    if data == "hixie":
                        data = oversized_hixie_request(hub.port)
                    elif data == "6455":
                        data = oversized_6455_request(hub.port)
                    if data:
                        c.send(data)
                    if ends is True:
                        self.assertTrue(c.closed_by_peer(timeout=10), "the hub kept the connection")
                    elif ends is False:
                        # Still served: the hub neither closes nor answers.
                        self.assertFalse(c.closed_by_peer(timeout=0.8), "the hub ended the connection")
                    if ends is not True:
                        hub.close_client(c)
                    self.assertTrue(hub.alive(), hub.log())
                    # The earlier pair still relays, and nothing of this
                    # opening reached it.
                    a.send(name.encode())
                    self.assertEqual(b.recv_exact(len(name)), name.encode())
            self.assertTrue(a.expect_nothing(0.2))
            assert_relaying(hub)

    def test_short_lived_connections_all_end_while_data_flows(self):
        # Connections that leave right after they were admitted, while a
        # talker's packets are being handed to them: each one must end (its
        # fin line), and the talker's stream must go on, whole and in order.
        churn = 300
        openers = [b"", b"GET / HTTP/1.1\r\n\r\n", b"\x16\x03\x01\x00\x05\x01\x00", b"hello"]
        with Hub(pem=True) as hub:
            talker, listener = raw_client(hub), raw_client(hub)
            before = hub.fin_count()
            sent = []
            done = threading.Event()

            def talk():
                for n in range(100000):
                    if done.is_set():
                        return
                    record = b"[%05d]" % n
                    talker.send(record)
                    sent.append(record)
                    time.sleep(0.0005)
            talking = threading.Thread(target=talk, daemon=True)
            talking.start()
            try:
                for i in range(churn):
                    c = Conn(hub)
                    if openers[i % len(openers)]:
                        c.send(openers[i % len(openers)])
                    if i % 2:
                        c.reset()
                    else:
                        c.close()
            finally:
                done.set()
                talking.join(t(30))
            ended = wait_until(lambda: hub.fin_count() >= before + churn, t(30))
            self.assertTrue(ended, "%d of %d connections never ended\n%s"
                            % (before + churn - hub.fin_count(), churn, hub.log()[-3000:]))
            talker.send(b"[done]")
            got = listener.recv_until(b"[done]", timeout=30)
            self.assertTrue(got.endswith(b"[done]"), "the talker's stream stopped")
            self.assertEqual(re.findall(rb"\[\d{5}\]", got), sent)
            assert_relaying(hub)


if __name__ == "__main__":
    unittest.main(verbosity=2)
