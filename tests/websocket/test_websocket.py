"""WebSocket framing through the hub: the close reply, protocol errors that
end only their sender with close 1002, frames cut into tiny writes or packed
into one, payloads up to the largest frame reaching every receiver, the
text/binary choice that follows the UTF-8 stream of each receiver, and
hixie-76 next to RFC 6455."""

import random
import struct
import time
import unittest

from hubtest.hub import Hub
from hubtest.library_clients import ClientClosed, PyWsClient
from hubtest.streams import assert_relaying, raw_client
from hubtest.ws_clients import Hixie76Client, ws_frame, WsClient, xor_mask

CLOSE_REPLY = b"\x88\x02\x03\xe8"
CLOSE_PROTOCOL_ERROR = b"\x88\x02\x03\xea"


def masked_close(payload=b""):
    return ws_frame(payload, opcode=8)


class ControlFrames(unittest.TestCase):
    def test_close_frame_is_answered_with_1000_and_ends_only_that_connection(self):
        cases = [
            ("with code and reason", False, masked_close(struct.pack(">H", 1000) + b"bye")),
            ("empty", False, masked_close()),
            ("unmasked", False, b"\x88\x00"),
            ("going away over TLS", True, masked_close(struct.pack(">H", 1001))),
        ]
        with Hub(pem=True) as hub:
            raw = raw_client(hub)
            listener = WsClient(hub)
            for name, tls, frame in cases:
                with self.subTest(name):
                    c = WsClient(hub, tls=tls)
                    c.send(frame)
                    self.assertEqual(c.recv_exact(4, timeout=5), CLOSE_REPLY)
                    self.assertTrue(c.closed_by_peer(), "the connection stayed open")
                    self.assertEqual(c.pending, b"", "more than the close reply was sent")
                    # The close frame is not relayed, and the others go on.
                    self.assertTrue(raw.expect_nothing(0.2))
                    raw.send(name.encode())
                    self.assertEqual(listener.read_message(), (1, name.encode()))

    def test_protocol_errors_end_the_sender_with_1002_and_harm_no_one(self):
        # Every case is sent right behind a valid frame in the same write:
        # the valid one is relayed, then the sender gets close 1002 and its
        # connection ends.
        cases = [
            ("close without FIN", ws_frame(b"\x03\xe8", opcode=8, fin=False)),
            ("ping without FIN", ws_frame(b"x", opcode=9, fin=False)),
            ("ping of 126 bytes", ws_frame(b"p" * 126, opcode=9)),
            ("reserved control opcode", ws_frame(b"x", opcode=11)),
            ("reserved data opcode", ws_frame(b"x", opcode=3)),
            ("RSV1", ws_frame(b"deflated?", rsv=4)),
            ("RSV2", ws_frame(b"x", rsv=2)),
            ("RSV3", ws_frame(b"x", opcode=2, rsv=1)),
            ("stray final continuation", ws_frame(b"tail", opcode=0)),
            ("stray continuation without FIN", ws_frame(b"tail", opcode=0, fin=False)),
            ("continuation after a finished message",
             ws_frame(b"a", opcode=1, fin=False) + ws_frame(b"b", opcode=0) + ws_frame(b"c", opcode=0)),
        ]
        with Hub() as hub:
            raw = raw_client(hub)
            listener = WsClient(hub)
            for name, frame in cases:
                with self.subTest(name):
                    c = WsClient(hub)
                    before = ("before " + name).encode()
                    c.send(ws_frame(before) + frame)
                    self.assertEqual(c.recv_exact(4, timeout=5), CLOSE_PROTOCOL_ERROR)
                    self.assertTrue(c.closed_by_peer(), "the sender's connection stayed open")
                    self.assertEqual(c.pending, b"", "more than the close frame was sent")
                    relayed = before + (b"ab" if name.startswith("continuation after") else b"")
                    self.assertEqual(raw.recv_exact(len(relayed)), relayed)
                    self.assertEqual(listener.read_message(), (1, before))
                    if name.startswith("continuation after"):
                        self.assertEqual(listener.read_message(), (1, b"a"))
                        self.assertEqual(listener.read_message(), (1, b"b"))
                    self.assertTrue(raw.expect_nothing(0.2), "part of the bad frame was relayed")
                    self.assertTrue(listener.expect_nothing(0.05))
                    raw.send(b"still here")
                    self.assertEqual(listener.read_message(), (1, b"still here"))
            assert_relaying(hub)


def dribble(conn, data, pause=0.002):
    """Writes one byte at a time for the header, then small pieces."""
    for i in range(min(len(data), 16)):
        conn.send(data[i:i + 1])
        time.sleep(pause)
    for i in range(16, len(data), 7):
        conn.send(data[i:i + 7])
        time.sleep(pause)


