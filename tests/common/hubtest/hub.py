"""The relayhub process of one test: the built program on a free port of
127.0.0.1 in a temporary folder, its standard output and error in a log file,
and the questions a test asks that log.

Every wait has a time-out, scaled for the slower sanitizer builds.
"""

import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from hubtest.certs import cached_pem

BIN = os.environ.get("RELAYHUB_BIN", "")
# What runs the program, when it does not run by itself (wine64 for relayhub.exe).
WRAPPER = shlex.split(os.environ.get("RELAYHUB_WRAPPER", ""))
HOST = "127.0.0.1"

# Lines a sanitizer build prints when it finds a fault; any of them fails the
# test that was running, even when the hub survived the fault.
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer")

# Sanitizer builds are several times slower: waits scale with this factor
# (RELAYHUB_SLOW=1 for a plain build; the sanitizer builds are detected).
_slow = None


def slow_factor():
    global _slow
    if _slow is None:
        env = os.environ.get("RELAYHUB_SLOW")
        if env:
            _slow = float(env)
        else:
            _slow = 1.0
            try:
                with open(BIN, "rb") as f:
                    image = f.read()
                if b"__tsan_init" in image or b"__asan_init" in image:
                    _slow = 3.0
            except OSError:
                pass
    return _slow


def t(seconds):
    """A time-out scaled for slow (sanitizer) builds."""
    return seconds * slow_factor()


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=5.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Hub:
    """One relayhub process; its standard output and error go to a log file.

    close() (or leaving the with-block) closes every client opened on the hub,
    fails when the hub died on its own or its log holds a sanitizer report,
    and ends the process. `pem`: True for a certificate made once per test
    process, or the path of a PEM file to start with.
    """

    def __init__(self, *args, pem=False, port=None):
        assert BIN and os.path.exists(BIN), "RELAYHUB_BIN must name the built relayhub"
        self.dir = tempfile.mkdtemp(prefix="relayhub-e2e-")
        self.pem_path = os.path.join(self.dir, "relayhub.pem")
        if isinstance(pem, str):
            shutil.copyfile(pem, self.pem_path)
        elif pem:
            cached_pem(self.pem_path)
        self.port = port or free_port()
        self.clients = []
        self.closed = False
        self.exited = False
        self.log_path = os.path.join(self.dir, "hub.log")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([*WRAPPER, BIN, "-p", str(self.port), *args], cwd=self.dir,
                                     stdout=self._log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        if not self.wait_log("waiting for client connection", timeout=20):
            out = self.log()
            self._finish()
            raise RuntimeError("relayhub did not start:\n" + out)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, text, timeout=5.0, count=1):
        """Waits (time-out scaled for slow builds) until `text` is in the log
        `count` times; false when it never was or the hub ended."""
        return wait_until(lambda: self.log().count(text) >= count or self.proc.poll() is not None,
                          t(timeout)) and self.log().count(text) >= count

    def signal(self, signo):
        self.proc.send_signal(signo)

    def wait_exit(self, timeout=5.0):
        """The exit status once the hub has ended by itself (a time-out scaled
        for slow builds), None when it is still running; after it, close()
        takes the end as expected."""
        try:
            status = self.proc.wait(timeout=t(timeout))
        except subprocess.TimeoutExpired:
            return None
        self.exited = True
        return status

    def alive(self):
        return self.proc.poll() is None

    def syn_ports(self):
        """The peer ports of all SYN lines, in log order."""
        return [int(p) for p in re.findall(r"SYN from 127\.0\.0\.1:(\d+) ", self.log())]

    def kind_of(self, local_port):
        """The kind printed for a connection (RAW, TLS, WS, WSS), or None.

        The kind ends the SYN line; an invalid-handshake message may stand
        between the two."""
        log = self.log()
        at = log.find("SYN from %s:%d " % (HOST, local_port))
        if at < 0:
            return None
        rest = log[at:]
        head = re.match(r"SYN from [\d.]+:\d+  :: server_\d+\.working  active \d+/\d+  ", rest)
        if not head:
            return None
        rest = rest[head.end():]
        end = rest.find("\r:: SYN")
        segment = rest if end < 0 else rest[:end]
        # Other connections may end while this one is classified.
        segment = re.sub(r":: server_\d+\.fin  active \d+/\d+\n", "", segment)
        m = re.search(r"(?:^|\n)(RAW|TLS|WSS|WS)\n", segment)
        return m.group(1) if m else None

    def wait_kind(self, local_port, timeout=5.0):
        """Waits for the kind printed after a client's SYN line."""
        kind = [None]

        def printed():
            kind[0] = self.kind_of(local_port)
            return kind[0] is not None
        wait_until(printed, t(timeout))
        return kind[0]

    def fin_count(self):
        return self.log().count(".fin  active ")

    def close_client(self, c, timeout=10.0):
        """Closes a client and waits until the hub has logged its end."""
        before = self.fin_count()
        c.close()
        assert self.wait_log(".fin  active ", timeout=timeout, count=before + 1), self.log()

    def wait_new_syn(self, before, timeout=5.0):
        """The peer port of the first SYN line after the first `before` ones."""
        ok = wait_until(lambda: len(self.syn_ports()) > before, t(timeout))
        assert ok, "no new connection logged\n" + self.log()
        return self.syn_ports()[before]

    def sanitizer_report(self):
        log = self.log()
        for marker in SANITIZER_MARKERS:
            at = log.find(marker)
            if at >= 0:
                return log[max(0, at - 200):at + 4000]
        return None

    def _finish(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        self._log.close()

    def close(self, check=True):
        if self.closed:
            return
        self.closed = True
        for c in reversed(self.clients):
            try:
                c.close()
            except Exception:  # a client that failed on its own is closed anyway
                pass
        # The hub ends every connection it had (a fault on that path shows up
        # in the log too) before it is stopped.
        wait_until(lambda: self.proc.poll() is not None or
                   self.fin_count() >= len(self.syn_ports()), t(3))
        died = self.proc.poll()
        self._finish()
        problems = []
        report = self.sanitizer_report()
        if report:
            problems.append("sanitizer report in the hub's log:\n" + report)
        if died is not None and not self.exited:
            problems.append("the hub ended on its own with status %r" % died)
        log = self.log()
        shutil.rmtree(self.dir, ignore_errors=True)
        if problems:
            text = "\n".join(problems) + "\n---- hub log (tail) ----\n" + log[-6000:]
            if check:
                raise AssertionError(text)
            sys.stderr.write(text + "\n")

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        # A test that already failed keeps its own error; the hub's problems
        # are then printed instead of raised.
        self.close(check=exc_type is None)
