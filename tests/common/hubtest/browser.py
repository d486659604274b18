"""Headless Chromium (Debian's chromium) on a page served from 127.0.0.1;
the page reports what it sees by posting JSON events back to that server."""

import asyncio
import base64
import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from hubtest.hub import HOST, t, wait_until

CHROMIUM = "/usr/bin/chromium"


class PageServer:
    """Serves one page as /page.html and collects the events it posts."""

    def __init__(self, page):
        self.events = queue.Queue()
        events = self.events

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if urllib.parse.urlparse(self.path).path != "/page.html":
                    self.send_error(404)
                    return
                with open(page, "rb") as f:
                    body = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                events.put(json.loads(self.rfile.read(length)))
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer((HOST, 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def next_event(self, timeout):
        try:
            return self.events.get(timeout=timeout)
        except queue.Empty:
            return None

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Browser:
    """Headless Chromium on one page, in a profile of its own."""

    def __init__(self, url, log_dir, flags=()):
        self.profile = tempfile.mkdtemp(prefix="relayhub-chromium-")
        self.log = open(os.path.join(log_dir, "chromium.log"), "wb")
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--user-data-dir=" + self.profile, "--ignore-certificate-errors",
             *flags, url],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True)

    def close(self):
        # Chromium's helper processes live in the session it was started in;
        # the group is ended through the id of the process started here.
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 10)):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.proc.wait(timeout=wait)
                break
            except subprocess.TimeoutExpired:
                continue
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class DevToolsPage:
    """Headless Chromium on one page that the test drives like a user, over
    the browser's DevTools protocol: it runs script in the page, reads what
    the page shows and takes screenshots."""

    def __init__(self, url, log_dir, width=900, height=640):
        import websockets
        self.browser = Browser(url, log_dir, flags=(
            "--remote-debugging-port=0", "--remote-debugging-address=127.0.0.1",
            "--window-size=%d,%d" % (width, height), "--hide-scrollbars", "--force-device-scale-factor=1"))
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.next_id = 0
        try:
            target = self._page_target(url)

            async def connect():
                return await websockets.connect(target, max_size=None, ping_interval=None, open_timeout=t(10))
            self.ws = self._run(connect(), t(15))
        except BaseException:
            self.close()
            raise

    def _port(self):
        """The port Chromium chose, from the file it writes into its profile."""
        path = os.path.join(self.browser.profile, "DevToolsActivePort")
        assert wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, t(30)), \
            "Chromium gave no DevTools port"
        with open(path) as f:
            return int(f.readline())

    def _page_target(self, url):
        port = self._port()
        end = time.monotonic() + t(30)
        while time.monotonic() < end:
            with urllib.request.urlopen("http://%s:%d/json/list" % (HOST, port), timeout=t(5)) as r:
                pages = [p for p in json.load(r) if p.get("type") == "page"]
            if pages:
                return pages[0]["webSocketDebuggerUrl"]
            time.sleep(0.1)
        raise AssertionError("Chromium opened no page for " + url)

    def _run(self, coro, timeout):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def command(self, method, timeout=10.0, **params):
        """The result of one DevTools command; events in between are skipped."""
        self.next_id += 1
        ident = self.next_id

        async def exchange():
            await self.ws.send(json.dumps({"id": ident, "method": method, "params": params}))
            while True:
                reply = json.loads(await self.ws.recv())
                if reply.get("id") == ident:
                    return reply
        reply = self._run(asyncio.wait_for(exchange(), t(timeout)), t(timeout) + 5)
        assert "error" not in reply, "%s: %r" % (method, reply["error"])
        return reply["result"]

    def evaluate(self, expression):
        """The value of a script expression in the page."""
        result = self.command("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        assert "exceptionDetails" not in result, "%s: %r" % (expression, result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10.0):
        """Waits until the expression is true in the page."""
        return wait_until(lambda: bool(self.evaluate(expression)), t(timeout), step=0.05)

    def screenshot(self, path):
        data = self.command("Page.captureScreenshot", timeout=30, format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            if getattr(self, "ws", None) is not None:
                self._run(self.ws.close(), t(5))
        except Exception:  # the browser may be gone already
            pass
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        if not self.thread.is_alive():
            self.loop.close()
        self.browser.close()
