"""Test harness: runs the built relayhub on a free port in a temporary folder
and offers the clients the end-to-end tests talk to it with.

Every wait has a time-out; everything happens on 127.0.0.1.
"""

import base64
import hashlib
import os
import random
import re
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import time

BIN = os.environ.get("RELAYHUB_BIN", "")
HOST = "127.0.0.1"
WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def make_pem(path, key_spec="rsa:2048", days=30):
    d = tempfile.mkdtemp(prefix="relayhub-pem-")
    try:
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", key_spec, "-nodes", "-days", str(days),
             "-keyout", os.path.join(d, "key.pem"), "-out", os.path.join(d, "cert.pem"),
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
            check=True, capture_output=True, timeout=120)
        with open(path, "wb") as out:
            for name in ("cert.pem", "key.pem"):
                with open(os.path.join(d, name), "rb") as f:
                    out.write(f.read())
    finally:
        shutil.rmtree(d, ignore_errors=True)


def wait_until(predicate, timeout=5.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Hub:
    """One relayhub process; its standard output and error go to a log file."""

    def __init__(self, *args, pem=False, port=None):
        assert BIN and os.path.exists(BIN), "RELAYHUB_BIN must name the built relayhub"
        self.dir = tempfile.mkdtemp(prefix="relayhub-e2e-")
        if pem:
            make_pem(os.path.join(self.dir, "relayhub.pem"))
        self.port = port or free_port()
        self.log_path = os.path.join(self.dir, "hub.log")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([BIN, "-p", str(self.port), *args], cwd=self.dir,
                                     stdout=self._log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        if not self.wait_log("waiting for client connection", timeout=20):
            out = self.log()
            self.close()
            raise RuntimeError("relayhub did not start:\n" + out)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, text, timeout=5.0, count=1):
        return wait_until(lambda: self.log().count(text) >= count or self.proc.poll() is not None,
                          timeout) and self.log().count(text) >= count

    def alive(self):
        return self.proc.poll() is None

    def syn_line(self, local_port):
        """The log line of the connection from this client port, or None."""
        for line in re.split(r"[\r\n]", self.log()):
            if "SYN from %s:%d " % (HOST, local_port) in line:
                return line
        return None

    def wait_kind(self, local_port, timeout=5.0):
        """Waits for the kind (RAW, TLS, WS, WSS) printed after a client's SYN line."""
        kind = [None]

        def printed():
            line = self.syn_line(local_port)
            m = line and re.search(r"active \d+/\d+  (RAW|TLS|WSS|WS)\b", line)
            if m:
                kind[0] = m.group(1)
            return kind[0] is not None
        wait_until(printed, timeout)
        return kind[0]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self._log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Conn:
    """A plain or TLS byte stream with time-outs on every read."""

    def __init__(self, hub, tls=False, tls_version=None, timeout=5.0):
        self.sock = socket.create_connection((HOST, hub.port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.local_port = self.sock.getsockname()[1]
        self.hub = hub
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            if tls_version:
                ctx.minimum_version = tls_version
                ctx.maximum_version = tls_version
            self.sock = ctx.wrap_socket(self.sock, server_hostname="127.0.0.1")
        self.pending = b""

    def send(self, data):
        self.sock.sendall(data)

    def recv_some(self, timeout=5.0):
        if self.pending:
            data, self.pending = self.pending, b""
            return data
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            return None

    def recv_exact(self, n, timeout=5.0):
        end = time.monotonic() + timeout
        buf = self.pending
        self.pending = b""
        while len(buf) < n:
            left = end - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(max(n - len(buf), 65536))
            except (socket.timeout, ssl.SSLWantReadError):
                break
            except (ConnectionError, ssl.SSLError, OSError):
                break
            if not chunk:
                break
            buf += chunk
        data, self.pending = buf[:n], buf[n:]
        return data

    def expect_nothing(self, wait=0.3):
        """True when nothing arrives within `wait` seconds."""
        data = self.recv_some(timeout=wait)
        if data:
            self.pending = data + self.pending
            return False
        return True

    def closed_by_peer(self, timeout=5.0):
        """True once the hub has closed the connection (EOF or reset)."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError):
                return False
            except (ConnectionError, ssl.SSLError, OSError):
                return True
            if not chunk:
                return True
            self.pending += chunk
        return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def raw_client(hub, tls=False):
    """A raw (or TLS without WebSocket) client, admitted into the relay."""
    c = Conn(hub, tls=tls)
    kind = hub.wait_kind(c.local_port, timeout=6.0)
    assert kind == ("TLS" if tls else "RAW"), "kind %r for %s\n%s" % (kind, c.local_port, hub.log())
    return c


# ---- RFC 6455 ---------------------------------------------------------------

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
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


class WsClient(Conn):
    """A hand-written RFC 6455 client: exact control over every byte sent."""

    def __init__(self, hub, tls=False, protocols=None, lower_case=False):
        super().__init__(hub, tls=tls)
        key = base64.b64encode(os.urandom(16)).decode()
        headers = ["Host: 127.0.0.1:%d" % hub.port, "Upgrade: websocket", "Connection: Upgrade",
                   "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if protocols:
            headers.append("Sec-WebSocket-Protocol: " + protocols)
        if lower_case:
            headers = [h.split(":", 1)[0].lower() + ":" + h.split(":", 1)[1] for h in headers]
        self.send(("GET / HTTP/1.1\r\n" + "\r\n".join(headers) + "\r\n\r\n").encode())
        self.response = self._read_response()
        assert ("Sec-WebSocket-Accept: " + accept_key(key)) in self.response, self.response
        kind = hub.wait_kind(self.local_port)
        assert kind == ("WSS" if tls else "WS"), "kind %r\n%s" % (kind, hub.log())

    def _read_response(self):
        buf = b""
        end = time.monotonic() + 5
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
            return None
        n = head[1] & 0x7F
        if n == 126:
            n = struct.unpack(">H", self.recv_exact(2, timeout))[0]
        elif n == 127:
            n = struct.unpack(">Q", self.recv_exact(8, timeout))[0]
        assert not head[1] & 0x80, "server frames are never masked"
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


# ---- hixie-76 ----------------------------------------------------------------

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
        end = time.monotonic() + 5
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
        end = time.monotonic() + timeout
        buf = b""
        while b"\xff" not in buf[1:] and time.monotonic() < end:
            chunk = self.recv_exact(1, max(0.01, end - time.monotonic()))
            if not chunk:
                return None
            buf += chunk
        assert buf[:1] == b"\x00", buf
        return buf[1:-1]
