"""Receivers that stop taking data: one alive but not reading (a vanished
peer looks the same to the hub), one killed in the middle of a stream. The
hub lets such a client go within its stall bound; the others are held up at
most that long and then get every byte in order, and the freed slot serves
the next client. Also: accept under a descriptor limit."""

import os
import re
import resource
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

from hubtest.hub import HOST, Hub, t, wait_until
from hubtest.streams import Conn, raw_client
from hubtest.ws_clients import WsClient

# The hub's send stall bound (SEND_STALL_LIMIT_MS) in seconds, and what a
# test allows on top of it for the hand-overs around it.
STALL_BOUND = 5.0
SLACK = 3.0


class TimedReader(threading.Thread):
    """Reads `size` bytes from its own thread and notes the longest pause
    between two reads."""

    def __init__(self, conn, size, timeout=90.0):
        super().__init__(daemon=True)
        self.conn, self.size, self.timeout = conn, size, timeout
        self.got = bytearray()
        self.longest_pause = 0.0
        self.start()

    def run(self):
        end = time.monotonic() + t(self.timeout)
        last = time.monotonic()
        while len(self.got) < self.size and time.monotonic() < end:
            chunk = self.conn.recv_some(timeout=2.0 * STALL_BOUND)
            now = time.monotonic()
            if chunk:
                self.got += chunk
                self.longest_pause = max(self.longest_pause, now - last)
                last = now
            elif chunk is not None:
                break  # the hub closed the connection

    def finish(self):
        self.join(t(self.timeout) + 5)
        return bytes(self.got)


class Sender(threading.Thread):
    def __init__(self, conn, data):
        super().__init__(daemon=True)
        self.conn, self.data, self.error = conn, data, None
        self.start()

    def run(self):
        try:
            # Held up for the bound at times: longer than a read's time-out.
            self.conn.sock.settimeout(t(60))
            self.conn.send(self.data)
        except Exception as e:  # reported by the test that waits for it
            self.error = e


KILLED_CLIENT = r"""
import socket, sys, time
s = socket.create_connection(("%s", int(sys.argv[1])))
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
print(s.getsockname()[1], flush=True)
while True:
    if not s.recv(4096):
        break
    time.sleep(0.001)
""" % HOST


def open_stalled(hub, kind):
    """A client that is admitted and then never reads, with a small receive
    buffer so its window closes soon."""
    if kind == "ws":
        return WsClient(hub, rcvbuf=4096)
    return raw_client(hub, tls=(kind == "tls"), rcvbuf=4096)


def stalled_slot(log, port):
    """The slot number of the connection from `port`."""
    m = re.search(r"SYN from 127\.0\.0\.1:%d  :: server_(\d+)\." % port, log)
    return int(m.group(1)) if m else -1


def no_failure_lines(log):
    return [line for line in log.splitlines() if line.startswith("!!") or "^ERROR" in line]


class StalledReceiver(unittest.TestCase):
    def check_flow(self, hub, sender, reader, size, stop_taking):
        """Streams `size` bytes from sender to reader while `stop_taking`
        makes the third client stop; the reader must get all of them in
        order, never pausing much longer than the bound."""
        data = os.urandom(size)
        timed = TimedReader(reader, size)
        writing = Sender(sender, data)
        stop_taking()
        got = timed.finish()
        writing.join(t(60))
        self.assertEqual(len(got), size, "the relay did not resume\n" + hub.log()[-3000:])
        self.assertTrue(got == data, "the stream arrived changed or out of order")
        self.assertIsNone(writing.error)
        self.assertLess(timed.longest_pause, t(STALL_BOUND + SLACK), hub.log()[-3000:])

    def check_slot_serves_again(self, hub, sender):
        """All slots were taken; the freed one takes a new client."""
        newcomer = raw_client(hub)
        sender.send(b"after the stall;")
        self.assertEqual(newcomer.recv_until(b"after the stall;", timeout=10), b"after the stall;",
                         hub.log()[-3000:])

    def test_receiver_that_stops_reading_is_let_go_within_the_bound(self):
        size = 8 << 20
        for kind in ("raw", "tls", "ws"):
            with self.subTest(stalled=kind), Hub("-c", "3", pem=True) as hub:
                stalled = open_stalled(hub, kind)
                reader = raw_client(hub)
                sender = raw_client(hub)
                self.check_flow(hub, sender, reader, size, lambda: None)
                # Its connection failed on the time-out, told at most once: by
                # the next hand-over when the writer's send met it, or by the
                # slot's own read when that did. (When the slot's read ends
                # before the next hand-over comes, nobody is left to tell it.)
                self.assertTrue(hub.wait_log(".fin  active ", timeout=10), hub.log())
                log = hub.log()
                self.assertLessEqual(log.count("   ^ERROR: 110, "), 1, log)
                told = [line for line in no_failure_lines(log) if not line.startswith("   ^ERROR")]
                self.assertIn(told, ([], ["!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)"],
                                     ["!! recv(%s)" % stalled_slot(log, stalled.local_port)]), log)
                self.check_slot_serves_again(hub, sender)
                stalled.close()

    def test_receiver_killed_mid_stream_holds_nobody_up_and_prints_nothing(self):
        size = 8 << 20
        with Hub("-c", "3") as hub:
            killed = subprocess.Popen([sys.executable, "-c", KILLED_CLIENT, str(hub.port)],
                                      stdout=subprocess.PIPE, text=True)
            try:
                port = int(killed.stdout.readline())
                self.assertEqual(hub.wait_kind(port, timeout=6.0), "RAW")
                reader = raw_client(hub)
                sender = raw_client(hub)

                def kill_after_a_while():
                    time.sleep(0.3)
                    killed.send_signal(signal.SIGKILL)

                self.check_flow(hub, sender, reader, size, kill_after_a_while)
            finally:
                killed.kill()
                killed.wait(10)
                killed.stdout.close()
            self.assertTrue(hub.wait_log(".fin  active ", timeout=10), hub.log())
            self.check_slot_serves_again(hub, sender)
            self.assertEqual(no_failure_lines(hub.log()), [])


