"""Test harness: runs the built relayhub on a free port in a temporary folder
and offers the clients the end-to-end tests talk to it with.

Clients: Conn (plain or TLS byte stream), WsClient (hand-written RFC 6455,
exact bytes), Hixie76Client, PyWsClient (Python websockets), NodeWsClient
(Node's ws package), OpenSslClient (openssl s_client).

Every wait has a time-out; everything happens on 127.0.0.1.
"""

import asyncio
import base64
import hashlib
import json
import os
import queue
import random
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

BIN = os.environ.get("RELAYHUB_BIN", "")
HOST = "127.0.0.1"
WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
HERE = os.path.dirname(os.path.abspath(__file__))

# Lines a sanitizer build prints when it finds a fault; any of them fails the
# test that was running, even when the hub survived the fault.
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer")

# Sanitizer builds are several times slower: waits scale with this factor
# (RELAYHUB_SLOW=1 for a plain build; the sanitizer builds are detected).
_slow = None


def slow_factor():
    global _slow
    if _slow is None:
        env = os.environ.get("RELAYHUB_SLOW")
        if env:
            _slow = float(env)
        else:
            _slow = 1.0
            try:
                with open(BIN, "rb") as f:
                    image = f.read()
                if b"__tsan_init" in image or b"__asan_init" in image:
                    _slow = 3.0
            except OSError:
                pass
    return _slow


def t(seconds):
    """A time-out scaled for slow (sanitizer) builds."""
    return seconds * slow_factor()


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def make_pem(path, key_type="rsa:2048", days=30):
    d = tempfile.mkdtemp(prefix="relayhub-pem-")
    try:
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", key_type, "-nodes", "-days", str(days),
             "-keyout", os.path.join(d, "key.pem"), "-out", os.path.join(d, "cert.pem"),
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
            check=True, capture_output=True, timeout=120)
        with open(path, "wb") as out:
            for name in ("cert.pem", "key.pem"):
                with open(os.path.join(d, name), "rb") as f:
                    out.write(f.read())
    finally:
        shutil.rmtree(d, ignore_errors=True)


_pem_cache = {}


def cached_pem(path):
    """A certificate made by openssl once per test process, copied to `path`."""
    if "default" not in _pem_cache:
        d = tempfile.mkdtemp(prefix="relayhub-pem-cache-")
        made = os.path.join(d, "relayhub.pem")
        make_pem(made)
        with open(made, "rb") as f:
            _pem_cache["default"] = f.read()
        shutil.rmtree(d, ignore_errors=True)
    with open(path, "wb") as f:
        f.write(_pem_cache["default"])


