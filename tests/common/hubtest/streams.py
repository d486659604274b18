"""Byte-stream clients: raw TCP and TLS without WebSocket."""

import socket
import ssl
import struct
import threading
import time

from hubtest.hub import HOST, t


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
