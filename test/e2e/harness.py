"""Drives the real daemon binary: a test collector on an ephemeral loopback
port, a test exporter speaking the UDP framing of the emulated SCTP seam,
and the daemon's output streams and exit status. Standard library only."""

import os
import re
import select
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("QUORVANE_BIN", "")
SANITIZED = os.environ.get("QUORVANE_SANITIZE", "") != ""
# Sanitized binaries start and run slower; every bound below scales with this.
SLOW = 3.0 if SANITIZED else 1.0

USAGE = ("usage: quorvane -forwardingport port -udpsocketbufsize size -packetpoolsize size"
         " -maxpacketsize size [ -logstats secs ] [ -poolusagewarnpct pct ]"
         " [ -cancelpoolusagewarnpct pct ]\n")
PREFIX = re.compile(r"^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                    r"[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\] ")
MAPPED_PREFIX = bytes(10) + b"\xff\xff"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def port_taken(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(("0.0.0.0", port))
            return False
        except OSError:
            return True


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout * SLOW
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Daemon:
    """One daemon process; its two streams go to files so it never blocks on them."""

    def __init__(self, args, env=None, preexec_fn=None):
        self.dir = tempfile.TemporaryDirectory()
        self.out_path = os.path.join(self.dir.name, "stdout")
        self.err_path = os.path.join(self.dir.name, "stderr")
        full_env = dict(os.environ)
        full_env.update(env or {})
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([BIN] + [str(a) for a in args], stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, env=full_env, preexec_fn=preexec_fn,
                                         close_fds=preexec_fn is None)
        self.status = None

    def stdout(self):
        with open(self.out_path) as f:
            return f.read()

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def out_messages(self):
        return messages(self.stdout())

    def err_messages(self):
        return messages(self.stderr())

    def wait_out(self, text, timeout=5):
        return wait_until(lambda: text in self.stdout(), timeout, repr(text) + " on stdout")

    def wait_err(self, text, timeout=5):
        return wait_until(lambda: text in self.stderr(), timeout, repr(text) + " on stderr")

    def wait_until_count(self, text, count, timeout=5):
        return wait_until(lambda: self.stdout().count(text) == count, timeout, "%d times %r" % (count, text))

    def wait(self, timeout=5):
        self.status = self.proc.wait(timeout * SLOW)
        return self.status

    def running(self):
        return self.proc.poll() is None

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        self.dir.cleanup()


REPORT = re.compile(r"^(|\w{3} \w{3} [ 1-3]\d \d\d:\d\d:\d\d \d{4}"
                    r"|\d+ packets received, \d+ discarded, \d+ forwarded, \d+ wants from ORVEL"
                    r"|\d+/-?\d+ pool entries available"
                    r"|\d+ queued packets waiting, high water mark=\d+)$")


def messages(text):
    """Log lines without their time prefix, statistics reports left out;
    fails on any other line without the prefix."""
    result = []
    for line in text.splitlines():
        if REPORT.match(line):
            continue
        if PREFIX.match(line) is None:
            raise AssertionError("log line without its time prefix: %r" % line)
        result.append(line[27:])
    return result


class Collector:
    """The collector's end of the connection, driven by the test."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def accept(self, timeout=10):
        self.listener.settimeout(timeout * SLOW)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(None)
        return self

    def send(self, data):
        self.conn.sendall(data)

    def want(self, n=1):
        self.send(b"\x00" * n)

    def port_update(self, ports):
        self.send(port_update(ports))

    def hold_in_port_update(self, daemon, update):
        """Sends the first byte of update and returns once the daemon (with
        -debug) is blocked reading the rest: what arrives meanwhile is ready
        together with the rest of the request in the next pass."""
        seen = daemon.stdout().count("message from orvel: port update")
        self.send(update[:1])
        daemon.wait_until_count("message from orvel: port update", seen + 1)

    def read_exact(self, n, timeout=5):
        data = b""
        deadline = time.monotonic() + timeout * SLOW
        while len(data) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.conn], [], [], left)[0]:
                raise AssertionError("timed out after %d of %d bytes" % (len(data), n))
            chunk = self.conn.recv(n - len(data))
            if not chunk:
                raise AssertionError("connection closed after %d of %d bytes" % (len(data), n))
            data += chunk
        return data

    def record(self, timeout=5):
        header = self.read_exact(36, timeout)
        assert header[:12] == MAPPED_PREFIX, header[:12].hex()
        address = socket.inet_ntoa(header[12:16])
        port, stream, stamp, length = struct.unpack(">IIQI", header[16:36])
        payload = self.read_exact(length, timeout)
        return Record(address, port, stream, stamp, payload, header + payload)

    def nothing_pending(self, wait=0.3):
        return not select.select([self.conn], [], [], wait * SLOW)[0]

    def close(self):
        for s in (self.conn, self.listener):
            if s is not None:
                s.close()


class Record:
    def __init__(self, address, port, stream, stamp, payload, raw):
        self.address, self.port, self.stream = address, port, stream
        self.stamp, self.payload, self.raw = stamp, payload, raw

    def __repr__(self):
        return "Record(%s port %d stream %d len %d)" % (self.address, self.port, self.stream, len(self.payload))


def port_update(ports, count=None):
    count = len(ports) if count is None else count
    return struct.pack(">Bi", 1, count) + b"".join(struct.pack(">i", p) for p in ports)


class Exporter:
    """Sends framed datagrams to the emulated SCTP ports from a chosen source address."""

    def __init__(self, source="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((source, 0))

    def send(self, port, payload, stream=0, notification=False):
        frame = struct.pack(">BBH", 1 if notification else 0, 0, stream)
        self.sock.sendto(frame + payload, ("127.0.0.1", port))

    def close(self):
        self.sock.close()


class DaemonTest(unittest.TestCase):
    """Starts a collector and, on demand, a daemon connected to it; cleans up both."""

    def setUp(self):
        self.collector = Collector()
        self.daemons = []
        self.exporters = []
        self.addCleanup(self.cleanup)

    def cleanup(self):
        for d in self.daemons:
            d.kill()
        for e in self.exporters:
            e.close()
        self.collector.close()

    def start(self, *extra, pool=10, maxsize=1500, bufsize=65536, env=None, connect=True, preexec_fn=None,
              port=None):
        args = ["-forwardingport", self.collector.port if port is None else port, "-udpsocketbufsize", bufsize,
                "-packetpoolsize", pool, "-maxpacketsize", maxsize] + list(extra)
        daemon = Daemon(args, env=env, preexec_fn=preexec_fn)
        self.daemons.append(daemon)
        if connect:
            self.collector.accept()
        return daemon

    def exporter(self, source="127.0.0.1"):
        e = Exporter(source)
        self.exporters.append(e)
        return e

    def listen_on(self, daemon, ports):
        """Port update, then waits until the emulated SCTP sockets are bound."""
        self.collector.port_update(ports)
        for p in ports:
            wait_until(lambda: port_taken(p & 0xffff), 5, "port %d to be bound" % p)
        return ports

    def assertExit(self, daemon, status, timeout=5):
        self.assertEqual(daemon.wait(timeout), status, "stdout: %r\nstderr: %r" % (daemon.stdout(), daemon.stderr()))
