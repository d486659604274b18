"""Every kind of client through one hub: RAW, TLS, WS, WSS and hixie-76 with
real client libraries, how each is classified and logged, and how what each
one sends reaches every other one, framed for the receiver."""

import random
import re
import socket
import ssl
import unittest

from hubtest.hub import HOST, Hub, t, wait_until
from hubtest.library_clients import NodeWsClient, OpenSslClient, PyWsClient
from hubtest.streams import assert_relaying, Conn, connect_together, raw_client
from hubtest.ws_clients import Hixie76Client, WsClient


# How each kind sends a payload, and how it receives: the receive functions
# return [(type, bytes)] until `size` payload bytes have come, where type is
# "text" or "binary" for RFC 6455 messages and "bytes" for the others.

def send_stream(c, payload, text):
    c.send(payload)


def send_frame(c, payload, text):
    c.send_message(payload, opcode=1 if text else 2)


def send_library(c, payload, text):
    c.send(payload.decode("utf-8") if text else payload)


def send_hixie(c, payload, text):
    c.send_message(payload)


def recv_stream(c, size):
    return [("bytes", c.recv_exact(size, timeout=10))]


def recv_frames(c, size):
    got, total = [], 0
    while total < size:
        m = c.read_message(timeout=10)
        if m is None:
            break
        opcode, payload = m
        got.append(({1: "text", 2: "binary"}.get(opcode, "opcode %d" % opcode), payload))
        total += len(payload)
    return got


def recv_library(c, size):
    got, total = [], 0
    while total < size:
        m = c.recv(timeout=10)
        if m is None:
            break
        got.append(("text", m.encode("utf-8")) if isinstance(m, str) else ("binary", m))
        total += len(got[-1][1])
    return got


def recv_hixie(c, size):
    got, total = [], 0
    while total < size:
        m = c.read_message(timeout=10)
        if m is None:
            break
        got.append(("bytes", m))
        total += len(m)
    return got


# name, how to open it, the kind the log names, send, receive,
# whether it receives RFC 6455 messages (whose type follows the UTF-8 scan)
KINDS = [
    ("raw", lambda hub: raw_client(hub), "RAW", send_stream, recv_stream, False),
    ("tls-python", lambda hub: raw_client(hub, tls=True), "TLS", send_stream, recv_stream, False),
    ("tls-openssl", OpenSslClient, "TLS", send_stream, recv_stream, False),
    ("ws-handwritten", WsClient, "WS", send_frame, recv_frames, True),
    ("ws-python", PyWsClient, "WS", send_library, recv_library, True),
    ("wss-python", lambda hub: PyWsClient(hub, tls=True), "WSS", send_library, recv_library, True),
    ("ws-node", NodeWsClient, "WS", send_library, recv_library, True),
    ("wss-node", lambda hub: NodeWsClient(hub, tls=True), "WSS", send_library, recv_library, True),
    ("hixie-76", Hixie76Client, "WS", send_hixie, recv_hixie, False),
]

SYN_KIND = re.compile(r"\r:: SYN from 127\.0\.0\.1:(\d+)  :: server_(\d\d)\.working  active (\d\d)/32  "
                      r"(RAW|TLS|WSS|WS)\n")


def text_payload(name, long=False):
    words = "%s: héllo wörld — Привет — 你好 — مرحبا — नमस्ते — 🎉👋" % name
    if long:
        # Over 125 bytes: a 16-bit length in RFC 6455 headers.
        words = (words + " ✓ ") * 20
    return words.encode("utf-8")


def binary_payload(name, rng):
    # Invalid UTF-8 from the first two bytes on; no 0xFF, which would end a
    # hixie-76 frame early (that framing has no escaping).
    body = bytes(rng.randrange(0, 0xFF) for _ in range(200))
    return b"\xc3\x28" + name.encode() + b"\x00" + body


class KindMatrix(unittest.TestCase):
    def test_every_pair_of_kinds_exchanges_text_and_binary_framed_for_the_receiver(self):
        rng = random.Random(6455)
        with Hub(pem=True) as hub:
            clients = []
            for name, open_client, log_kind, *_ in KINDS:
                c = open_client(hub)
                clients.append(c)
                self.assertEqual(hub.kind_of(c.local_port), log_kind, name + "\n" + hub.log())

            # The SYN lines name each client's port and kind, one new slot
            # each, with the active count rising by one per connection.
            lines = SYN_KIND.findall(hub.log())
            self.assertEqual([int(p) for p, *_ in lines], [c.local_port for c in clients], hub.log())
            self.assertEqual([k for *_, k in lines], [k for _, _, k, *_ in KINDS])
            self.assertEqual([int(a) for _, _, a, _ in lines], list(range(1, len(KINDS) + 1)))
            self.assertEqual(len({s for _, s, _, _ in lines}), len(KINDS), "one slot for two clients")

            # Text first (every receiver's stream is valid UTF-8 so far), then
            # binary, then text again: a WebSocket receiver that has had
            # invalid UTF-8 gets binary frames for good.
            phases = [("text", lambda name: text_payload(name), True, "text"),
                      ("long text", lambda name: text_payload(name, long=True), True, "text"),
                      ("binary", lambda name: binary_payload(name, rng), False, "binary"),
                      ("text after binary", lambda name: text_payload(name), True, "binary")]
            for phase, make, is_text, ws_type in phases:
                for i, (sender_name, _, _, send, _, _) in enumerate(KINDS):
                    payload = make(sender_name)
                    send(clients[i], payload, is_text)
                    for j, (receiver_name, _, _, _, receive, is_ws) in enumerate(KINDS):
                        if j == i:
                            continue
                        with self.subTest(phase=phase, sender=sender_name, receiver=receiver_name):
                            got = receive(clients[j], len(payload))
                            self.assertEqual(b"".join(p for _, p in got), payload)
                            types = {ty for ty, _ in got}
                            self.assertEqual(types, {ws_type} if is_ws else {"bytes"})

            # Nobody received its own data, nor anything twice.
            for (name, _, _, _, receive, _), c in zip(KINDS, clients):
                with self.subTest(quiet=name):
                    if receive is recv_library:
                        self.assertIsNone(c.recv(timeout=0.1))
                    elif isinstance(c, OpenSslClient):
                        self.assertEqual(c.recv_exact(1, timeout=0.1), b"")
                    else:
                        self.assertTrue(c.expect_nothing(0.1))

            # Each departure is logged with the count falling by one.
            for n, c in enumerate(clients):
                c.close()
                self.assertTrue(hub.wait_log(".fin  active %02u/32" % (len(KINDS) - n - 1), timeout=10),
                                hub.log())


