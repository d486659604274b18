"""Headless Chromium (Debian's chromium) on a page served from 127.0.0.1;
the page reports what it sees by posting JSON events back to that server."""

import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import urllib.parse

from hubtest.hub import HOST

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

    def __init__(self, url, log_dir):
        self.profile = tempfile.mkdtemp(prefix="relayhub-chromium-")
        self.log = open(os.path.join(log_dir, "chromium.log"), "wb")
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--user-data-dir=" + self.profile, "--ignore-certificate-errors", url],
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