def wait_until(predicate, timeout=5.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Hub:
    """One relayhub process; its standard output and error go to a log file.

    close() (or leaving the with-block) closes every client opened on the hub,
    fails when the hub died on its own or its log holds a sanitizer report,
    and ends the process.
    """

    def __init__(self, *args, pem=False, port=None):
        assert BIN and os.path.exists(BIN), "RELAYHUB_BIN must name the built relayhub"
        self.dir = tempfile.mkdtemp(prefix="relayhub-e2e-")
        if pem:
            cached_pem(os.path.join(self.dir, "relayhub.pem"))
        self.port = port or free_port()
        self.clients = []
        self.closed = False
        self.log_path = os.path.join(self.dir, "hub.log")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([BIN, "-p", str(self.port), *args], cwd=self.dir,
                                     stdout=self._log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        if not self.wait_log("waiting for client connection", timeout=20):
            out = self.log()
            self._finish()
            raise RuntimeError("relayhub did not start:\n" + out)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, text, timeout=5.0, count=1):
        """Waits (time-out scaled for slow builds) until `text` is in the log
        `count` times; false when it never was or the hub ended."""
        return wait_until(lambda: self.log().count(text) >= count or self.proc.poll() is not None,
                          t(timeout)) and self.log().count(text) >= count

    def alive(self):
        return self.proc.poll() is None

    def syn_ports(self):
        """The peer ports of all SYN lines, in log order."""
        return [int(p) for p in re.findall(r"SYN from 127\.0\.0\.1:(\d+) ", self.log())]

    def kind_of(self, local_port):
        """The kind printed for a connection (RAW, TLS, WS, WSS), or None.

        The kind ends the SYN line; an invalid-handshake message may stand
        between the two."""
        log = self.log()
        at = log.find("SYN from %s:%d " % (HOST, local_port))
        if at < 0:
            return None
        rest = log[at:]
        head = re.match(r"SYN from [\d.]+:\d+  :: server_\d+\.working  active \d+/\d+  ", rest)
        if not head:
            return None
        rest = rest[head.end():]
        end = rest.find("\r:: SYN")
        segment = rest if end < 0 else rest[:end]
        # Other connections may end while this one is classified.
        segment = re.sub(r":: server_\d+\.fin  active \d+/\d+\n", "", segment)
        m = re.search(r"(?:^|\n)(RAW|TLS|WSS|WS)\n", segment)
        return m.group(1) if m else None

    def wait_kind(self, local_port, timeout=5.0):
        """Waits for the kind printed after a client's SYN line."""
        kind = [None]

        def printed():
            kind[0] = self.kind_of(local_port)
            return kind[0] is not None
        wait_until(printed, t(timeout))
        return kind[0]

    def fin_count(self):
        return self.log().count(".fin  active ")

    def close_client(self, c, timeout=10.0):
        """Closes a client and waits until the hub has logged its end."""
        before = self.fin_count()
        c.close()
        assert self.wait_log(".fin  active ", timeout=timeout, count=before + 1), self.log()

    def wait_new_syn(self, before, timeout=5.0):
        """The peer port of the first SYN line after the first `before` ones."""
        ok = wait_until(lambda: len(self.syn_ports()) > before, t(timeout))
        assert ok, "no new connection logged\n" + self.log()
        return self.syn_ports()[before]

    def sanitizer_report(self):
        log = self.log()
        for marker in SANITIZER_MARKERS:
            at = log.find(marker)
            if at >= 0:
                return log[max(0, at - 200):at + 4000]
        return None

    def _finish(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self._log.close()

    def close(self, check=True):
        if self.closed:
            return
        self.closed = True
        for c in reversed(self.clients):
            try:
                c.close()
            except Exception:  # a client that failed on its own is closed anyway
                pass
        # The hub ends every connection it had (a fault on that path shows up
        # in the log too) before it is stopped.
        wait_until(lambda: self.proc.poll() is not None or
                   self.fin_count() >= len(self.syn_ports()), t(3))
        died = self.proc.poll()
        self._finish()
        problems = []
        report = self.sanitizer_report()
        if report:
            problems.append("sanitizer report in the hub's log:\n" + report)
        if died is not None:
            problems.append("the hub ended on its own with status %r" % died)
        log = self.log()
        shutil.rmtree(self.dir, ignore_errors=True)
        if problems:
            text = "\n".join(problems) + "\n---- hub log (tail) ----\n" + log[-6000:]
            if check:
                raise AssertionError(text)
            sys.stderr.write(text + "\n")

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        # A test that already failed keeps its own error; the hub's problems
        # are then printed instead of raised.
        self.close(check=exc_type is None)


class Conn:
    """A plain or TLS byte stream with time-outs on every read."""

    def __init__(self, hub, tls=False, tls_version=None, timeout=5.0, rcvbuf=None, sock=None):
        """Connects to the hub, or takes over `sock`, a socket already
        connected to it."""
        if sock is None:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            if rcvbuf:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            sock.settimeout(t(timeout))
            sock.connect((HOST, hub.port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = sock
        self.local_port = self.sock.getsockname()[1]
        self.hub = hub
        hub.clients.append(self)
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
        self.sock.settimeout(t(timeout))
        try:
            return self.sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            return None

    def recv_exact(self, n, timeout=5.0):
        end = time.monotonic() + t(timeout)
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

    def recv_until(self, marker, timeout=5.0):
        """Everything up to and including `marker`, or what came by the time-out."""
        end = time.monotonic() + t(timeout)
        buf = self.pending
        self.pending = b""
        while marker not in buf:
            left = end - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, ssl.SSLWantReadError, ConnectionError, ssl.SSLError, OSError):
                break
            if not chunk:
                break
            buf += chunk
        at = buf.find(marker)
        if at < 0:
            return buf
        self.pending = buf[at + len(marker):]
        return buf[:at + len(marker)]

    def expect_nothing(self, wait=0.3):
        """True when nothing arrives within `wait` seconds."""
        data = self.recv_some(timeout=wait)
        if data:
            self.pending = data + self.pending
            return False
        return True

    def closed_by_peer(self, timeout=5.0):
        """True once the hub has closed the connection (EOF or reset)."""
        end = time.monotonic() + t(timeout)
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

    def reset(self):
        """Closes with a TCP reset instead of an orderly close."""
        try:
            raw = self.sock
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def connect_together(hub, n):
    """n plain sockets released at the same moment to connect to the hub."""
    socks = [socket.socket() for _ in range(n)]
    go = threading.Barrier(n)

    def connect(s):
        go.wait(timeout=10)
        s.connect((HOST, hub.port))
    threads = [threading.Thread(target=connect, args=(s,)) for s in socks]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=20)
    return socks


def raw_client(hub, tls=False, hello=None, rcvbuf=None):
    """A raw (or TLS without WebSocket) client, admitted into the relay.

    Without `hello` the client stays silent and is admitted after the hub's
    two classification windows; a raw client's `hello` is sent at once, which
    admits it without waiting (and relays the hello to the others)."""
    c = Conn(hub, tls=tls, rcvbuf=rcvbuf)
    if hello is not None and not tls:
        c.send(hello)
    kind = hub.wait_kind(c.local_port, timeout=6.0)
    assert kind == ("TLS" if tls else "RAW"), "kind %r for %s\n%s" % (kind, c.local_port, hub.log())
    return c


def assert_relaying(hub):
    """The hub is alive and relays between two new raw clients."""
    assert hub.alive(), "the hub died\n" + hub.log()
    a = raw_client(hub, hello=b"probe-a;")
    b = raw_client(hub, hello=b"probe-b;")
    got = a.recv_until(b"probe-b;", timeout=5)
    assert got.endswith(b"probe-b;"), "no relay to the first probe: %r\n%s" % (got, hub.log())
    a.send(b"probe-back;")
    got = b.recv_until(b"probe-back;", timeout=5)
    assert got.endswith(b"probe-back;"), "no relay to the second probe: %r\n%s" % (got, hub.log())
    a.close()
    b.close()


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


# ---- library clients ----------------------------------------------------------

class ClientClosed(Exception):
    """The connection was closed while a message was awaited."""

    def __init__(self, code):
        super().__init__("closed with code %r" % (code,))
        self.code = code


def _insecure_context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


class PyWsClient:
    """Python's websockets library (asyncio API) on a loop of its own thread.

    Pings stay off: the hub ends a connection that sends one."""

    def __init__(self, hub, tls=False, timeout=10.0, check_kind=True):
        import websockets
        self.hub = hub
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        uri = "%s://%s:%d/" % ("wss" if tls else "ws", HOST, hub.port)

        async def connect():
            return await websockets.connect(uri, ssl=_insecure_context() if tls else None,
                                            ping_interval=None, open_timeout=t(timeout),
                                            close_timeout=t(3), max_size=None)
        try:
            self.ws = self._run(connect(), t(timeout) + 5)
        except BaseException:
            self._stop_loop()
            raise
        self.local_port = self.ws.transport.get_extra_info("sockname")[1]
        hub.clients.append(self)
        if check_kind:
            kind = hub.wait_kind(self.local_port)
            assert kind == ("WSS" if tls else "WS"), "kind %r\n%s" % (kind, hub.log())

    def _run(self, coro, timeout):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def send(self, data):
        self._run(self.ws.send(data), t(10))

    def recv(self, timeout=5.0):
        """str for a text message, bytes for a binary one, None on time-out."""
        import websockets
        try:
            return self._run(asyncio.wait_for(self.ws.recv(), t(timeout)), t(timeout) + 5)
        except (asyncio.TimeoutError, TimeoutError):
            return None
        except websockets.exceptions.ConnectionClosed as e:
            raise ClientClosed(e.rcvd.code if e.rcvd else None)

    def _stop_loop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        if not self.thread.is_alive():
            self.loop.close()

    def close(self):
        if self.loop.is_closed():
            return
        try:
            self._run(self.ws.close(), t(10))
        finally:
            self._stop_loop()


class NodeWsClient:
    """Node's ws package, driven by ws_client.js over JSON lines."""

    SCRIPT = os.path.join(HERE, "ws_client.js")

    def __init__(self, hub, tls=False, timeout=10.0, check_kind=True):
        assert os.path.isdir(os.path.join(HERE, "node_modules", "ws")), \
            "run `npm install` in tests/relay first"
        self.hub = hub
        url = "%s://%s:%d/" % ("wss" if tls else "ws", HOST, hub.port)
        self.stderr = open(os.path.join(hub.dir, "node-%d.err" % len(hub.clients)), "wb")
        self.proc = subprocess.Popen(["node", self.SCRIPT, url], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.stderr, cwd=HERE)
        self.events = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        hub.clients.append(self)
        ev = self.next_event(timeout)
        assert ev and ev["event"] == "open", "node client did not open: %r" % (ev,)
        self.local_port = ev["port"]
        if check_kind:
            kind = hub.wait_kind(self.local_port)
            assert kind == ("WSS" if tls else "WS"), "kind %r\n%s" % (kind, hub.log())

    def _read(self):
        for line in self.proc.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                self.events.put({"event": "junk", "line": line.decode("latin-1")})
        self.events.put({"event": "exit"})

    def next_event(self, timeout=5.0):
        try:
            return self.events.get(timeout=t(timeout))
        except queue.Empty:
            return None

    def _command(self, **cmd):
        self.proc.stdin.write((json.dumps(cmd) + "\n").encode())
        self.proc.stdin.flush()

    def send(self, data):
        if isinstance(data, str):
            self._command(op="send", text=data)
        else:
            self._command(op="send", b64=base64.b64encode(data).decode())

    def recv(self, timeout=5.0):
        """str for a text message, bytes for a binary one, None on time-out."""
        ev = self.next_event(timeout)
        if ev is None:
            return None
        if ev["event"] == "message":
            data = base64.b64decode(ev["b64"])
            return data if ev["binary"] else data.decode("utf-8")
        if ev["event"] in ("close", "exit"):
            raise ClientClosed(ev.get("code"))
        raise AssertionError("unexpected event from the node client: %r" % ev)

    def close(self):
        if self.proc.poll() is None:
            try:
                self._command(op="close")
            except (BrokenPipeError, OSError):
                pass
            try:
                self.proc.wait(timeout=t(10))
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.stderr.close()


class OpenSslClient:
    """openssl s_client as a TLS client without WebSocket."""

    def __init__(self, hub):
        self.hub = hub
        before = len(hub.syn_ports())
        self.proc = subprocess.Popen(
            ["openssl", "s_client", "-connect", "%s:%d" % (HOST, hub.port), "-quiet"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.buf = b""
        self.cond = threading.Condition()
        self.eof = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        hub.clients.append(self)
        self.local_port = hub.wait_new_syn(before)
        kind = hub.wait_kind(self.local_port)
        assert kind == "TLS", "kind %r\n%s" % (kind, hub.log())

    def _read(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            with self.cond:
                if not chunk:
                    self.eof = True
                else:
                    self.buf += chunk
                self.cond.notify_all()
            if not chunk:
                return

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def recv_exact(self, n, timeout=5.0):
        with self.cond:
            self.cond.wait_for(lambda: len(self.buf) >= n or self.eof, t(timeout))
            data, self.buf = self.buf[:n], self.buf[n:]
            return data

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