class Classification(unittest.TestCase):
    def test_first_bytes_decide_the_kind_and_what_is_relayed(self):
        # name, TLS, first bytes, kind, rest (sent once classified), what a
        # raw peer receives, whether the invalid-handshake message is printed
        cases = [
            ("silent raw", False, b"", "RAW", b"later", b"later", False),
            ("under 6 bytes of a ClientHello", False, b"\x16\x03\x01", "RAW", b"\x00\x05\x01tail",
             b"\x16\x03\x01\x00\x05\x01tail", False),
            ("GE then a pause", False, b"GE", "RAW", b"T / HTTP/1.1\r\n\r\n", b"GET / HTTP/1.1\r\n\r\n", False),
            ("binary garbage", False, bytes(range(1, 200)), "RAW", b"!", bytes(range(1, 200)) + b"!", False),
            ("HTTP GET without WebSocket headers", False,
             b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n", "RAW", b"after the request",
             b"after the request", True),
            ("silent TLS", True, b"", "TLS", b"tls data", b"tls data", False),
            # A TLS client's first data is relayed from its first byte.
            ("TLS that speaks at once", True, b"first words", "TLS", b" tls data",
             b"first words tls data", False),
        ]
        with Hub(pem=True) as hub:
            peer = raw_client(hub)
            for name, tls, first, kind, rest, relayed, invalid in cases:
                with self.subTest(name):
                    invalid_before = hub.log().count("Invalid or unsupported WebSocket handshake")
                    c = Conn(hub, tls=tls)
                    if first:
                        c.send(first)
                    self.assertEqual(hub.wait_kind(c.local_port, timeout=6), kind, hub.log())
                    c.send(rest)
                    self.assertEqual(peer.recv_exact(len(relayed), timeout=5), relayed)
                    self.assertTrue(peer.expect_nothing(0.2), "more was relayed than expected")
                    invalid_after = hub.log().count("Invalid or unsupported WebSocket handshake")
                    self.assertEqual(invalid_after - invalid_before, 1 if invalid else 0, hub.log())
                    hub.close_client(c)

    def test_tls_client_without_a_certificate_is_disconnected_and_relays_nothing(self):
        with Hub() as hub:
            self.assertIn("RAW WS  max connections: 32", hub.log())
            peer = raw_client(hub)
            sock = socket.create_connection((HOST, hub.port), timeout=t(5))
            port = sock.getsockname()[1]
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            with self.assertRaises((ssl.SSLError, OSError)):
                ctx.wrap_socket(sock, server_hostname="127.0.0.1")
            sock.close()
            self.assertTrue(hub.wait_log(".fin  active 01/32"), hub.log())
            self.assertRegex(hub.log(), r"SYN from 127\.0\.0\.1:%d  :: server_\d\d\.working  active 02/32  "
                                        r"\n\n:: server_\d\d\.fin  active 01/32\n" % port)
            self.assertTrue(peer.expect_nothing(0.3), "the ClientHello was relayed")
            assert_relaying(hub)

    def test_syn_lines_name_each_peer_of_connections_accepted_together(self):
        with Hub() as hub:
            for round_no in range(3):
                before = len(hub.syn_ports())
                socks = connect_together(hub, 16)
                ports = sorted(s.getsockname()[1] for s in socks)
                self.assertTrue(wait_until(lambda: len(hub.syn_ports()) >= before + len(socks), t(10)),
                                hub.log())
                self.assertEqual(sorted(hub.syn_ports()[before:]), ports, "round %d\n%s" % (round_no, hub.log()))
                # Whatever kinds were printed while others came in are right.
                for p in ports:
                    self.assertIn(hub.kind_of(p), (None, "RAW"))
                for s in socks:
                    s.close()
                self.assertTrue(hub.wait_log(".fin  active 00/32", count=round_no + 1, timeout=15),
                                hub.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
