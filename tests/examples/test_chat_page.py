"""examples/chat.html, opened from its file in headless Chromium and used
like a person would: it connects to the hub over ws:// and wss://, sends a
text and a binary message that a raw client receives as bytes, and lists
what the raw client sends with the type and size the page got.

RELAYHUB_SCREENSHOT=path saves the page after the exchange as a PNG (the
README's doc/chat.png)."""

import os
import unittest
import urllib.parse

from hubtest.browser import CHROMIUM, DevToolsPage
from hubtest.hub import HOST, Hub
from hubtest.streams import raw_client

PAGE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                     "..", "..", "examples", "chat.html"))
BINARY = bytes([0x00, 0x01, 0x7F, 0x80, 0xFF])
FROM_PAGE = "hello from the browser ✓"
FROM_RAW = "hello from nc\n"
INVALID_UTF8 = b"\xc3\x28\xfe"

LOG_ENTRIES = ("Array.from(document.querySelectorAll('#log li'))"
               ".map(li => [li.dataset.direction, li.dataset.kind, li.dataset.size, li.dataset.body])")


def page_url(address):
    return "file://%s?%s" % (urllib.parse.quote(PAGE), urllib.parse.urlencode({"url": address}))


@unittest.skipUnless(os.path.exists(CHROMIUM), "needs Debian's chromium")
class ChatPage(unittest.TestCase):
    def test_page_and_raw_client_exchange_text_and_binary(self):
        for scheme, kind in (("ws", "WS"), ("wss", "WSS")):
            with self.subTest(scheme), Hub(pem=True) as hub:
                raw = raw_client(hub)
                before = len(hub.syn_ports())
                address = "%s://%s:%d/" % (scheme, HOST, hub.port)
                page = DevToolsPage(page_url(address), hub.dir)
                try:
                    self.exchange(hub, page, raw, before, kind, address)
                    if scheme == "ws":
                        self.save_screenshot(page, hub.dir)
                    self.disconnect(hub, page)
                finally:
                    page.close()

    def exchange(self, hub, page, raw, syn_before, kind, address):
        self.assertTrue(page.wait_for("document.readyState === 'complete' && !!document.getElementById('log')", timeout=30),
                        "page did not load: %s" % page.evaluate("location.href"))
        self.assertEqual(page.evaluate("document.getElementById('address').value"), address)
        page.evaluate("document.getElementById('connect').click()")
        self.assertTrue(page.wait_for("document.getElementById('state').dataset.state === 'open'", timeout=20),
                        page.evaluate(LOG_ENTRIES))
        self.assertEqual(hub.wait_kind(hub.wait_new_syn(syn_before)), kind, hub.log())

        # Page to raw client: the text as UTF-8, then the binary bytes as they are.
        page.evaluate("document.getElementById('text').value = %r" % FROM_PAGE)
        page.evaluate("document.getElementById('send-text').click()")
        page.evaluate("document.getElementById('send-binary').click()")
        expected = FROM_PAGE.encode() + BINARY
        self.assertEqual(raw.recv_exact(len(expected), timeout=10), expected)

        # Raw client to page: valid UTF-8 comes as text, then invalid bytes as binary.
        raw.send(FROM_RAW.encode())
        self.assertTrue(page.wait_for("document.querySelectorAll('#log li[data-direction=in]').length >= 1"),
                        page.evaluate(LOG_ENTRIES))
        raw.send(INVALID_UTF8)
        self.assertTrue(page.wait_for("document.querySelectorAll('#log li[data-direction=in]').length >= 2"),
                        page.evaluate(LOG_ENTRIES))
        entries = [e for e in page.evaluate(LOG_ENTRIES) if e[0] != "event"]
        self.assertEqual(entries, [
            ["out", "text", str(len(FROM_PAGE.encode())), FROM_PAGE],
            ["out", "binary", "5", "00 01 7f 80 ff"],
            ["in", "text", str(len(FROM_RAW)), FROM_RAW],
            ["in", "binary", "3", "c3 28 fe"],
        ])

    def save_screenshot(self, page, log_dir):
        path = os.environ.get("RELAYHUB_SCREENSHOT") or os.path.join(log_dir, "chat.png")
        page.screenshot(path)
        with open(path, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def disconnect(self, hub, page):
        # The page closes with 1000 and the hub ends that connection alone.
        page.evaluate("document.getElementById('connect').click()")
        self.assertTrue(page.wait_for("document.getElementById('state').dataset.state === 'closed'"))
        self.assertIn(["event", "event", "", "close 1000"], page.evaluate(LOG_ENTRIES))
        self.assertTrue(hub.wait_log(".fin  active 01/32", timeout=10), hub.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
