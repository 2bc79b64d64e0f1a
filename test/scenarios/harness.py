"""The scenario suite's harness: the real daemon, a test collector and test
exporters, over one of two transports. Standard library only.

QUORVANE_TRANSPORT=emul (the default) runs quorvane_emul on this host, whose
SCTP calls are emulated over UDP on loopback; QUORVANE_TRANSPORT=kernel runs
the production quorvane against the kernel's own SCTP, inside the test VM.
Each scenario is written once against Exporter, Collector and Daemon below;
one that only a single transport can show is marked emul_only or kernel_only
and is skipped on the other with its reason printed.

Waits are on the daemon's own lines, on bound ports or on bytes arriving,
never on time alone; every bound scales with SLOW. Listening ports come from
QUORVANE_PORT_BASE, a range of its own for each test process, below the
kernel's ephemeral range, so parallel tests never take each other's ports.
"""

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

KERNEL = os.environ.get("QUORVANE_TRANSPORT", "emul") == "kernel"
BIN = os.environ.get("QUORVANE_BIN", "")
COLLECTOR_BIN = os.environ.get("QUORVANE_COLLECTOR", "")
EXPORTER_BIN = os.environ.get("QUORVANE_EXPORTER", "")
SANITIZED = os.environ.get("QUORVANE_SANITIZE", "") != ""
# Sanitized binaries, and everything in the emulated VM, run slower.
SLOW = (3.0 if SANITIZED else 1.0) * (4.0 if KERNEL else 1.0)

IPPROTO_SCTP = 132
USAGE = ("usage: quorvane -forwardingport port -udpsocketbufsize size -packetpoolsize size"
         " -maxpacketsize size [ -logstats secs ] [ -poolusagewarnpct pct ]"
         " [ -cancelpoolusagewarnpct pct ]\n")
