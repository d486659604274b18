"""Off-the-shelf WebSocket clients through the hub: keep-alive pings answered
in order, empty messages that keep their sender, a raw client's bulk stream
reaching every kind of receiver whole, characters cut between two raw
senders' reads held back per sender, and the close frames that tell a
client why its connection ends (1000, 1009), sent behind what was already
queued for it."""

import hashlib
import json
import os
import random
import struct
import threading
import time
import unittest
import urllib.parse

from hubtest.browser import CHROMIUM, Browser, PageServer
from hubtest.hub import HOST, Hub, t
from hubtest.library_clients import ClientClosed, NodeWsClient, PyWsClient
from hubtest.streams import assert_relaying, raw_client
from hubtest.ws_clients import Hixie76Client, WsClient, ws_frame

BULK_PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bulk_page.html")

CLOSE_NORMAL = b"\x88\x02\x03\xe8"
CLOSE_TOO_BIG = b"\x88\x02\x03\xf1"


def utf8_text(size):
    """About `size` bytes of UTF-8 with characters of 1 to 4 bytes."""
    unit = "héllo wörld — ✓ 🎉 мир ".encode()
    return (unit * (size // len(unit) + 1))[:size].decode("utf-8", "ignore").encode()


def write_in_random_pieces(conn, data, seed, largest=9000):
    """Writes `data` in pieces of random size, so reads cut characters."""
    rng = random.Random(seed)
    at = 0
    while at < len(data):
        n = rng.randint(1, largest)
        conn.send(data[at:at + n])
        at += n


class Collector(threading.Thread):
    """Reads messages from a library client until `total` bytes came."""

    def __init__(self, client, total, timeout=60.0):
        super().__init__(daemon=True)
        self.client, self.total, self.timeout = client, total, timeout
        self.data, self.kinds, self.error = b"", set(), None
        self.start()

    def run(self):
        end = time.monotonic() + t(self.timeout)
        try:
            while len(self.data) < self.total and time.monotonic() < end:
                m = self.client.recv(timeout=10)
                if m is None:
                    continue
                self.kinds.add(type(m))
                self.data += m.encode() if isinstance(m, str) else m
        except ClientClosed as e:
            self.error = "closed with %r after %d bytes" % (e.code, len(self.data))


class HixieCollector(threading.Thread):
    def __init__(self, client, total, timeout=60.0):
        super().__init__(daemon=True)
        self.client, self.total, self.timeout = client, total, timeout
        self.data = b""
        self.start()

    def run(self):
        end = time.monotonic() + t(self.timeout)
        while len(self.data) < self.total and time.monotonic() < end:
            m = self.client.read_message(timeout=10)
            if m is not None:
                self.data += m


class RawCollector(threading.Thread):
    def __init__(self, conn, total, timeout=60.0):
        super().__init__(daemon=True)
        self.conn, self.total, self.timeout = conn, total, timeout
        self.data = b""
        self.start()

    def run(self):
        self.data = self.conn.recv_exact(self.total, timeout=self.timeout)


class KeepAlive(unittest.TestCase):
    def test_python_websockets_pinging_every_second_stays_and_relays(self):
        with Hub() as hub:
            raw = raw_client(hub)
            py = PyWsClient(hub, ping_interval=1)
            fins = hub.fin_count()
            end = time.monotonic() + 5
            i = 0
            while time.monotonic() < end:
                raw.send(b"tick %d" % i)
                self.assertEqual(py.recv(timeout=5), "tick %d" % i)
                py.send("tock %d" % i)
                self.assertEqual(raw.recv_exact(len("tock %d" % i)), b"tock %d" % i)
                i += 1
                time.sleep(0.25)
            self.assertTrue(py.open, "the pinging client was cut off")
            self.assertTrue(py.ping(b"and one more"), "no pong")
            self.assertEqual(hub.fin_count(), fins, hub.log())
            self.assertTrue(raw.expect_nothing(0.2), "a ping or pong was relayed")

    def test_ping_is_answered_after_the_data_queued_before_it(self):
        # A receiver that reads slowly, so data waits for it in the hub; its
        # ping is answered behind that data, as a frame of its own.
        data = utf8_text(300 << 10)
        with Hub() as hub:
            raw = raw_client(hub)
            c = WsClient(hub, rcvbuf=8192)
            sender = threading.Thread(target=write_in_random_pieces, args=(raw, data, 1), daemon=True)
            sender.start()
            fin, opcode, first = c.read_frame(timeout=10)
            self.assertEqual((fin, opcode), (True, 1))
            c.send(ws_frame(b"ping 1", opcode=9))
            got, pong_at = first, None
            while len(got) < len(data):
                frame = c.read_frame(timeout=10)
                self.assertIsNotNone(frame, "stalled after %d bytes" % len(got))
                fin, opcode, payload = frame
                if opcode == 10:
                    self.assertIsNone(pong_at, "two pongs for one ping")
                    self.assertEqual((fin, payload), (True, b"ping 1"))
                    pong_at = len(got)
                    continue
                self.assertEqual((fin, opcode), (True, 1))
                got += payload
            sender.join(t(10))
            self.assertEqual(got, data)
            self.assertIsNotNone(pong_at, "no pong")
            self.assertGreater(pong_at, 0)
            self.assertTrue(raw.expect_nothing(0.2), "the ping was relayed")

    def test_pings_and_pongs_between_fragments_leave_the_message_whole(self):
        with Hub() as hub:
            raw = raw_client(hub)
            listener = WsClient(hub)
            c = WsClient(hub)
            c.send(ws_frame(b"frag-", opcode=1, fin=False) + ws_frame(b"p", opcode=9)
                   + ws_frame(b"", opcode=10) + ws_frame(b"ment", opcode=0))
            self.assertEqual(c.read_frame(), (True, 10, b"p"))
            self.assertEqual(raw.recv_exact(9), b"frag-ment")
            self.assertEqual([listener.read_message(), listener.read_message()], [(1, b"frag-"), (1, b"ment")])
            self.assertTrue(c.expect_nothing(0.2))
            self.assertTrue(raw.expect_nothing(0.05))
            raw.send(b"still open")
            self.assertEqual(c.read_message(), (1, b"still open"))


class EmptyMessages(unittest.TestCase):
    def test_empty_messages_from_python_keep_the_sender(self):
        with Hub() as hub:
            raw = raw_client(hub)
            ws = WsClient(hub)
            node = NodeWsClient(hub)
            py = PyWsClient(hub)
            py.send("")
            py.send(b"")
            py.send("after")
            self.assertEqual([ws.read_message() for _ in range(3)], [(1, b""), (1, b""), (1, b"after")])
            self.assertEqual([node.recv() for _ in range(3)], ["", "", "after"])
            self.assertEqual(raw.recv_exact(5), b"after")
            self.assertTrue(raw.expect_nothing(0.2), "an empty message reached a raw client")
            self.assertTrue(py.open)
            raw.send(b"back")
            self.assertEqual(py.recv(), "back")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Bulk(unittest.TestCase):
    def test_a_megabyte_from_a_raw_client_reaches_every_kind_of_receiver_whole(self):
        # 1 MiB of UTF-8 text in writes of random size: reads of nearly L
        # bytes, characters cut between them. Every receiver gets all of it;
        # the WebSocket receivers in text messages (the strict ones would
        # fail the connection on one that is not valid UTF-8).
        data = utf8_text(1 << 20)
        with Hub(pem=True) as hub:
            sender = raw_client(hub)
            raw = raw_client(hub)
            py = PyWsClient(hub)
            wss = PyWsClient(hub, tls=True)
            node = NodeWsClient(hub)
            hixie = Hixie76Client(hub)
            collectors = [Collector(py, len(data)), Collector(wss, len(data)), Collector(node, len(data))]
            hixie_collector = HixieCollector(hixie, len(data))
            raw_collector = RawCollector(raw, len(data))
            write_in_random_pieces(sender, data, seed=3, largest=12000)
            for c in collectors:
                c.join(t(90))
                self.assertIsNone(c.error)
                self.assertEqual(len(c.data), len(data))
                self.assertEqual(c.data, data)
                self.assertEqual(c.kinds, {str}, "the stream went out as binary")
            hixie_collector.join(t(90))
            self.assertEqual(hixie_collector.data, data)
            raw_collector.join(t(90))
            self.assertEqual(raw_collector.data, data)
            assert_relaying(hub)

    @unittest.skipUnless(os.path.exists(CHROMIUM), "needs Debian's chromium")
    def test_chromium_sends_empty_messages_and_takes_a_megabyte_whole(self):
        data = utf8_text(1 << 20)
        server = PageServer(BULK_PAGE)
        self.addCleanup(server.close)

        def next_event(timeout=30.0):
            ev = server.next_event(t(timeout))
            self.assertIsNotNone(ev, "no event from the browser")
            return ev

        with Hub() as hub:
            raw = raw_client(hub)
            ws = WsClient(hub)
            query = urllib.parse.urlencode({"url": "ws://%s:%d/" % (HOST, hub.port),
                                            "send": json.dumps(["", "after empty"]),
                                            "expect": "5,%d" % (5 + len(data))})
            browser = Browser("http://%s:%d/page.html?%s" % (HOST, server.port, query), hub.dir)
            try:
                ev = next_event(timeout=60)
                self.assertEqual((ev["type"], ev["readyState"]), ("open", 1), ev)
                self.assertEqual([ws.read_message(timeout=10), ws.read_message()], [(1, b""), (1, b"after empty")])
                self.assertEqual(raw.recv_exact(11), b"after empty")
                # The browser is still there after its empty message.
                raw.send(b"alive")
                ev = next_event()
                self.assertEqual((ev["type"], ev["length"], ev["readyState"]), ("total", 5, 1), ev)
                hub.close_client(ws)
                write_in_random_pieces(raw, data, seed=5, largest=12000)
                ev = next_event(timeout=90)
                self.assertEqual(ev["type"], "total", ev)
                self.assertEqual(ev["length"], 5 + len(data))
                self.assertEqual(ev["sha256"], sha256(b"alive" + data))
                self.assertEqual((ev["binaries"], ev["readyState"]), (0, 1), ev)
            finally:
                browser.close()


class CutCharacters(unittest.TestCase):
    def test_interleaved_cut_characters_keep_strict_receivers_text(self):
        # Raw sender A writes "xé" cut after the first byte of "é"; raw
        # sender B writes "abc" before A's next write.
        with Hub() as hub:
            a, b = raw_client(hub), raw_client(hub)
            listener = raw_client(hub)
            observer = WsClient(hub)
            py = PyWsClient(hub)
            node = NodeWsClient(hub)
            for conn, piece in ((a, b"x\xc3"), (b, b"abc"), (a, b"\xa9")):
                conn.send(piece)
                # Each write reaches the hub as a read of its own.
                time.sleep(t(0.2))
            self.assertEqual(listener.recv_exact(6), b"x\xc3abc\xa9", "raw receivers get every byte at once")
            self.assertEqual([observer.read_frame() for _ in range(3)],
                             [(True, 1, b"x"), (True, 1, b"abc"), (True, 1, "é".encode())])
            self.assertEqual([py.recv() for _ in range(3)], ["x", "abc", "é"])
            self.assertEqual([node.recv() for _ in range(3)], ["x", "abc", "é"])

            # A leaves inside a character: its WebSocket receivers get those
            # bytes on their own, as binary (they are no text), and stay.
            a.send(b"y\xe2\x82")
            time.sleep(t(0.2))
            hub.close_client(a)
            self.assertEqual(py.recv(), "y")
            self.assertEqual(py.recv(), b"\xe2\x82")
            self.assertEqual(node.recv(), "y")
            self.assertEqual(node.recv(), b"\xe2\x82")
            b.send(b"z")
            self.assertEqual(py.recv(), b"z", "after invalid text the stream stays binary")
            self.assertEqual(node.recv(), b"z")
            self.assertTrue(py.open)


class ClearEnds(unittest.TestCase):
    def test_message_too_big_gets_1009_and_a_log_line(self):
        with Hub("-L", "4096") as hub:
            raw = raw_client(hub)
            py = PyWsClient(hub)
            py.send("x" * 10000)
            with self.assertRaises(ClientClosed) as closed:
                py.recv(timeout=10)
            self.assertEqual(closed.exception.code, 1009)
            self.assertTrue(hub.wait_log("message of 10000 bytes is larger than 4095 bytes (-L 4096), "
                                         "closed with 1009"), hub.log())
            # The hand-written client sees the exact frame, then the end.
            c = WsClient(hub)
            c.send(ws_frame(b"y" * 5000))
            self.assertEqual(c.recv_exact(4, timeout=10), CLOSE_TOO_BIG)
            self.assertTrue(c.closed_by_peer(), "the connection stayed open")
            self.assertEqual(c.pending, b"")
            self.assertTrue(raw.expect_nothing(0.3), "part of the message was relayed")
            assert_relaying(hub)

    def test_close_during_a_large_transfer_arrives_after_the_last_data_frame(self):
        data = utf8_text(2 << 20)
        for tls in (False, True):
            with self.subTest(tls=tls), Hub(pem=True) as hub:
                raw = raw_client(hub)
                c = WsClient(hub, tls=tls, rcvbuf=8192)
                sender = threading.Thread(target=write_in_random_pieces, args=(raw, data, 7), daemon=True)
                sender.start()
                got = c.read_frame(timeout=10)[2]
                c.send(ws_frame(struct.pack(">H", 1000), opcode=8))
                while True:
                    frame = c.read_frame(timeout=10)
                    self.assertIsNotNone(frame, "no close frame after %d bytes" % len(got))
                    fin, opcode, payload = frame
                    self.assertTrue(fin)
                    if opcode == 8:
                        self.assertEqual(payload, CLOSE_NORMAL[2:])
                        break
                    self.assertEqual(opcode, 1)
                    got += payload
                self.assertTrue(c.closed_by_peer(), "more came after the close frame")
                self.assertEqual(c.pending, b"")
                self.assertEqual(got, data[:len(got)], "the data before the close was not intact")
                self.assertTrue(hub.wait_log(".fin  active 01/", timeout=10), hub.log())
                sender.join(t(30))
                self.assertFalse(sender.is_alive(), "the sender stayed blocked")


if __name__ == "__main__":
    unittest.main(verbosity=2)
