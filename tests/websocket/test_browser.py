"""A real browser (headless Chromium) talks through the hub with a raw TCP
client, over ws:// and wss://: text in several scripts that the raw client
writes cut inside a character arrives as text messages of whole characters,
binary data as binary messages, and the browser's connection stays open
until it closes it itself."""

import os
import time
import unittest
import urllib.parse

from hubtest.browser import CHROMIUM, Browser, PageServer
from hubtest.hub import HOST, Hub, t
from hubtest.streams import raw_client
from hubtest.ws_clients import WsClient

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser_page.html")

FROM_BROWSER = "Grüße aus dem Browser ✓ — مرحبا"
BROWSER_BINARY = bytes([0x00, 0x01, 0x80, 0xFE, 0xFF])

# Texts the raw client writes in two parts, cut inside a character.
TEXTS = [
    ("Arabic", "مرحبا بالعالم"),
    ("Devanagari", "नमस्ते दुनिया"),
    ("Thai", "สวัสดีชาวโลก"),
    ("emoji", "👋🌍🎉 👨‍👩‍👧"),
]


def cut_inside_a_character(data):
    """Two parts of the UTF-8 bytes, the cut falling inside a character."""
    for i in range(len(data) // 2, len(data)):
        if 0x80 <= data[i] < 0xC0:
            return data[:i], data[i:]
    raise ValueError("no multi-byte character to cut")


def lead_of_last_character(data):
    """Where the last (cut) character of the UTF-8 bytes begins."""
    i = len(data) - 1
    while 0x80 <= data[i] < 0xC0:
        i -= 1
    return i


@unittest.skipUnless(os.path.exists(CHROMIUM), "needs Debian's chromium")
class BrowserThroughHub(unittest.TestCase):
    def setUp(self):
        self.server = PageServer(PAGE)
        self.addCleanup(self.server.close)

    def next_event(self, timeout=10.0):
        ev = self.server.next_event(t(timeout))
        self.assertIsNotNone(ev, "no event from the browser")
        return ev

    def test_browser_and_raw_client_exchange_text_and_binary(self):
        for scheme, kind in (("ws", "WS"), ("wss", "WSS")):
            with self.subTest(scheme), Hub(pem=True) as hub:
                raw = raw_client(hub)
                before = len(hub.syn_ports())
                query = urllib.parse.urlencode({"url": "%s://%s:%d/" % (scheme, HOST, hub.port),
                                                "text": FROM_BROWSER})
                browser = Browser("http://%s:%d/page.html?%s" % (HOST, self.server.port, query), hub.dir)
                try:
                    self.exchange(hub, raw, before, kind)
                finally:
                    browser.close()

    def exchange(self, hub, raw, syn_before, kind):
        ev = self.next_event(timeout=60)
        self.assertEqual((ev["type"], ev["readyState"]), ("open", 1), ev)
        port = hub.wait_new_syn(syn_before)
        self.assertEqual(hub.wait_kind(port), kind, hub.log())

        # Browser to raw client: the text as UTF-8, then the binary bytes.
        expected = FROM_BROWSER.encode() + BROWSER_BINARY
        self.assertEqual(raw.recv_exact(len(expected), timeout=10), expected)

        # Raw client to browser, one write at a time. The hub holds the cut
        # character back until the raw client's next write, so the browser
        # gets two text messages of whole characters; an observer next to
        # it shows the two final text frames.
        observer = WsClient(hub)
        for name, text in TEXTS:
            first, second = cut_inside_a_character(text.encode())
            whole = first[:lead_of_last_character(first)]
            raw.send(first)
            # The cut reaches the hub as a read of its own.
            time.sleep(t(0.2))
            raw.send(second)
            got = [self.next_event(), self.next_event()]
            self.assertEqual([(ev["type"], ev["dataType"], ev["text"], ev["readyState"]) for ev in got],
                             [("message", "string", whole.decode(), 1),
                              ("message", "string", (first[len(whole):] + second).decode(), 1)], name)
            self.assertEqual([observer.read_frame(), observer.read_frame()],
                             [(True, 1, whole), (True, 1, first[len(whole):] + second)], name)
        hub.close_client(observer)

        invalid = b"\xc3\x28 not UTF-8 \xfe"
        raw.send(invalid)
        ev = self.next_event()
        self.assertEqual((ev["type"], ev["dataType"], bytes(ev["bytes"])), ("message", "object", invalid))
        # Once the stream was invalid, text comes as binary for good.
        raw.send("après".encode())
        ev = self.next_event()
        self.assertEqual((ev["type"], ev["dataType"], bytes(ev["bytes"])), ("message", "object", "après".encode()))

        raw.send(b"END")
        ev = self.next_event()
        self.assertEqual((ev["type"], bytes(ev["bytes"] or [])), ("message", b"END"))
        ev = self.next_event()
        self.assertEqual((ev["type"], ev["readyState"]), ("state", 1), "the connection did not stay open")
        # The browser closes; the hub answers with status 1000.
        ev = self.next_event()
        self.assertEqual((ev["type"], ev["code"], ev["wasClean"]), ("close", 1000, True), ev)
        self.assertTrue(hub.wait_log(".fin  active 01/32", timeout=10), hub.log())
        self.assertTrue(raw.expect_nothing(0.2), "the close frame was relayed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
