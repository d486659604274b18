"""Opening requests are read whole: across as many reads as they take,
within the receive buffer and a deadline, plain or inside TLS. Too big gets
431, too slow 408, and in no case does another client receive a byte of
them. A TLS client whose first data is not a request is relayed from its
first byte."""

import base64
import hashlib
import os
import struct
import threading
import time
import unittest
import urllib.parse

from hubtest.browser import CHROMIUM, Browser, PageServer
from hubtest.hub import HOST, Hub, t
from hubtest.streams import Conn, raw_client
from hubtest.ws_clients import accept_key, hixie_key

# The hub's deadline for a whole opening request, from the connection's
# arrival (the README documents it).
DEADLINE = 5.0
COOKIE_PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cookie_page.html")


def ws_request(port, extra_headers=()):
    key = base64.b64encode(os.urandom(16)).decode()
    lines = ["GET /chat HTTP/1.1", "Host: 127.0.0.1:%d" % port, "Upgrade: websocket", "Connection: Upgrade",
             "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13", *extra_headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode(), key


def hixie_request(port):
    k1, n1 = hixie_key()
    k2, n2 = hixie_key()
    challenge = os.urandom(8)
    head = ("GET /demo HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: %s\r\n"
            "Upgrade: WebSocket\r\nSec-WebSocket-Key1: %s\r\nOrigin: http://example.com\r\n\r\n"
            % (port, k2, k1)).encode()
    return head, challenge, hashlib.md5(struct.pack(">II", n1, n2) + challenge).digest()


class Writer(threading.Thread):
    """Writes pieces with pauses between them from its own thread; a write
    the hub refuses by closing ends it quietly."""

    def __init__(self, conn, pieces, pause):
        super().__init__(daemon=True)
        self.conn, self.pieces, self.pause = conn, pieces, pause
        self.start()

    def run(self):
        try:
            for i, piece in enumerate(self.pieces):
                if i:
                    time.sleep(self.pause)
                self.conn.send(piece)
        except OSError:
            pass


def read_response_head(c, timeout):
    return c.recv_until(b"\r\n\r\n", timeout=timeout)


class OpeningRequests(unittest.TestCase):
    def test_requests_read_whole_refused_when_too_big_or_too_slow_never_relayed(self):
        # name, TLS, pieces, pause between them, the response's first line
        def cases(port):
            request, key = ws_request(port)
            line_end = request.index(b"\r\n") + 2
            big, _ = ws_request(port, ["X-Padding-%02d: %s" % (i, "p" * 1000) for i in range(64)])
            return [
                ("64 KiB of headers", False, [big], 0, b"HTTP/1.1 431 Request Header Fields Too Large\r\n"),
                ("64 KiB of headers in TLS", True, [big], 0, b"HTTP/1.1 431 Request Header Fields Too Large\r\n"),
                ("request line, then the headers", False, [request[:line_end], request[line_end:]], 0.05,
                 ("HTTP/1.1 101 Switching Protocols", key)),
                ("request line, then the headers in TLS", True, [request[:line_end], request[line_end:]], 0.05,
                 ("HTTP/1.1 101 Switching Protocols", key)),
                ("one byte per 100 ms", False, [request[i:i + 1] for i in range(len(request))], 0.1,
                 b"HTTP/1.1 408 Request Timeout\r\n"),
                ("one byte per 100 ms in TLS", True, [request[i:i + 1] for i in range(len(request))], 0.1,
                 b"HTTP/1.1 408 Request Timeout\r\n"),
            ]

        with Hub(pem=True) as hub:
            peer = raw_client(hub)
            for name, tls, pieces, pause, expected in cases(hub.port):
                with self.subTest(name):
                    c = Conn(hub, tls=tls, timeout=DEADLINE + 5)
                    started = time.monotonic()
                    writer = Writer(c, pieces, pause)
                    head = read_response_head(c, DEADLINE + 3)
                    if isinstance(expected, tuple):
                        status, key = expected
                        self.assertTrue(head.startswith(status.encode()), head)
                        self.assertIn(("Sec-WebSocket-Accept: " + accept_key(key)).encode(), head)
                        self.assertEqual(hub.wait_kind(c.local_port), "WSS" if tls else "WS", hub.log())
                        hub.close_client(c)
                    else:
                        self.assertTrue(head.startswith(expected), head)
                        self.assertTrue(c.closed_by_peer(timeout=5), "the hub kept the connection")
                        if b"408" in expected:
                            self.assertGreaterEqual(time.monotonic() - started, DEADLINE - 0.5)
                    writer.join(t(DEADLINE + 5))
                    self.assertTrue(peer.expect_nothing(0.3), "bytes of the opening reached another client")
            log = hub.log()
            self.assertEqual(log.count("answered 431"), 2, log)
            self.assertEqual(log.count("answered 408"), 2, log)
            # The refused connections ended; the peer still relays.
            check = raw_client(hub, hello=b"still relaying")
            self.assertEqual(peer.recv_exact(len(b"still relaying")), b"still relaying")
            hub.close_client(check)

    def test_hixie76_key_bytes_after_a_pause_complete_the_request(self):
        with Hub() as hub:
            peer = raw_client(hub)
            head, challenge, digest = hixie_request(hub.port)
            c = Conn(hub)
            c.send(head)
            time.sleep(t(0.3))
            c.send(challenge)
            response = read_response_head(c, 5)
            self.assertTrue(response.startswith(b"HTTP/1.1 101 WebSocket Protocol Handshake"), response)
            self.assertEqual(c.recv_exact(16), digest)
            self.assertEqual(hub.wait_kind(c.local_port), "WS")
            c.send(b"\x00hixie words\xff")
            self.assertEqual(peer.recv_exact(len(b"hixie words")), b"hixie words")
            self.assertTrue(peer.expect_nothing(0.2))

    def test_what_follows_a_request_in_the_same_write_is_relayed(self):
        # A client that does not wait for the answer: its data behind the
        # request is its stream, the request itself is not.
        with Hub() as hub:
            peer = raw_client(hub)
            c = Conn(hub)
            c.send(b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nbehind the request")
            self.assertEqual(hub.wait_kind(c.local_port), "RAW")
            self.assertEqual(peer.recv_exact(len(b"behind the request")), b"behind the request")
            self.assertTrue(peer.expect_nothing(0.2))
            self.assertIn("Invalid or unsupported WebSocket handshake", hub.log())

    def test_tls_client_first_write_arrives_from_its_first_byte(self):
        with Hub(pem=True) as hub:
            peer = raw_client(hub)
            for first in (b"hello right after the handshake", b"GETX not a request", b"GE"):
                with self.subTest(first=first):
                    c = Conn(hub, tls=True)
                    c.send(first)
                    self.assertEqual(hub.wait_kind(c.local_port), "TLS", hub.log())
                    self.assertEqual(peer.recv_exact(len(first)), first)
                    c.send(b"+more")
                    self.assertEqual(peer.recv_exact(5), b"+more")
                    self.assertTrue(peer.expect_nothing(0.2))
                    hub.close_client(c)
            self.assertNotIn("Invalid or unsupported WebSocket handshake", hub.log())


@unittest.skipUnless(os.path.exists(CHROMIUM), "needs Debian's chromium")
class BrowserWithABigCookieJar(unittest.TestCase):
    def test_browser_with_a_6_kib_cookie_connects_at_a_larger_packet_length(self):
        # Cookies belong to the host, not the port: the page's own server
        # and the hub share 127.0.0.1, so the browser sends the page's
        # cookies with its WebSocket request. At the default length the
        # request does not fit: 431, and the page sees its connection fail.
        server = PageServer(COOKIE_PAGE)
        self.addCleanup(server.close)
        for args, opens in ((("-L", "16384"), True), ((), False)):
            with self.subTest(args=args), Hub(*args) as hub:
                peer = raw_client(hub)
                query = urllib.parse.urlencode({"url": "ws://%s:%d/" % (HOST, hub.port), "kib": 6})
                browser = Browser("http://%s:%d/page.html?%s" % (HOST, server.port, query), hub.dir)
                try:
                    ev = server.next_event(t(60))
                    self.assertIsNotNone(ev, "no event from the browser")
                    self.assertEqual(ev["type"], "cookies", ev)
                    self.assertGreaterEqual(ev["length"], 6 * 1024)
                    ev = server.next_event(t(30))
                    self.assertIsNotNone(ev, "no event from the browser")
                    if opens:
                        self.assertEqual(ev["type"], "open", ev)
                        self.assertEqual(peer.recv_exact(len(b"hello from the browser"), timeout=10),
                                         b"hello from the browser")
                        self.assertIn("  WS\n", hub.log())
                    else:
                        self.assertIn(ev["type"], ("error", "close"), ev)
                        self.assertTrue(hub.wait_log("answered 431"), hub.log())
                    self.assertTrue(peer.expect_nothing(0.5), "bytes of the request reached another client")
                finally:
                    browser.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