PREFIX = re.compile(r"^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                    r"[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\] ")
REPORT = re.compile(r"\n(\w{3} \w{3} [ 1-3]\d \d\d:\d\d:\d\d \d{4})\n"
                    r"(\d+) packets received, (\d+) discarded, (\d+) forwarded, (\d+) wants from ORVEL\n"
                    r"(\d+)/(-?\d+) pool entries available\n"
                    r"(\d+) queued packets waiting, high water mark=(\d+)\n")
MAPPED_PREFIX = bytes(10) + b"\xff\xff"


def emul_only(reason):
    return unittest.skipIf(KERNEL, "emulated SCTP only: " + reason)


def kernel_only(reason):
    return unittest.skipUnless(KERNEL, "real SCTP only: " + reason)


_base = int(os.environ.get("QUORVANE_PORT_BASE", "0")) or 20000 + os.getpid() % 20 * 500
_used = [0]


def ports(n):
    """n listening ports of this process's range, ascending."""
    out = []
    for _ in range(n):
        out.append(_base + _used[0] % 500)
        _used[0] += 1
    return sorted(out)


def _rows(path):
    with open(path) as f:
        return [line.split() for line in f.read().splitlines()[1:]]


def port_taken(port):
    """Whether a socket listens on port, on this transport. Read from the
    kernel's tables: a probe that binds the port could take it from the daemon."""
    if KERNEL:   # ENDPT SOCK STY SST HBKT LPORT ...
        return any(int(r[5]) == port for r in _rows("/proc/net/sctp/eps"))
    return any(int(r[1].split(":")[1], 16) == port for r in _rows("/proc/net/udp"))


def waiting_on(port):
    """Whether bytes wait in the receive queue of the daemon's socket on port
    (the daemon may be blocked elsewhere)."""
    if KERNEL:   # ASSOC SOCK STY SST ST HBKT ASSOC-ID TX_QUEUE RX_QUEUE UID INODE LPORT ...
        return any(int(r[11]) == port and int(r[8]) > 0 for r in _rows("/proc/net/sctp/assocs"))
    # sl local_address rem_address st tx_queue:rx_queue ...
    return any(int(r[1].split(":")[1], 16) == port and int(r[4].split(":")[1], 16) > 0
               for r in _rows("/proc/net/udp"))


def tcp_listening(port):
    """Whether a TCP socket listens on port (state 0A in /proc/net/tcp)."""
    return any(int(r[1].split(":")[1], 16) == port and r[3] == "0A" for r in _rows("/proc/net/tcp"))


def in_send(pid):
    """Whether the process sleeps in sendto (44 on x86-64), from /proc/PID/syscall."""
    with open("/proc/%d/syscall" % pid) as f:
        return f.read().split()[0] == "44"


def wait_until(predicate, what, timeout=5):
    deadline = time.monotonic() + timeout * SLOW
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError("timed out waiting for " + what)


def messages(text):
    """Log lines without their time prefix, statistics reports left out;
    fails on any other line that lacks the prefix."""
    out = []
    for line in REPORT.sub("\n", "\n" + text).splitlines():
        if line:
            if PREFIX.match(line) is None:
                raise AssertionError("log line without its time prefix: %r" % line)
            out.append(line[27:])
    return out


class Daemon:
    """One daemon process; its two streams go to files, so it never blocks on them."""

    def __init__(self, args, env=None, preexec_fn=None, stdout=None):
        self.dir = tempfile.TemporaryDirectory()
        self.out_path = os.path.join(self.dir.name, "stdout")
        self.err_path = os.path.join(self.dir.name, "stderr")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([BIN] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                                         stdout=stdout or out, stderr=err, env=dict(os.environ, **(env or {})),
                                         preexec_fn=preexec_fn, close_fds=preexec_fn is None)
        self.pid = self.proc.pid

    def stdout(self):
        with open(self.out_path) as f:
            return f.read()

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def out(self):
        return messages(self.stdout())

    def err(self):
        return messages(self.stderr())

    def reports(self):
        return [tuple(int(v) for v in r[1:]) for r in REPORT.findall("\n" + self.stdout())]

    def wait_receives(self, n, timeout=5):
        """Waits (with -debug) until n datagrams have been received or drained."""
        rx = re.compile(r"\] (read [1-9]|pool is empty, disc)")
        wait_until(lambda: len(rx.findall(self.stdout())) >= n, "%d receives" % n, timeout)

    def wait_out(self, text, count=1, timeout=5):
        wait_until(lambda: self.stdout().count(text) >= count, "%d x %r on stdout" % (count, text), timeout)

    def wait_err(self, text, count=1, timeout=5):
        wait_until(lambda: self.stderr().count(text) >= count, "%d x %r on stderr" % (count, text), timeout)

    def next_report(self, timeout=5):
        """A report whose every value was read after this call: the second
        one to start from now on, as the first may have read some before."""
        started = len(re.findall(r"\n\w{3} \w{3} [ 1-3]\d \d\d:\d\d:\d\d \d{4}\n", "\n" + self.stdout()))
        wait_until(lambda: len(self.reports()) > started + 1, "a statistics report", timeout)
        return self.reports()[started + 1]

    def wait(self, timeout=5):
        return self.proc.wait(timeout * SLOW)

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
            self.proc.wait(10)
        self.dir.cleanup()


class Collector:
    """The collector's end of the daemon's connection, driven by the test."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def accept(self, timeout=10):
        self.listener.settimeout(timeout * SLOW)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(None)

    def send(self, data):
        self.conn.sendall(data)

    def want(self, n=1):
        self.send(b"\x00" * n)

    def port_update(self, ports_):
        self.send(port_update(ports_))

    def hold_in_port_update(self, daemon, update):
        """Sends the first byte of update and returns once the daemon (with
        -debug) is blocked reading the rest: whatever arrives meanwhile is
        ready together with the rest of the request in the next pass."""
        seen = daemon.stdout().count("message from orvel: port update")
        self.send(update[:1])
        daemon.wait_out("message from orvel: port update", seen + 1)

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
        port, stream, stamp, length = struct.unpack(">IIQI", header[16:36])
        payload = self.read_exact(length, timeout)
        return Record(socket.inet_ntoa(header[12:16]), port, stream, stamp, payload, header + payload)

    def records(self, n):
        """n records, one want each, the way a collector paces them."""
        out = []
        for _ in range(n):
            self.want()
            out.append(self.record())
        return out

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
        return "Record(%s port %d stream %d %r)" % (self.address, self.port, self.stream, self.payload[:20])


def port_update(ports_, count=None):
    count = len(ports_) if count is None else count
    return struct.pack(">Bi", 1, count) + b"".join(struct.pack(">i", p) for p in ports_)


class Exporter:
    """Datagrams to the daemon's ports from one source address. Emulated: UDP
    frames (flags, zero, stream). Real: one SCTP association per port, set
    up on first use; setting it up is what brings the daemon a notification."""

    def __init__(self, source="127.0.0.1", dest="127.0.0.1"):
        self.source, self.dest = source, dest
        self.socks = {}

    def _sock(self, port):
        if port in self.socks:
            return self.socks[port]
        if not KERNEL:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        else:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM, IPPROTO_SCTP)
            s.setsockopt(IPPROTO_SCTP, 2, struct.pack("@HHHH", 65535, 65535, 0, 0))   # SCTP_INITMSG
        s.bind((self.source, 0))
        s.connect((self.dest, port))
        self.socks[port] = s
        return s

    def associate(self, port):
        """Emulated: a notification frame; real: the association's start."""
        if KERNEL:
            self._sock(port)
        else:
            self._sock(port).send(struct.pack(">BBH", 1, 0, 0) + b"\x00\x01" + bytes(18))

    def send(self, port, payload, stream=0):
        if KERNEL:
            info = struct.pack("@HHHIIIIIi", stream, 0, 0, 0, 0, 0, 0, 0, 0)   # struct sctp_sndrcvinfo
            self._sock(port).sendmsg([payload], [(IPPROTO_SCTP, 1, info)])      # SCTP_SNDRCV
        else:
            self._sock(port).send(struct.pack(">BBH", 0, 0, stream) + payload)

    def close(self):
        for s in self.socks.values():
            s.close()
        self.socks = {}


class Scenario(unittest.TestCase):
    """A collector, and on demand daemons connected to it and exporters;
    every process is ended by PID when the test ends."""

    def setUp(self):
        self.collector = Collector()
        self.cleanups = []
        self.addCleanup(lambda: [c() for c in reversed(self.cleanups)])
        self.addCleanup(lambda: self.collector.close())

    def start(self, *extra, pool=10, maxsize=1500, bufsize=65536, forwardingport=None, connect=True, **kw):
        args = ["-forwardingport", forwardingport or self.collector.port, "-udpsocketbufsize", bufsize,
                "-packetpoolsize", pool, "-maxpacketsize", maxsize] + list(extra)
        daemon = Daemon(args, **kw)
        self.cleanups.append(daemon.kill)
        if connect:
            self.collector.accept()
        return daemon

    def new_collector(self):
        self.collector.close()
        self.collector = Collector()
        return self.collector

    def exporter(self, source="127.0.0.1", dest="127.0.0.1"):
        """SCTP keeps loopback and other addresses apart: a source that is not
        on loopback sends to a dest that is not either."""
        e = Exporter(source, dest)
        self.cleanups.append(e.close)
        return e

    def listen_on(self, ports_):
        """Port update, then waits until the daemon listens on every port."""
        self.collector.port_update(ports_)
        for p in ports_:
            wait_until(lambda: port_taken(p & 0xffff), "port %d to be bound" % p)
        return ports_

    def run_tool(self, argv, **kw):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, **kw)

        def end():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            for pipe in (proc.stdout, proc.stderr):
                if pipe:
                    pipe.close()
        self.cleanups.append(end)
        return proc

    def assertExit(self, daemon, status, timeout=5):
        self.assertEqual(daemon.wait(timeout), status, "stdout: %r\nstderr: %r" % (daemon.stdout(), daemon.stderr()))
