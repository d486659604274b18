"""Who may connect: the listen address (-b), the admitted peers (-a), the
browser Origins (-o) and the slots one address may hold (-m). Refusals are
logged one line each; a refused client never reads or feeds the relay."""

import base64
import os
import re
import socket
import time
import unittest

from hubtest.hub import HOST, Hub, t, wait_until
from hubtest.library_clients import ClientClosed, PyWsClient
from hubtest.streams import Conn
from hubtest.ws_clients import accept_key

SECOND_HOST = "127.0.0.2"
OPEN_LINE = ":: any address may connect and read the relay"


def connect_from(hub, source, target=HOST, timeout=5.0):
    """A socket connected to the hub from the loopback address `source`."""
    s = socket.socket()
    s.settimeout(t(timeout))
    s.bind((source, 0))
    s.connect((target, hub.port))
    return s


def client_from(hub, source, hello=None):
    c = Conn(hub, sock=connect_from(hub, source))
    if hello is not None:
        c.send(hello)
    return c


def kind_from(hub, source, port, timeout=5.0):
    """The kind printed for the connection from source:port, or None."""
    pattern = re.compile(r"SYN from %s:%d  :: server_\d+\.working  active \d+/\d+  (?:[^\r]*?\n)??"
                         r"(RAW|TLS|WSS|WS)\n" % (re.escape(source), port))
    found = [None]

    def printed():
        m = pattern.search(hub.log())
        found[0] = m.group(1) if m else None
        return found[0] is not None
    wait_until(printed, t(timeout))
    return found[0]


