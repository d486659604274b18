"""Hand-written WebSocket clients that control every byte they send:
RFC 6455 and the older hixie-76 draft."""

import base64
import hashlib
import os
import random
import struct
import time

from hubtest.hub import t
from hubtest.streams import Conn

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def accept_key(key):
    return base64.b64encode(hashlib.sha1(key.encode() + WS_GUID).digest()).decode()


def ws_frame(payload, opcode=1, fin=True, mask=True, rsv=0, length_override=None):
    head = bytes([(0x80 if fin else 0) | (rsv << 4) | opcode])
    n = len(payload) if length_override is None else length_override
    m = 0x80 if mask else 0
    if n < 126:
        head += bytes([m | n])
    elif n < 65536:
        head += bytes([m | 126]) + struct.pack(">H", n)
    else:
        head += bytes([m | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + xor_mask(payload, key)


def xor_mask(payload, key):
    """XOR with the 4-byte key repeated (its own inverse)."""
    n = len(payload)
    if n == 0:
        return b""
    stream = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(payload, "big") ^ int.from_bytes(stream, "big")).to_bytes(n, "big")


class WsClient(Conn):
    """A hand-written RFC 6455 client: exact control over every byte sent."""

    def __init__(self, hub, tls=False, protocols=None, lower_case=False, check_kind=True, rcvbuf=None):
        super().__init__(hub, tls=tls, rcvbuf=rcvbuf)
        key = base64.b64encode(os.urandom(16)).decode()
        headers = ["Host: 127.0.0.1:%d" % hub.port, "Upgrade: websocket", "Connection: Upgrade",
                   "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if protocols:
            headers.append("Sec-WebSocket-Protocol: " + protocols)
        if lower_case:
            headers = [h.split(":", 1)[0].lower() + ":" + h.split(":", 1)[1] for h in headers]
        self.request = ("GET / HTTP/1.1\r\n" + "\r\n".join(headers) + "\r\n\r\n").encode()
        self.send(self.request)
        if not check_kind:
            return
        self.response = self._read_response()
        assert ("Sec-WebSocket-Accept: " + accept_key(key)) in self.response, self.response
        kind = hub.wait_kind(self.local_port)
        assert kind == ("WSS" if tls else "WS"), "kind %r\n%s" % (kind, hub.log())

    def _read_response(self):
        buf = b""
        end = time.monotonic() + t(5)
        while b"\r\n\r\n" not in buf and time.monotonic() < end:
            chunk = self.recv_some(timeout=max(0.01, end - time.monotonic()))
            if not chunk:
                break
            buf += chunk
        head, _, rest = buf.partition(b"\r\n\r\n")
        self.pending = rest + self.pending
        return head.decode("latin-1")

    def send_message(self, payload, opcode=None):
        if isinstance(payload, str):
            payload = payload.encode()
            opcode = opcode or 1
        self.send(ws_frame(payload, opcode=opcode or 2))

    def read_frame(self, timeout=5.0):
        """(fin, opcode, payload) of the next frame, or None on time-out."""
        head = self.recv_exact(2, timeout)
        if len(head) < 2:
            self.pending = head + self.pending
            return None
        n = head[1] & 0x7F
        if n == 126:
            n = struct.unpack(">H", self.recv_exact(2, timeout))[0]
        elif n == 127:
            n = struct.unpack(">Q", self.recv_exact(8, timeout))[0]
        assert not head[1] & 0x80, "server frames are never masked"
        assert not head[0] & 0x70, "server frames never set RSV bits"
        payload = self.recv_exact(n, timeout)
        assert len(payload) == n, "frame cut short"
        return bool(head[0] & 0x80), head[0] & 0x0F, payload

    def read_message(self, timeout=5.0):
        """(opcode, payload) of the next whole message, continuations joined."""
        first = self.read_frame(timeout)
        if first is None:
            return None
        fin, opcode, payload = first
        while not fin:
            nxt = self.read_frame(timeout)
            assert nxt is not None, "message left open"
            fin, cont, more = nxt
            assert cont == 0, "expected a continuation frame, got opcode %d" % cont
            payload += more
        return opcode, payload


def hixie_key():
    """A Sec-WebSocket-Key value and the number it stands for."""
    spaces = random.randint(1, 12)
    number = random.randint(0, 4294967295 // spaces)
    digits = list(str(number * spaces))
    for _ in range(random.randint(1, 12)):
        digits.insert(random.randint(0, len(digits)), random.choice("!#$%&()*+,./:;<=>?@[]^_`{|}~abcXYZ"))
    for _ in range(spaces):
        digits.insert(random.randint(1, len(digits) - 1), " ")
    return "".join(digits), number


class Hixie76Client(Conn):
    """A client of the hixie-76 draft: 0x00 payload 0xFF frames."""

    def __init__(self, hub):
        super().__init__(hub)
        k1, n1 = hixie_key()
        k2, n2 = hixie_key()
        challenge = os.urandom(8)
        request = ("GET /demo HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key2: %s\r\nSec-WebSocket-Protocol: sample\r\nUpgrade: WebSocket\r\n"
                   "Sec-WebSocket-Key1: %s\r\nOrigin: http://example.com\r\n\r\n" % (hub.port, k2, k1))
        self.send(request.encode() + challenge)
        expected = hashlib.md5(struct.pack(">II", n1, n2) + challenge).digest()
        buf = b""
        end = time.monotonic() + t(5)
        while b"\r\n\r\n" not in buf and time.monotonic() < end:
            chunk = self.recv_some(timeout=max(0.01, end - time.monotonic()))
            if not chunk:
                break
            buf += chunk
        head, _, rest = buf.partition(b"\r\n\r\n")
        self.pending = rest
        self.response = head.decode("latin-1")
        assert self.response.startswith("HTTP/1.1 101 WebSocket Protocol Handshake"), self.response
        assert self.recv_exact(16) == expected, "hixie-76 digest"
        assert hub.wait_kind(self.local_port) == "WS", hub.log()

    def send_message(self, text):
        data = text.encode() if isinstance(text, str) else text
        self.send(b"\x00" + data + b"\xff")

    def read_message(self, timeout=5.0):
        """The payload of the next 0x00 ... 0xFF frame, or None on time-out."""
        start = self.recv_exact(1, timeout)
        if not start:
            return None
        assert start == b"\x00", "hixie-76 frame starts with %r" % start
        body = self.recv_until(b"\xff", timeout)
        assert body.endswith(b"\xff"), "hixie-76 frame left open: %r" % body
        return body[:-1]