class FailureLines(unittest.TestCase):
    def test_failed_tls_read_is_told_by_its_own_cause_not_a_classification_left_over(self):
        # Admitted after its classification windows ran out (each ended on a
        # receive time-out); then one forged record breaks the session.
        with Hub(pem=True) as hub:
            peer = raw_client(hub)
            broken = raw_client(hub, tls=True)
            forged = bytes([23, 3, 3, 0, 32]) + os.urandom(32)
            under = socket.socket(fileno=os.dup(broken.sock.fileno()))
            under.sendall(forged)
            under.close()
            self.assertTrue(hub.wait_log(".fin  active ", timeout=10), hub.log())
            log = hub.log()
            self.assertIn("TLS error 1", log)
            self.assertNotIn("^ERROR", log)
            peer.send(b"still here;")
            self.assertTrue(hub.alive())


def lowest_free_descriptor(pid):
    """The number the process's next descriptor would get."""
    used = {int(name) for name in os.listdir("/proc/%d/fd" % pid)}
    n = 0
    while n in used:
        n += 1
    return n


class DescriptorLimit(unittest.TestCase):
    def test_accept_out_of_descriptors_is_reported_once_and_serving_goes_on(self):
        with Hub("-c", "3") as hub:
            a = raw_client(hub, hello=b"a;")
            b = raw_client(hub, hello=b"b;")
            self.assertEqual(a.recv_until(b"b;"), b"b;")
            # The third slot waits in accept, and the system has already set
            # a descriptor number aside for it: no higher number is allowed.
            # Its first connection still comes in; once that has left, the
            # slot's next accept finds no number and fails with EMFILE.
            _, hard = resource.prlimit(hub.proc.pid, resource.RLIMIT_NOFILE)
            resource.prlimit(hub.proc.pid, resource.RLIMIT_NOFILE, (lowest_free_descriptor(hub.proc.pid), hard))
            try:
                hub.close_client(raw_client(hub))
                self.assertTrue(hub.wait_log("   ^ERROR: 24, ", timeout=5), hub.log())
                waiting = Conn(hub)  # connected in the backlog, not accepted yet
                # The clients present relay on while the accepts fail.
                for i in range(20):
                    a.send(b"%d;" % i)
                    self.assertEqual(b.recv_until(b"%d;" % i), b"%d;" % i)
                time.sleep(1.0)
                log = hub.log()
                self.assertEqual(log.count("   ^ERROR: 24, "), 1, log)
                self.assertIn("!! server ", log)
                self.assertTrue(hub.alive())
                # As they leave, their descriptors are free again: the one
                # waiting is taken, and so is a new client.
                hub.close_client(a)
                self.assertEqual(hub.wait_kind(waiting.local_port, timeout=8.0), "RAW", hub.log())
                hub.close_client(b)
                newcomer = raw_client(hub, hello=b"new;")
                self.assertEqual(waiting.recv_until(b"new;"), b"new;")
                waiting.send(b"back;")
                self.assertEqual(newcomer.recv_until(b"back;"), b"back;")
                self.assertEqual(hub.log().count("!! server "), 1, hub.log())
            finally:
                resource.prlimit(hub.proc.pid, resource.RLIMIT_NOFILE, (hard, hard))


if __name__ == "__main__":
    unittest.main(verbosity=2)