def ws_request(port, origin=None):
    key = base64.b64encode(os.urandom(16)).decode()
    lines = ["GET / HTTP/1.1", "Host: 127.0.0.1:%d" % port, "Upgrade: websocket", "Connection: Upgrade",
             "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
    if origin:
        lines.append("Origin: " + origin)
    return ("\r\n".join(lines) + "\r\n\r\n").encode(), key


class WhoMayConnect(unittest.TestCase):
    def test_one_address_cannot_take_every_slot_with_a_limit_per_address(self):
        # 32 raw connections that send nothing from 127.0.0.1. Without a
        # limit they hold every slot and a client from 127.0.0.2 waits in
        # the backlog; with -m 4 it is served at once.
        for args, served in (((), False), (("-m", "4"), True)):
            with self.subTest(args=args), Hub(*args) as hub:
                idle = [Conn(hub) for _ in range(32)]
                if served:
                    self.assertTrue(hub.wait_log("connections already", count=28, timeout=10), hub.log())
                self.assertTrue(wait_until(lambda: len(hub.syn_ports()) >= (4 if served else 32), t(10)),
                                hub.log())
                # Past both classification windows: the slots are relaying.
                time.sleep(t(1.5))
                other = client_from(hub, SECOND_HOST, hello=b"from the second address")
                if not served:
                    self.assertIsNone(kind_from(hub, SECOND_HOST, other.local_port, timeout=2),
                                      "a 33rd client was served\n" + hub.log())
                    continue
                self.assertEqual(kind_from(hub, SECOND_HOST, other.local_port, timeout=3), "RAW", hub.log())
                # The 28 connections over the limit were closed at once; the
                # four admitted ones relay with the newcomer.
                admitted = [c for c in idle if not c.closed_by_peer(timeout=0.05)]
                self.assertEqual(len(admitted), 4, hub.log())
                for n, c in enumerate(admitted):
                    c.send(b"[%d]" % n)
                got = other.recv_exact(12, timeout=5)
                self.assertEqual(sorted(re.findall(rb"\[\d\]", got)), [b"[0]", b"[1]", b"[2]", b"[3]"], got)
                log = hub.log()
                self.assertEqual(len(re.findall(r":: server_\d\d\.refused  127\.0\.0\.1:\d+  this address holds "
                                                r"4 connections already\n", log)), 28, log)

    def test_allowed_peers_only(self):
        with Hub("-a", "127.0.0.2/32") as hub:
            self.assertNotIn(OPEN_LINE, hub.log())
            stranger = Conn(hub)
            self.assertTrue(stranger.closed_by_peer(timeout=5), "a peer outside -a was kept")
            self.assertTrue(hub.wait_log(":: server_", timeout=5))
            self.assertRegex(hub.log(), r":: server_\d\d\.refused  127\.0\.0\.1:%d  not an allowed address\n"
                             % stranger.local_port)
            a = client_from(hub, SECOND_HOST, hello=b"a;")
            self.assertEqual(kind_from(hub, SECOND_HOST, a.local_port), "RAW", hub.log())
            b = client_from(hub, SECOND_HOST, hello=b"b;")
            self.assertEqual(kind_from(hub, SECOND_HOST, b.local_port), "RAW", hub.log())
            self.assertEqual(a.recv_exact(2), b"b;")
            self.assertNotIn("SYN from 127.0.0.1:", hub.log())

    def test_origins_not_allowed_get_403_and_nothing_of_theirs_is_relayed(self):
        with Hub("-o", "https://good.example") as hub:
            self.assertNotIn(OPEN_LINE, hub.log())
            peer = client_from(hub, HOST, hello=b"")
            self.assertEqual(kind_from(hub, HOST, peer.local_port, timeout=6), "RAW", hub.log())
            # origin, answer
            for origin, status in (("https://evil.example", b"HTTP/1.1 403 Forbidden\r\n"),
                                   ("https://good.example", b"HTTP/1.1 101 Switching Protocols\r\n"),
                                   ("HTTPS://GOOD.EXAMPLE", b"HTTP/1.1 101 Switching Protocols\r\n"),
                                   # A program, not a web page: no Origin at all.
                                   (None, b"HTTP/1.1 101 Switching Protocols\r\n")):
                with self.subTest(origin=origin):
                    request, key = ws_request(hub.port, origin)
                    c = Conn(hub)
                    c.send(request)
                    head = c.recv_until(b"\r\n\r\n", timeout=5)
                    self.assertTrue(head.startswith(status), head)
                    if b"403" in status:
                        self.assertTrue(c.closed_by_peer(timeout=5), "the hub kept the connection")
                        self.assertTrue(hub.wait_log("Origin not allowed: answered 403"), hub.log())
                    else:
                        self.assertIn(("Sec-WebSocket-Accept: " + accept_key(key)).encode(), head)
                        self.assertEqual(kind_from(hub, HOST, c.local_port), "WS", hub.log())
                        hub.close_client(c)
                    self.assertTrue(peer.expect_nothing(0.3), "bytes of the request reached another client")

    def test_listen_address_and_the_open_hub_line(self):
        with Hub() as hub:
            self.assertIn(OPEN_LINE, hub.log())
            self.assertIn(":: bind(0.0.0.0:%d)" % hub.port, hub.log())
        with Hub("-b", SECOND_HOST) as hub:
            log = hub.log()
            self.assertIn(":: bind(127.0.0.2:%d)  RAW WS  max connections: 32\n" % hub.port, log)
            self.assertNotIn(OPEN_LINE, log)
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((HOST, hub.port), timeout=t(5)).close()
            a = Conn(hub, sock=connect_from(hub, SECOND_HOST, target=SECOND_HOST))
            a.send(b"a;")
            # b's bytes reach a only once a relays.
            self.assertEqual(kind_from(hub, SECOND_HOST, a.local_port, timeout=10), "RAW", hub.log())
            b = Conn(hub, sock=connect_from(hub, SECOND_HOST, target=SECOND_HOST))
            b.send(b"b;")
            self.assertEqual(a.recv_exact(2), b"b;")


class IdleTimeOut(unittest.TestCase):
    def test_idle_connections_are_closed_busy_ones_kept(self):
        with Hub("-i", "2", pem=True) as hub:
            # Nobody talks: a raw, a TLS and a WebSocket client are idle.
            started = time.monotonic()
            silent = Conn(hub)
            silent_tls = Conn(hub, tls=True)
            ws = PyWsClient(hub)
            time.sleep(1.5)
            self.assertFalse(silent.closed_by_peer(timeout=0.01), "closed before its idle time")
            self.assertTrue(silent.closed_by_peer(timeout=t(3)), "the silent client was kept\n" + hub.log())
            self.assertGreaterEqual(time.monotonic() - started, 2.0)
            self.assertTrue(silent_tls.closed_by_peer(timeout=t(3)), "the silent TLS client was kept")
            with self.assertRaises(ClientClosed) as closed:
                ws.recv(timeout=3)
            self.assertEqual(closed.exception.code, 1001)
            log = hub.log()
            self.assertRegex(log, r":: server_\d\d  idle for 2 s, closed\n")
            self.assertRegex(log, r":: server_\d\d  idle for 2 s, closed with 1001\n")

            # A client that writes every half second, and one that only
            # receives what it writes: traffic either way keeps both.
            talker = Conn(hub)
            talker.send(b"t0;")
            listener = Conn(hub)
            # The listener relays once what the talker writes reaches it (its
            # kind may be left off the log when another connection ends
            # while it is classified).
            def listening():
                talker.send(b"p;")
                return listener.recv_until(b"p;", timeout=0.5).endswith(b"p;")
            self.assertTrue(wait_until(listening, t(10), step=0.1), hub.log())
            for n in range(1, 9):
                time.sleep(0.5)
                talker.send(b"t%d;" % n)
            got = listener.recv_until(b"t8;", timeout=2)
            self.assertTrue(got.endswith(b"t8;"), got)
            self.assertFalse(talker.closed_by_peer(timeout=0.01), "a client that talks was closed")
            self.assertFalse(listener.closed_by_peer(timeout=0.01), "a client that receives was closed")
            self.assertEqual(hub.log().count("idle for 2 s"), 3, hub.log())

    def test_idle_time_counts_from_the_end_of_a_slow_opening(self):
        # A request that takes longer than the idle limit to arrive (within
        # the opening deadline) is traffic: the upgraded client gets its
        # full idle time afterwards, then close 1001.
        with Hub("-i", "2") as hub:
            request, key = ws_request(hub.port)
            line_end = request.index(b"\r\n") + 2
            c = Conn(hub)
            c.send(request[:line_end])
            time.sleep(2.5)
            c.send(request[line_end:])
            head = c.recv_until(b"\r\n\r\n", timeout=5)
            self.assertIn(("Sec-WebSocket-Accept: " + accept_key(key)).encode(), head)
            upgraded = time.monotonic()
            # Unscaled: the idle limit is a fixed 2 s in every build.
            c.sock.settimeout(1.5)
            with self.assertRaises(socket.timeout, msg="closed at once after a slow opening"):
                c.sock.recv(1)
            self.assertEqual(c.recv_exact(4, timeout=3), b"\x88\x02\x03\xe9")  # close 1001
            self.assertGreaterEqual(time.monotonic() - upgraded, 1.9)


if __name__ == "__main__":
    unittest.main(verbosity=2)
