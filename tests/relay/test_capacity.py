"""How many clients the hub serves: clients beyond -c wait in the listen
backlog until a slot frees, and all 32 slots of the default relay at once."""

import unittest

from hubtest.hub import Hub, t, wait_until
from hubtest.streams import Conn, connect_together, raw_client


class Capacity(unittest.TestCase):
    def test_clients_beyond_the_slots_wait_in_the_backlog_until_slots_free(self):
        with Hub("-c", "4") as hub:
            self.assertIn("max connections: 4", hub.log())
            first = [raw_client(hub, hello=b"") for _ in range(4)]
            # Two more: the system completes their connections, but no slot
            # takes them while all four are busy.
            waiting = [Conn(hub) for _ in range(2)]
            for i, c in enumerate(waiting):
                c.send(b"queued %d;" % i)
            self.assertFalse(wait_until(lambda: len(hub.syn_ports()) > 4, t(1.0)),
                             "a fifth client was served\n" + hub.log())
            first[0].send(b"among the four;")
            for c in first[1:]:
                self.assertEqual(c.recv_exact(15), b"among the four;")
            for c in waiting:
                self.assertTrue(c.expect_nothing(0.1))

            # Two leave: the waiting two are served, and what they sent while
            # they waited reaches the two that stayed.
            hub.close_client(first[0])
            hub.close_client(first[1])
            self.assertTrue(wait_until(lambda: len(hub.syn_ports()) >= 6, t(10)), hub.log())
            self.assertEqual(sorted(hub.syn_ports()[4:]), sorted(c.local_port for c in waiting))
            for c in first[2:]:
                got = c.recv_exact(18, timeout=10)
                self.assertEqual(sorted(got.split(b";")[:-1]), [b"queued 0", b"queued 1"])
            self.assertIn("active 04/04", hub.log())
            waiting[0].send(b"served at last;")
            for c in first[2:]:
                self.assertEqual(c.recv_exact(15), b"served at last;")
            # The other one may have been served before the first one's
            # queued words were relayed, and then has them first.
            self.assertTrue(waiting[1].recv_until(b"served at last;").endswith(b"served at last;"))

    def test_thirty_two_clients_at_once_all_relay(self):
        with Hub() as hub:
            socks = connect_together(hub, 32)
            self.assertTrue(wait_until(lambda: len(hub.syn_ports()) >= 32, t(10)), hub.log())
            self.assertIn("active 32/32", hub.log())
            clients = [Conn(hub, sock=s) for s in socks]

            # The kind is not printed for connections classified together, so
            # admission shows in the relay: one client calls until every
            # other one has heard it.
            caller = clients[0]
            heard = [False] * 32
            heard[0] = True
            for n in range(200):
                caller.send(b"call;")
                for i, c in enumerate(clients):
                    if not heard[i] and c.recv_until(b"call;", timeout=0.05).endswith(b"call;"):
                        heard[i] = True
                if all(heard):
                    break
            self.assertTrue(all(heard), "never admitted: %s\n%s" % (
                [c.local_port for c, h in zip(clients, heard) if not h], hub.log()))
            caller.send(b"ready;")
            for c in clients[1:]:
                self.assertTrue(c.recv_until(b"ready;", timeout=10).endswith(b"ready;"))

            # Everyone talks at once; everyone hears the 31 others, in each
            # sender's order, and never itself.
            rounds = 3
            for r in range(rounds):
                for i, c in enumerate(clients):
                    c.send(b"%02d:%d;" % (i, r))
            for i, c in enumerate(clients):
                with self.subTest(client=i):
                    got = c.recv_exact(31 * rounds * 5, timeout=20)
                    records = got.split(b";")[:-1]
                    self.assertEqual(len(records), 31 * rounds, got)
                    for j in range(32):
                        mine = [rec for rec in records if rec.startswith(b"%02d:" % j)]
                        self.assertEqual(mine, [] if j == i else [b"%02d:%d" % (j, r) for r in range(rounds)])
                    self.assertTrue(c.expect_nothing(0.05))


if __name__ == "__main__":
    unittest.main(verbosity=2)
