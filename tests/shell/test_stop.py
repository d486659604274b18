"""SIGTERM and SIGINT stop the hub in order: no new connections, every
WebSocket client gets close code 1001 (hixie-76: its closing frame) behind
what was already on its way to it, every TLS client a close_notify, raw
clients the end of the stream, a client that never closes is cut after a
bounded time, every connection's fin line is printed and the hub exits with
0 within 2 s. A second signal ends it at once."""

import signal
import socket
import ssl
import threading
import time
import unittest

from hubtest.hub import HOST, Hub, t
from hubtest.library_clients import ClientClosed, NodeWsClient, PyWsClient
from hubtest.streams import raw_client
from hubtest.ws_clients import Hixie76Client, WsClient

LAST_WORDS = b"last words before the stop"


def tls_end(c, timeout=5.0):
    """How a TLS client's stream ended: "clean" (close_notify), "ragged"
    (the connection closed without one) or None (still open)."""
    c.sock.settimeout(t(timeout))
    try:
        while c.sock.recv(65536):
            pass
        return "clean"
    except ssl.SSLEOFError:
        return "ragged"
    except (socket.timeout, ssl.SSLWantReadError):
        return None
    except (ConnectionError, OSError):
        return "ragged"


def library_end(client):
    """The messages a library client still got, and the close code it saw."""
    got = []
    try:
        while True:
            message = client.recv(timeout=5)
            if message is None:
                return got, None
            got.append(message)
    except ClientClosed as closed:
        return got, closed.code


def refused(port):
    try:
        socket.create_connection((HOST, port), timeout=t(2)).close()
    except ConnectionRefusedError:
        return True
    return False


class OrderlyStop(unittest.TestCase):
    def test_every_client_is_told_goodbye_in_its_own_framing(self):
        for signo in (signal.SIGTERM, signal.SIGINT):
            name = signal.Signals(signo).name
            with self.subTest(name), Hub(pem=True) as hub:
                py = PyWsClient(hub)
                node = NodeWsClient(hub, tls=True)
                hixie = Hixie76Client(hub)
                tls = raw_client(hub, tls=True)
                tls.sock.suppress_ragged_eofs = False
                raw = raw_client(hub)
                # Reads nothing and never closes: the stop cuts it at its limit.
                holder = raw_client(hub)
                sender = raw_client(hub)

                sender.send(LAST_WORDS)
                self.assertEqual(tls.recv_until(LAST_WORDS), LAST_WORDS)
                hub.signal(signo)
                began = time.monotonic()

                self.assertEqual(library_end(py), (["last words before the stop"], 1001))
                self.assertEqual(library_end(node), (["last words before the stop"], 1001))
                # hixie-76 has no close codes: its closing frame, then the end.
                self.assertEqual(hixie.read_message(), LAST_WORDS)
                self.assertEqual(hixie.recv_exact(2), b"\xff\x00")
                self.assertTrue(hixie.closed_by_peer(), "the hixie-76 client's stream did not end")
                self.assertEqual(tls_end(tls), "clean")
                self.assertEqual(raw.recv_until(LAST_WORDS), LAST_WORDS)
                self.assertTrue(raw.closed_by_peer(), "the raw client's stream did not end")
                for c in (py, node, hixie, tls, raw, sender):
                    c.close()
                self.assertTrue(refused(hub.port), "a new connection was taken during the stop")

                status = hub.wait_exit(timeout=4)
                elapsed = time.monotonic() - began
                self.assertEqual(status, 0, hub.log())
                self.assertLess(elapsed, t(2), hub.log())
                log = hub.log()
                self.assertEqual(hub.fin_count(), len(hub.syn_ports()), log)
                self.assertIn(":: %s: no new connections; closing 7" % name, log)
                self.assertTrue(log.rstrip().endswith(":: run ended: %s, every connection closed" % name), log)
                holder.close()

    def test_client_that_does_not_read_holds_up_no_other_goodbye(self):
        with Hub() as hub:
            stalled = WsClient(hub, rcvbuf=4096)
            other = PyWsClient(hub)
            sender = raw_client(hub)
            # More than the stalled client's socket buffers take: its writer
            # blocks in a send, and so does the sender's reader handing to it.
            flood = threading.Thread(target=lambda: self.send_ignoring_the_end(sender, b"x" * (8 << 20)),
                                     daemon=True)
            flood.start()
            time.sleep(t(0.5))
            hub.signal(signal.SIGTERM)
            began = time.monotonic()
            self.assertEqual(library_end(other)[1], 1001)
            self.assertLess(time.monotonic() - began, t(1), "the stalled client held up the other's close")
            other.close()
            self.assertEqual(hub.wait_exit(timeout=4), 0, hub.log())
            self.assertLess(time.monotonic() - began, t(2), hub.log())
            self.assertEqual(hub.fin_count(), len(hub.syn_ports()), hub.log())
            flood.join(t(5))
            stalled.close()

    @staticmethod
    def send_ignoring_the_end(c, data):
        try:
            c.sock.settimeout(t(10))
            c.sock.sendall(data)
        except OSError:  # the hub cut the sender during the stop
            pass

    def test_second_signal_ends_the_hub_at_once(self):
        with Hub() as hub:
            holder = raw_client(hub)
            hub.signal(signal.SIGTERM)
            self.assertTrue(hub.wait_log(":: SIGTERM: no new connections"), hub.log())
            hub.signal(signal.SIGINT)
            self.assertEqual(hub.wait_exit(timeout=2), 1, hub.log())
            self.assertIn(":: SIGINT again: ending at once", hub.log())
            # Before the stop would have cut the holder and printed its fin line.
            self.assertEqual(hub.fin_count(), 0, hub.log())
            holder.close()

    def test_idle_hub_stops_at_once(self):
        with Hub() as hub:
            hub.signal(signal.SIGTERM)
            self.assertEqual(hub.wait_exit(timeout=2), 0, hub.log())
            self.assertIn(":: run ended: SIGTERM, every connection closed", hub.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
