"""Clients built on other people's code: Python's websockets library,
Node's ws package and openssl s_client."""

import asyncio
import base64
import json
import os
import queue
import ssl
import subprocess
import threading

from hubtest.hub import HOST, t

HERE = os.path.dirname(os.path.abspath(__file__))
# npm installs the ws package into tests/common/node_modules, next to package.json.
NODE_MODULES = os.path.join(os.path.dirname(HERE), "node_modules")


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

    Keep-alive pings are off unless `ping_interval` (seconds) is given."""

    def __init__(self, hub, tls=False, timeout=10.0, check_kind=True, ping_interval=None):
        import websockets
        self.hub = hub
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        uri = "%s://%s:%d/" % ("wss" if tls else "ws", HOST, hub.port)

        async def connect():
            return await websockets.connect(uri, ssl=_insecure_context() if tls else None,
                                            ping_interval=ping_interval, ping_timeout=t(5),
                                            open_timeout=t(timeout),
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

    def ping(self, payload=b""):
        """Sends a ping and waits for its pong; True when it came."""
        async def exchange():
            waiter = await self.ws.ping(payload)
            await asyncio.wait_for(waiter, t(5))
        try:
            self._run(exchange(), t(10))
            return True
        except (asyncio.TimeoutError, TimeoutError):
            return False

    @property
    def open(self):
        return self.ws.open

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
        assert os.path.isdir(os.path.join(NODE_MODULES, "ws")), \
            "run `npm install` in tests/common first"
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