class Framing(unittest.TestCase):
    def test_frame_written_in_tiny_pieces_is_relayed_once_whole(self):
        cases = [
            ("short masked", ws_frame("tiny pieces ✓".encode())),
            ("16-bit length masked", ws_frame(("Łódź " * 60).encode())),
            ("unmasked", ws_frame(b"unmasked but accepted", mask=False)),
            ("binary", ws_frame(bytes(range(256)) * 2, opcode=2)),
        ]
        with Hub() as hub:
            raw = raw_client(hub)
            ws = WsClient(hub)
            hixie = Hixie76Client(hub)
            sender = WsClient(hub)
            for name, frame in cases:
                with self.subTest(name):
                    payload = self._payload_of(frame)
                    dribble(sender, frame)
                    self.assertEqual(raw.recv_exact(len(payload)), payload)
                    self.assertEqual(ws.read_message()[1], payload)
                    self.assertTrue(raw.expect_nothing(0.2), "relayed more than once")
                    self.assertTrue(ws.expect_nothing(0.05))
            # The hixie-76 receiver saw every payload (those without 0xFF
            # come out whole).
            for name, frame in cases[:3]:
                self.assertEqual(hixie.read_message(), self._payload_of(frame), name)

    @staticmethod
    def _payload_of(frame):
        n = frame[1] & 0x7F
        at = 2 if n < 126 else 4
        if n == 126:
            n = struct.unpack(">H", frame[2:4])[0]
        if frame[1] & 0x80:
            return xor_mask(frame[at + 4:at + 4 + n], frame[at:at + 4])
        return frame[at:at + n]

    def test_many_frames_in_one_write_are_relayed_as_messages_in_order(self):
        rng = random.Random(42)
        payloads = []
        for i in range(60):
            size = rng.choice([1, 5, 60, 125, 126, 300, 1000])
            payloads.append(("#%02d " % i + "ж" * size)[:size + 4].encode())
        # A fragmented message in the middle: each fragment is relayed as it
        # comes, in order.
        fragments = [(1, False, b"frag-a "), (0, False, b"frag-b "), (0, True, b"frag-c")]
        wire = b"".join(ws_frame(p) for p in payloads[:30])
        wire += b"".join(ws_frame(p, opcode=op, fin=fin) for op, fin, p in fragments)
        wire += b"".join(ws_frame(p) for p in payloads[30:])
        expected = payloads[:30] + [p for _, _, p in fragments] + payloads[30:]
        with Hub() as hub:
            raw = raw_client(hub)
            ws = WsClient(hub)
            hixie = Hixie76Client(hub)
            lib = PyWsClient(hub)
            sender = WsClient(hub)
            sender.send(wire)
            self.assertEqual(raw.recv_exact(sum(map(len, expected)), timeout=10), b"".join(expected))
            self.assertEqual([ws.read_message() for _ in expected], [(1, p) for p in expected])
            self.assertEqual([hixie.read_message() for _ in expected], expected)
            self.assertEqual([lib.recv() for _ in expected], [p.decode() for p in expected])
            self.assertTrue(ws.expect_nothing(0.2))

    def test_server_frames_use_the_shortest_length_field(self):
        # payload size, the header bytes an RFC 6455 receiver gets
        cases = [
            (125, b"\x81\x7d"),
            (126, b"\x81\x7e\x00\x7e"),
            (65535, b"\x81\x7e\xff\xff"),
            (65536, b"\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00"),
        ]
        with Hub("-L", "70000") as hub:
            ws = WsClient(hub)
            lib = PyWsClient(hub)
            sender = WsClient(hub)
            for size, header in cases:
                with self.subTest(size=size):
                    payload = (b"0123456789abcdef" * (size // 16 + 1))[:size]
                    sender.send_message(payload, opcode=1)
                    self.assertEqual(ws.recv_exact(len(header), timeout=10), header)
                    self.assertEqual(ws.recv_exact(size, timeout=10), payload)
                    self.assertEqual(lib.recv(timeout=10), payload.decode())


class SizeLimits(unittest.TestCase):
    def test_the_largest_frames_a_sender_can_send_reach_every_receiver(self):
        # L is 4096: a WebSocket sender's frame, header included, takes at
        # most 4095 bytes (4087 bytes of masked payload); the hub's frames
        # to RFC 6455 receivers take 4 bytes of header for these, and fit.
        # The sender is a WebSocket client, so a payload is one packet
        # however the bytes are cut on the way in.
        with Hub(pem=True) as hub:
            raw = raw_client(hub)
            tls = raw_client(hub, tls=True)
            hixie = Hixie76Client(hub)
            ws = WsClient(hub)
            wss = WsClient(hub, tls=True)
            lib = PyWsClient(hub)
            sender = WsClient(hub)
            for size in (4086, 4087):
                with self.subTest(size=size):
                    payload = bytes([0x41 + i % 26 for i in range(size)])
                    sender.send_message(payload, opcode=1)
                    for c in (raw, tls):
                        self.assertEqual(c.recv_exact(size, timeout=10), payload)
                    self.assertEqual(hixie.read_message(timeout=10), payload)
                    tls.send(b"small one")
                    for c in (ws, wss, sender):
                        if c is not sender:
                            self.assertEqual(c.read_message(timeout=10), (1, payload))
                        self.assertEqual(c.read_message(timeout=10), (1, b"small one"))
                    self.assertEqual(lib.recv(timeout=10), payload.decode())
                    self.assertEqual(lib.recv(timeout=10), "small one")
                    self.assertEqual(raw.recv_exact(9), b"small one")
                    self.assertEqual(hixie.read_message(), b"small one")

    def test_packet_length_below_256_relays_an_upgrade_request_as_data(self):
        with Hub("-L", "200") as hub:
            peer = raw_client(hub)
            c = WsClient(hub, check_kind=False)
            self.assertEqual(hub.wait_kind(c.local_port, timeout=6), "RAW", hub.log())
            self.assertEqual(peer.recv_until(b"\r\n\r\n"), c.request)
            self.assertTrue(c.expect_nothing(0.3), "the hub answered the handshake")
            frame = ws_frame(b"framed", mask=False)
            c.send(frame)
            self.assertEqual(peer.recv_exact(len(frame)), frame)
            self.assertNotIn("Invalid or unsupported", hub.log())


class TextOrBinary(unittest.TestCase):
    # The packets one sender relays (each a frame of its own), and the frames
    # one fresh RFC 6455 receiver gets: (first header byte, payload).
    EXACT = [
        ("ASCII and accents", [b"plain", "héllo".encode()], [(0x81, b"plain"), (0x81, "héllo".encode())]),
        ("Arabic, Devanagari, Thai, emoji",
         ["مرحبا नमस्ते สวัสดี 👋🏽".encode()], [(0x81, "مرحبا नमस्ते สวัสดี 👋🏽".encode())]),
        # A WebSocket sender's messages are relayed whole, each a frame of
        # its own: one that ends inside a character is not valid text, and
        # the receiver turns binary. (A raw sender's cut characters are
        # held back instead: test_cut_characters.py.)
        ("two-byte character cut in two", [b"caf\xc3", b"\xa9!"], [(0x82, b"caf\xc3"), (0x82, b"\xa9!")]),
        ("emoji cut in three", [b"\xf0\x9f", b"\x98", b"\x80 ok"],
         [(0x82, b"\xf0\x9f"), (0x82, b"\x98"), (0x82, b"\x80 ok")]),
        ("invalid sequence turns the stream binary for good", [b"ok", b"\xc3\x28", b"text again"],
         [(0x81, b"ok"), (0x82, b"\xc3\x28"), (0x82, b"text again")]),
        ("surrogate", [b"\xed\xa0\x80", b"x"], [(0x82, b"\xed\xa0\x80"), (0x82, b"x")]),
        ("overlong slash", [b"\xc0\xaf", b"x"], [(0x82, b"\xc0\xaf"), (0x82, b"x")]),
        ("overlong three-byte", [b"\xe0\x80\xaf"], [(0x82, b"\xe0\x80\xaf")]),
        ("above U+10FFFF", [b"\xf4\x90\x80\x80"], [(0x82, b"\xf4\x90\x80\x80")]),
        ("leading continuation bytes on a fresh stream", [b"\x80\x80 tail", b"text"],
         [(0x82, b"\x80\x80 tail"), (0x81, b"text")]),
        ("0xFF alone between characters", [b"a", b"\xff", b"b"], [(0x81, b"a"), (0x82, b"\xff"), (0x81, b"b")]),
    ]
    # Streams that turn invalid right after a packet that ended inside a
    # character: that packet already turned the receiver binary, so no text
    # message was ever left open.
    BROKEN_AFTER_A_CUT = [
        ("ASCII where a continuation byte belongs", [b"\xe2\x82", b"A", b"next"],
         [(0x82, b"\xe2\x82"), (0x82, b"A"), (0x82, b"next")]),
        ("invalid byte after a cut", [b"ok \xc3", b"\x28 and more", b"next"],
         [(0x82, b"ok \xc3"), (0x82, b"\x28 and more"), (0x82, b"next")]),
        ("0xFF after a cut", [b"\xc3", b"\xff", b"next"],
         [(0x82, b"\xc3"), (0x82, b"\xff"), (0x82, b"next")]),
    ]

    def test_each_receiver_gets_text_while_its_stream_is_valid_utf8(self):
        with Hub() as hub:
            sender = WsClient(hub)
            for name, packets, frames in self.EXACT + self.BROKEN_AFTER_A_CUT:
                with self.subTest(name):
                    receiver = WsClient(hub)
                    got = []
                    for p in packets:
                        sender.send_message(p, opcode=2)
                        # One packet at a time: each is framed on its own.
                        fin, opcode, payload = receiver.read_frame()
                        got.append(((0x80 if fin else 0) | opcode, payload))
                    self.assertEqual(got, frames)
                    self.assertTrue(receiver.expect_nothing(0.05))
                    hub.close_client(receiver)

    def test_library_receivers_never_see_invalid_text_and_stay_open(self):
        # A library client (or a browser) fails the connection on a text
        # message that is not valid UTF-8, so the bytes must reach it in
        # messages that are each valid: characters cut between packets, and
        # invalid sequences inside a packet, included.
        cases = [(name, packets) for name, packets, _ in self.EXACT]
        with Hub() as hub:
            sender = WsClient(hub)
            for name, packets in cases:
                with self.subTest(name):
                    receiver = PyWsClient(hub)
                    pacer = WsClient(hub)
                    for p in packets + [b"\x00end"]:
                        sender.send_message(p, opcode=2)
                        # One packet at a time: each is framed on its own.
                        self.assertEqual(pacer.read_frame()[2], p)
                    got, failed = b"", None
                    try:
                        while not got.endswith(b"\x00end"):
                            m = receiver.recv(timeout=5)
                            self.assertIsNotNone(m, "stalled after %r" % got)
                            got += m.encode() if isinstance(m, str) else m
                    except ClientClosed:
                        failed = "the receiver failed the connection on invalid text after %r" % got
                    self.assertIsNone(failed)
                    self.assertEqual(got, b"".join(packets) + b"\x00end")
                    hub.close_client(pacer)
                    hub.close_client(receiver)


class Hixie76(unittest.TestCase):
    def test_hixie76_and_rfc6455_clients_exchange_messages_intact(self):
        texts = ["first", "zweite Nachricht — ✓", "x" * 300, "🎉 last"]
        with Hub() as hub:
            hixie = Hixie76Client(hub)
            ws = WsClient(hub)
            lib = PyWsClient(hub)
            raw = raw_client(hub)
            # One frame per write, then all frames in one write.
            for s in texts:
                hixie.send_message(s)
                self.assertEqual(ws.read_message(), (1, s.encode()))
            hixie.send(b"".join(b"\x00" + s.encode() + b"\xff" for s in texts))
            self.assertEqual([ws.read_message() for _ in texts], [(1, s.encode()) for s in texts])
            self.assertEqual([lib.recv() for _ in range(2 * len(texts))], texts * 2)
            self.assertEqual(raw.recv_exact(2 * sum(len(s.encode()) for s in texts)),
                             b"".join(s.encode() for s in texts) * 2)
            self.assertTrue(ws.expect_nothing(0.2), "a hixie-76 payload came with an extra byte or twice")

            # And back: RFC 6455 messages reach the hixie-76 client as 0x00 payload 0xFF.
            for s in texts:
                lib.send(s)
                self.assertEqual(hixie.read_message(), s.encode())
            ws.send(b"".join(ws_frame(s.encode()) for s in texts))
            self.assertEqual([hixie.read_message() for _ in texts], [s.encode() for s in texts])
            self.assertTrue(hixie.expect_nothing(0.2))

    def test_hixie76_frame_split_over_writes_is_relayed_once(self):
        with Hub() as hub:
            hixie = Hixie76Client(hub)
            ws = WsClient(hub)
            frame = b"\x00" + "split hixie-76 frame ✓".encode() + b"\xff"
            dribble(hixie, frame)
            self.assertEqual(ws.read_message(), (1, frame[1:-1]))
            self.assertTrue(ws.expect_nothing(0.2))
            # The empty frame 0x00 0xFF is an empty message; the closing
            # frame 0xFF 0x00 is answered with one and ends the sender.
            hixie.send(b"\x00\xff")
            self.assertEqual(ws.read_frame(), (True, 1, b""))
            hixie.send(b"\xff\x00")
            self.assertEqual(hixie.recv_exact(2), b"\xff\x00")
            self.assertTrue(hixie.closed_by_peer())
            self.assertTrue(ws.expect_nothing(0.2))


if __name__ == "__main__":
    unittest.main(verbosity=2)
