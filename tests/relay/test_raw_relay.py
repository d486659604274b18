"""Raw TCP clients through the hub: fan-out, order, no echo, admission."""

import os
import time
import unittest

from hubtest.hub import Hub
from hubtest.streams import raw_client


class RawRelay(unittest.TestCase):
    def test_three_raw_clients_receive_each_other_in_order_never_themselves(self):
        with Hub() as hub:
            clients = [raw_client(hub) for _ in range(3)]
            sent = {i: [] for i in range(3)}
            for round_no in range(20):
                for i, c in enumerate(clients):
                    chunk = ("%d:%02d;" % (i, round_no)).encode()
                    c.send(chunk)
                    sent[i].append(chunk)
                    time.sleep(0.002)
            expected_len = {i: sum(len(x) for j in range(3) if j != i for x in sent[j]) for i in range(3)}
            for i, c in enumerate(clients):
                got = c.recv_exact(expected_len[i])
                self.assertEqual(len(got), expected_len[i], hub.log())
                records = got.decode().split(";")[:-1]
                self.assertFalse([r for r in records if r.startswith("%d:" % i)], "own data came back")
                for j in range(3):
                    if j != i:
                        mine = [r for r in records if r.startswith("%d:" % j)]
                        self.assertEqual(mine, ["%d:%02d" % (j, k) for k in range(20)])
                self.assertTrue(c.expect_nothing(0.2))

    def test_silent_client_is_admitted_after_about_a_second_as_raw(self):
        with Hub() as hub:
            started = time.monotonic()
            c = raw_client(hub)
            waited = time.monotonic() - started
            # Two 500 ms windows pass before a silent client is relayed.
            self.assertGreater(waited, 0.8)
            self.assertIn("server_", hub.log())
            c.close()
            self.assertTrue(hub.wait_log(".fin  active 00/32"), hub.log())

    def test_large_binary_stream_arrives_intact(self):
        with Hub() as hub:
            a, b = raw_client(hub), raw_client(hub)
            data = os.urandom(1 << 20)
            a.send(data)
            self.assertEqual(b.recv_exact(len(data), timeout=20), data)

    def test_single_client_data_goes_nowhere_and_hub_keeps_serving(self):
        with Hub() as hub:
            a = raw_client(hub)
            a.send(b"nobody listens")
            self.assertTrue(a.expect_nothing(0.3))
            b = raw_client(hub)
            b.send(b"now someone does")
            self.assertEqual(a.recv_exact(16), b"now someone does")


if __name__ == "__main__":
    unittest.main(verbosity=2)
