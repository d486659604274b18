"""SIGHUP makes the hub read relayhub.pem again: new TLS clients get the new
certificate while those already connected keep theirs and keep relaying; a
file that does not load leaves the certificate in use and says why; a hub
that started without a certificate gains TLS."""

import os
import shutil
import signal
import ssl
import tempfile
import unittest

from hubtest.certs import make_expired_pem, make_pem, serial_of_der
from hubtest.hub import Hub
from hubtest.library_clients import PyWsClient
from hubtest.streams import Conn, raw_client

FIRST, SECOND = 0x1001, 0x2002


def serial_seen(client):
    return serial_of_der(client.sock.getpeercert(binary_form=True))


class Reload(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="relayhub-reload-")
        cls.first = os.path.join(cls.certs, "first.pem")
        cls.second = os.path.join(cls.certs, "second.pem")
        make_pem(cls.first, serial=FIRST)
        make_pem(cls.second, serial=SECOND)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def replace_pem(self, hub, source):
        # Renewal tools write the new file and rename it into place.
        staged = hub.pem_path + ".new"
        shutil.copyfile(source, staged)
        os.replace(staged, hub.pem_path)

    def reload(self, hub, expect):
        before = hub.log().count(expect)
        hub.signal(signal.SIGHUP)
        self.assertTrue(hub.wait_log(expect, count=before + 1, timeout=10), hub.log())

    def test_new_clients_get_the_new_certificate_and_open_ones_keep_theirs(self):
        with Hub(pem=self.first) as hub:
            old = raw_client(hub, tls=True)
            old_ws = PyWsClient(hub, tls=True)
            self.assertEqual(serial_seen(old), FIRST)

            self.replace_pem(hub, self.second)
            self.reload(hub, ":: new connections use the new certificate")

            new = raw_client(hub, tls=True)
            self.assertEqual(serial_seen(new), SECOND)
            # The sessions made before the reload still relay, both ways.
            old.send(b"from-old;")
            self.assertEqual(new.recv_until(b"from-old;"), b"from-old;")
            self.assertEqual(old_ws.recv(), "from-old;")
            new.send(b"from-new;")
            self.assertEqual(old.recv_until(b"from-new;"), b"from-new;")
            self.assertEqual(old_ws.recv(), "from-new;")
            self.assertIn(":: reading the certificate again from relayhub.pem", hub.log())

    def test_a_file_that_does_not_load_leaves_the_certificate_in_use(self):
        mismatched = os.path.join(self.certs, "mismatched.pem")
        make_pem(mismatched, key_from=self.second)
        garbage = os.path.join(self.certs, "garbage.pem")
        with open(garbage, "w") as f:
            f.write("not a certificate\n")
        cases = [
            ("garbage", garbage, "invalid or missing certificate file\nrelayhub.pem\n"),
            ("key of another certificate", mismatched, "Private key does not match the public certificate"),
            ("missing", None, "invalid or missing certificate file\nrelayhub.pem\n"),
        ]
        with Hub(pem=self.first) as hub:
            for name, source, reason in cases:
                with self.subTest(name):
                    if source:
                        self.replace_pem(hub, source)
                    else:
                        os.unlink(hub.pem_path)
                    before = hub.log().count(reason)
                    self.reload(hub, ":: the certificate in use stays")
                    self.assertEqual(hub.log().count(reason), before + 1, hub.log())
                    c = raw_client(hub, tls=True)
                    self.assertEqual(serial_seen(c), FIRST)
                    hub.close_client(c)
            # A good file after the failures is taken.
            self.replace_pem(hub, self.second)
            self.reload(hub, ":: new connections use the new certificate")
            self.assertEqual(serial_seen(raw_client(hub, tls=True)), SECOND)

    def test_an_expired_certificate_is_reported_and_still_taken(self):
        expired = os.path.join(self.certs, "expired.pem")
        make_expired_pem(expired, days_ago=3, serial=0x33)
        with Hub(pem=self.first) as hub:
            self.replace_pem(hub, expired)
            self.reload(hub, ":: new connections use the new certificate")
            self.assertIn("certificate expired 3 days ago", hub.log())
            self.assertEqual(serial_seen(raw_client(hub, tls=True)), 0x33)

    def test_a_hub_started_without_a_certificate_gains_tls(self):
        with Hub() as hub:
            self.assertIn("RAW WS  max connections", hub.log())
            # A ClientHello is refused while there is no certificate.
            refused = Conn(hub)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            with self.assertRaises(OSError):
                ctx.wrap_socket(refused.sock, server_hostname="127.0.0.1")
            refused.close()

            self.reload(hub, ":: TLS stays off")
            self.replace_pem(hub, self.second)
            self.reload(hub, ":: TLS on: new connections may use TLS and WSS")
            tls = raw_client(hub, tls=True)
            self.assertEqual(serial_seen(tls), SECOND)
            wss = PyWsClient(hub, tls=True)
            tls.send(b"now with TLS")
            self.assertEqual(wss.recv(), "now with TLS")


if __name__ == "__main__":
    unittest.main(verbosity=2)
