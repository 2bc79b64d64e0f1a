#!/usr/bin/python3
"""End-to-end cases for quorvane against the kernel's own SCTP.

Runs inside the test VM (vm-run.sh), where the kernel has SCTP; standard
library only. The test plays the collector (a TCP listener the daemon
connects to) and real SCTP exporters, and checks what reaches the collector
byte for byte, together with the daemon's output streams and exit status.

    suite.py --quorvane PATH [--tools DIR] [CASE...]

Prints "RESULT <case> PASS|FAIL|SKIP" per case and a closing
"vm-suite: N passed, N failed, N skipped" line; exits 1 on any failure.
"""
import argparse
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import traceback

IPPROTO_SCTP = 132
SCTP_SNDRCV = 1          # cmsg type carrying struct sctp_sndrcvinfo
SCTP_INITMSG = 2
SNDRCV = struct.Struct("@HHHIIIIIi")   # stream, ssn, flags, ppid, context, ttl, tsn, cumtsn, assoc_id
INITMSG = struct.Struct("@HHHH")       # num_ostreams, max_instreams, max_attempts, max_init_timeo
HEADER = struct.Struct(">12s4sIIQI")
PREFIX = b"\0" * 10 + b"\xff\xff"
DEFAULT_WAIT = 15.0

ARGS = None
CASES = []
PROCS = []   # everything a case started; ended by PID after the case


def case(fn):
    CASES.append(fn)
    return fn


class Fail(Exception):
    pass


def check(cond, msg):
    if not cond:
        raise Fail(msg)


def now_ms():
    return int(time.time() * 1000)


def free_port(kind):
    """A port nobody holds right now, for TCP ("tcp") or SCTP ("sctp")."""
    if kind == "tcp":
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    else:
        s = socket.socket(socket.AF_INET, socket.SOCK_SEQPACKET, IPPROTO_SCTP)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def free_sctp_ports(n):
    ports = set()
    while len(ports) < n:
        ports.add(free_port("sctp"))
    return sorted(ports)


# ---------------------------------------------------------------- processes

class Proc:
    """A child whose stdout and stderr are collected line by line."""

    def __init__(self, argv, name, stdin=subprocess.DEVNULL):
        self.name = name
        self.argv = argv
        self.p = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        PROCS.append(self)
        self.out, self.err = [], []
        self.cv = threading.Condition()
        self.closed = 0
        for pipe, lines in ((self.p.stdout, self.out), (self.p.stderr, self.err)):
            threading.Thread(target=self._pump, args=(pipe, lines), daemon=True).start()

    def _pump(self, pipe, lines):
        for raw in pipe:
            with self.cv:
                lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cv.notify_all()
        with self.cv:
            self.closed += 1
            self.cv.notify_all()

    def wait_line(self, stream, pattern, timeout=DEFAULT_WAIT, count=1):
        """Waits until `count` lines of stream ("out"/"err") match; returns them."""
        lines = self.out if stream == "out" else self.err
        rx = re.compile(pattern)
        deadline = time.time() + timeout
        with self.cv:
            while True:
                hits = [l for l in lines if rx.search(l)]
                if len(hits) >= count:
                    return hits
                left = deadline - time.time()
                if left <= 0 or (self.closed == 2 and self.p.poll() is not None):
                    raise Fail("%s: no %d line(s) matching %r on std%s within %.0fs; got:\n%s"
                               % (self.name, count, pattern, stream, timeout, self.dump()))
                self.cv.wait(min(left, 0.5))

    def lines(self, stream, pattern):
        with self.cv:
            return [l for l in (self.out if stream == "out" else self.err) if re.search(pattern, l)]

    def wait_exit(self, timeout=DEFAULT_WAIT):
        try:
            return self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Fail("%s (pid %d) still running after %.0fs" % (self.name, self.p.pid, timeout))

    def stop(self):
        if self.p.poll() is None:
            os.kill(self.p.pid, signal.SIGKILL)
            self.p.wait()

    def dump(self, n=25):
        return "\n".join(["  %s stdout: %s" % (self.name, l) for l in self.out[-n:]] +
                         ["  %s stderr: %s" % (self.name, l) for l in self.err[-n:]])


PREFIX_RE = r"^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d\d:\d\d:\d\d \d{4}\] "


def logline(msg):
    """A regex for one whole log line of the daemon carrying msg."""
    return PREFIX_RE + re.escape(msg) + "$"


# ---------------------------------------------------------------- collector

class Collector:
    """The test's side of the collector connection."""

    def __init__(self):
        self.lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lsock.bind(("127.0.0.1", 0))
        self.lsock.listen(1)
        self.port = self.lsock.getsockname()[1]
        self.sock = None

    def accept(self, timeout=DEFAULT_WAIT):
        self.lsock.settimeout(timeout)
        try:
            self.sock, _ = self.lsock.accept()
        except socket.timeout:
            raise Fail("the daemon did not connect to the collector within %.0fs" % timeout)
        self.sock.settimeout(None)

    def ports(self, ports):
        self.sock.sendall(struct.pack(">Bi", 1, len(ports)) + b"".join(struct.pack(">i", p) for p in ports))

    def want(self, n=1):
        self.sock.sendall(b"\0" * n)

    def _exact(self, n, deadline):
        buf = b""
        while len(buf) < n:
            left = deadline - time.time()
            if left <= 0:
                raise socket.timeout()
            self.sock.settimeout(left)
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise Fail("collector connection closed by the daemon")
            buf += chunk
        return buf

    def record(self, timeout=DEFAULT_WAIT):
        deadline = time.time() + timeout
        try:
            hdr = self._exact(HEADER.size, deadline)
            prefix, addr, port, stream, ts, length = HEADER.unpack(hdr)
            payload = self._exact(length, deadline)
        except socket.timeout:
            raise Fail("no record within %.0fs" % timeout)
        check(prefix == PREFIX, "record prefix %s" % prefix.hex())
        return {"addr": socket.inet_ntoa(addr), "port": port, "stream": stream,
                "ts": ts, "payload": payload}

    def records(self, n, timeout=DEFAULT_WAIT):
        """Asks for n records one want at a time, the way a collector paces them."""
        out = []
        for _ in range(n):
            self.want()
            out.append(self.record(timeout))
        return out

    def quiet(self, secs):
        """True when nothing arrives on the connection for secs."""
        self.sock.settimeout(secs)
        try:
            return not self.sock.recv(1, socket.MSG_PEEK)
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(None)

    def close(self):
        for s in (self.sock, self.lsock):
            if s:
                s.close()


# ---------------------------------------------------------------- exporters

class Exporter:
    """A real SCTP endpoint; one-to-one (SOCK_STREAM) or one-to-many (SOCK_SEQPACKET)."""

    def __init__(self, port, bind="127.0.0.1", style="one-to-one", ostreams=10,
                 dest="127.0.0.1", timeout=DEFAULT_WAIT):
        self.dest = (dest, port)
        self.style = style
        kind = socket.SOCK_STREAM if style == "one-to-one" else socket.SOCK_SEQPACKET
        deadline = time.time() + timeout
        while True:
            s = socket.socket(socket.AF_INET, kind, IPPROTO_SCTP)
            s.setsockopt(IPPROTO_SCTP, SCTP_INITMSG, INITMSG.pack(ostreams, 10, 0, 0))
            s.bind((bind, 0))
            try:
                if style == "one-to-one":
                    s.settimeout(5)
                    s.connect(self.dest)
                    s.settimeout(None)
                else:
                    # A one-to-many socket sets its association up with the first
                    # send; an empty probe is refused, so connect explicitly.
                    s.settimeout(5)
                    s.connect(self.dest)
                    s.settimeout(None)
                break
            except OSError as e:
                s.close()
                if time.time() > deadline:
                    raise Fail("exporter %s -> port %d: %s" % (bind, port, e))
                time.sleep(0.1)
        self.sock = s

    def send(self, payload, stream=0):
        cmsg = [(IPPROTO_SCTP, SCTP_SNDRCV, SNDRCV.pack(stream, 0, 0, 0, 0, 0, 0, 0, 0))]
        if self.style == "one-to-one":
            n = self.sock.sendmsg([payload], cmsg)
        else:
            n = self.sock.sendmsg([payload], cmsg, 0, self.dest)
        check(n == len(payload), "short SCTP send %d of %d" % (n, len(payload)))

    def ended(self, timeout):
        """True when the peer ends the association (EOF or reset) within timeout."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65536) == b""
        except socket.timeout:
            return False
        except OSError:
            return True
        finally:
            self.sock.settimeout(None)

    def close(self):
        self.sock.close()


def try_connect(port, timeout=3.0):
    """Whether an SCTP association to port can be set up at all."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM, IPPROTO_SCTP)
    s.settimeout(timeout)
    try:
        s.connect(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


# ---------------------------------------------------------------- daemon

def start(pool=64, maxpkt=2048, extra=(), ports=None):
    """A daemon with its own collector; returns (daemon, collector)."""
    col = Collector()
    argv = [ARGS.quorvane, "-forwardingport", str(col.port), "-udpsocketbufsize", "1048576",
            "-packetpoolsize", str(pool), "-maxpacketsize", str(maxpkt)] + list(extra)
    d = Proc(argv, "quorvane")
    col.accept()
    d.wait_line("out", logline("starting up quorvane..."), 5)
    if ports:
        col.ports(ports)
    return d, col


def payload(tag, i, size=None):
    base = ("%s#%04d:" % (tag, i)).encode()
    if size is None:
        size = 40 + (i * 37) % 300
    return (base * (size // len(base) + 1))[:size]


def assert_record(rec, addr, port, stream, data, t0, t1):
    check(rec["addr"] == addr, "sender %s, want %s" % (rec["addr"], addr))
    check(rec["port"] == port, "port %d, want %d" % (rec["port"], port))
    check(rec["stream"] == stream, "stream %d, want %d" % (rec["stream"], stream))
    check(rec["payload"] == data, "payload differs: got %d bytes %r..., want %d bytes %r..."
          % (len(rec["payload"]), rec["payload"][:24], len(data), data[:24]))
    check(t0 - 1000 <= rec["ts"] <= t1 + 1000, "timestamp %d outside [%d, %d]" % (rec["ts"], t0, t1))


# ---------------------------------------------------------------- cases

@case
def several_exporters_ports_streams():
    """Associations from several sender addresses to one port and to two
    ports, both socket styles, several streams (one above 255): every record
    carries its sender, port and stream and the payload unchanged, and each
    stream of each association keeps its order."""
    p1, p2 = free_sctp_ports(2)
    d, col = start(pool=128, ports=[p2, p1])
    t0 = now_ms()
    exps = [("127.0.2.7", p1, "one-to-one", [0, 1, 5]),
            ("127.0.2.8", p1, "one-to-many", [0, 2]),
            ("127.0.2.9", p2, "one-to-one", [3, 300]),
            ("127.0.3.1", p2, "one-to-many", [7])]
    socks, expected = [], {}
    for n, (addr, port, style, streams) in enumerate(exps):
        e = Exporter(port, bind=addr, style=style, ostreams=400)
        socks.append(e)
        for i in range(6):
            st = streams[i % len(streams)]
            data = payload("e%d-s%d" % (n, st), i)
            e.send(data, st)
            expected.setdefault((addr, port, st), []).append(data)
    total = sum(len(v) for v in expected.values())
    recs = col.records(total)
    t1 = now_ms()
    got = {}
    for r in recs:
        check(r["ts"] >= t0 - 1000 and r["ts"] <= t1 + 1000, "timestamp %d outside the run" % r["ts"])
        got.setdefault((r["addr"], r["port"], r["stream"]), []).append(r["payload"])
    check(set(got) == set(expected), "(sender, port, stream) seen %s, want %s" % (sorted(got), sorted(expected)))
    for key in expected:
        check(got[key] == expected[key], "records of %s differ or are out of order" % (key,))
    check(col.quiet(1.0), "a record arrived without a datagram behind it")
    check(not d.err, "stderr: %s" % d.err)
    for e in socks:
        e.close()
    check(d.p.poll() is None, "daemon ended: %s" % d.dump())


@case
def notifications_dropped_not_counted():
    """Association set-up and shutdown notifications are read and dropped:
    they are never forwarded and never counted as packets."""
    (p,) = free_sctp_ports(1)
    d, col = start(pool=16, extra=["-logstats", "1", "-debug"], ports=[p])
    e = Exporter(p, bind="127.0.2.7")
    t0 = now_ms()
    for i in range(3):
        e.send(payload("n", i), i)
    recs = col.records(3)
    for i, r in enumerate(recs):
        assert_record(r, "127.0.2.7", p, i, payload("n", i), t0, now_ms())
    e.close()
    # Set-up and end of the association each bring notifications.
    d.wait_line("out", logline("ignoring Notification Messages"), count=2)
    col.want()
    check(col.quiet(1.5), "a notification was forwarded as a record")
    # A report taken after the shutdown: nothing but the three datagrams counted.
    n_rep = len(d.lines("out", r"packets received"))
    d.wait_line("out", r"packets received", count=n_rep + 1, timeout=5)
    rep = d.lines("out", r"packets received")[-1]
    check(rep == "3 packets received, 0 discarded, 3 forwarded, 4 wants from ORVEL", "report: %r" % rep)
    d.wait_line("out", r"^16/16 pool entries available$")
    reads0 = d.lines("out", logline("read 0 bytes from") [:-1])
    check(len(reads0) >= 2, "expected a 'read 0 bytes' line per notification, got %d" % len(reads0))
    ARGS.notes.append("notifications for one association (set-up + close): %d"
                      % len(d.lines("out", logline("ignoring Notification Messages"))))


@case
def overlong_message_split():
    """A message longer than -maxpacketsize is handed over in pieces, each its
    own record, and the pieces join to the message; one exactly the size
    stays whole."""
    (p,) = free_sctp_ports(1)
    # Every piece takes a pool entry of its own: the pool must hold them all.
    d, col = start(pool=200, maxpkt=1000, ports=[p])
    e = Exporter(p, bind="127.0.2.7")
    t0 = now_ms()
    sizes = {1000: [1000], 1001: [1000, 1], 2500: [1000, 1000, 500]}
    for size, pieces in sizes.items():
        msg = payload("long%d" % size, size, size)
        e.send(msg, 1)
        recs = col.records(len(pieces))
        check([len(r["payload"]) for r in recs] == pieces,
              "message of %d: pieces %s, want %s" % (size, [len(r["payload"]) for r in recs], pieces))
        for r in recs:
            check(r["port"] == p and r["stream"] == 1 and r["addr"] == "127.0.2.7", "piece header %r" % r)
        check(b"".join(r["payload"] for r in recs) == msg, "pieces of %d do not join to the message" % size)
    # A message beyond the loopback MTU is fragmented by SCTP itself; the
    # pieces the socket hands out then need not be full-sized.
    big = payload("big", 1, 150000)
    e.send(big, 2)
    got, parts = b"", []
    while len(got) < len(big):
        r = col.records(1)[0]
        check(r["stream"] == 2, "piece on stream %d" % r["stream"])
        check(0 < len(r["payload"]) <= 1000, "piece of %d bytes" % len(r["payload"]))
        got += r["payload"]
        parts.append(len(r["payload"]))
    check(got == big, "pieces of a 150000-byte message do not join to it")
    short = [n for n in parts[:-1] if n != 1000]
    ARGS.notes.append("150000-byte message at -maxpacketsize 1000: %d pieces, %d short ones before the last %s"
                      % (len(parts), len(short), short[:8]))
    check(col.quiet(1.0), "an extra record after the pieces")
    e.close()


@case
def pool_exhaustion_and_recovery():
    """With wants withheld, a pool of 10 fills, the warning comes at one free
    entry, then five more datagrams are dropped with one empty-pool warning;
    wants drain it, recovery is reported at the sixth forward with the exact
    discard total, and the pool works normally afterwards."""
    (p,) = free_sctp_ports(1)
    d, col = start(pool=10, extra=["-logstats", "1"], ports=[p])
    e = Exporter(p, bind="127.0.2.7")
    t0 = now_ms()
    for i in range(15):
        e.send(payload("pool", i), 0)
    d.wait_line("out", r"^10 packets received, 5 discarded, 0 forwarded, 0 wants from ORVEL$", timeout=10)
    d.wait_line("err", logline("Warning, the packet pool reserve has reached 15 percent of 10 entries."))
    d.wait_line("err", logline("Warning, the packet pool is empty; some packets may be discarded."))
    err = [l[27:] for l in d.err]
    check(err.index("Warning, the packet pool reserve has reached 15 percent of 10 entries.")
          < err.index("Warning, the packet pool is empty; some packets may be discarded."),
          "warnings out of order: %s" % err)
    check(len(d.lines("err", "pool is empty")) == 1, "empty-pool warning repeated")
    recs = col.records(5)
    check(col.quiet(0.7) and not d.lines("out", "recovered"), "recovery reported with only 5 free entries")
    recs += col.records(1)
    d.wait_line("out", logline("The packet pool reserve has recovered to 50 percent."), 5)
    d.wait_line("out", logline("Total number of packets discarded due to insufficient pool entries: 5"), 5)
    out = [l[27:] for l in d.out]
    i = out.index("The packet pool reserve has recovered to 50 percent.")
    check(out[i + 1] == "Total number of packets discarded due to insufficient pool entries: 5",
          "discard total does not follow the recovery line: %s" % out[i:i + 3])
    recs += col.records(4)
    for i, r in enumerate(recs):
        assert_record(r, "127.0.2.7", p, 0, payload("pool", i), t0, now_ms())
    check(col.quiet(1.0), "a dropped datagram was forwarded")
    for i in range(15, 18):
        e.send(payload("pool", i), 0)
    for i, r in zip(range(15, 18), col.records(3)):
        assert_record(r, "127.0.2.7", p, 0, payload("pool", i), t0, now_ms())
    n_rep = len(d.lines("out", r"packets received"))
    d.wait_line("out", r"packets received", count=n_rep + 1, timeout=5)
    check(d.lines("out", r"packets received")[-1] == "13 packets received, 5 discarded, 13 forwarded, 13 wants from ORVEL",
          "report after recovery: %r" % d.lines("out", r"packets received")[-1])
    check(len(d.lines("err", "Warning")) == 2, "extra warnings: %s" % d.err)
    e.close()


@case
def port_updates_with_live_associations():
    """Port updates close the ports they leave out, ending the associations
    on them, keep the others and their associations untouched, and open new
    ports; a closed port reopens on a later update."""
    p1, p2, p3 = free_sctp_ports(3)
    d, col = start(pool=32, ports=[p1, p2])
    a = Exporter(p1, bind="127.0.2.7")
    b = Exporter(p2, bind="127.0.2.8")
    t0 = now_ms()
    a.send(b"a-before", 0)
    b.send(b"b-before", 1)
    recs = col.records(2)
    check(sorted((r["port"], r["payload"]) for r in recs) == sorted([(p1, b"a-before"), (p2, b"b-before")]),
          "records before the update: %r" % recs)
    col.ports([p2, p3])
    check(a.ended(8), "the association on the closed port %d did not end" % p1)
    check(not try_connect(p1), "port %d still accepts associations after it left the set" % p1)
    b.send(b"b-after", 4)
    assert_record(col.records(1)[0], "127.0.2.8", p2, 4, b"b-after", t0, now_ms())
    c = Exporter(p3, bind="127.0.2.9")
    c.send(b"c-new", 2)
    assert_record(col.records(1)[0], "127.0.2.9", p3, 2, b"c-new", t0, now_ms())
    col.ports([p1, p2, p3])
    a2 = Exporter(p1, bind="127.0.2.10")
    a2.send(b"a-again", 0)
    b.send(b"b-still", 0)
    recs = col.records(2)
    check(sorted((r["addr"], r["port"], r["payload"]) for r in recs) ==
          sorted([("127.0.2.10", p1, b"a-again"), ("127.0.2.8", p2, b"b-still")]), "after reopen: %r" % recs)
    col.ports([])
    check(b.ended(8) and c.ended(8) and a2.ended(8), "an association outlived the empty port update")
    check(not d.err, "unexpected stderr: %s" % d.err)
    check(d.p.poll() is None, "daemon ended")
    a.close(); b.close(); c.close(); a2.close()


@case
def port_already_bound():
    """A port held by another SCTP socket is reported and skipped, the
    others listen; a later update that names it again binds it once free."""
    p, q = free_sctp_ports(2)
    holder = socket.socket(socket.AF_INET, socket.SOCK_SEQPACKET, IPPROTO_SCTP)
    holder.bind(("0.0.0.0", p))
    holder.listen(5)
    d, col = start(pool=16, ports=[p, q])
    d.wait_line("err", logline("error, can't bind to port %d: Address already in use" % p))
    e = Exporter(q, bind="127.0.2.7")
    e.send(b"on-q", 3)
    r = col.records(1)[0]
    check((r["port"], r["stream"], r["payload"]) == (q, 3, b"on-q"), "record %r" % r)
    holder.close()
    col.ports([p, q])
    x = Exporter(p, bind="127.0.2.8")
    x.send(b"on-p", 0)
    r = col.records(1)[0]
    check((r["addr"], r["port"], r["payload"]) == ("127.0.2.8", p, b"on-p"), "record %r" % r)
    check(len(d.lines("err", "can't bind")) == 1, "bind error repeated: %s" % d.err)
    e.close(); x.close()


@case
def collector_closes_connection():
    """The collector ending the connection ends the daemon in order:
    "exiting" on stdout and status 0."""
    (p,) = free_sctp_ports(1)
    d, col = start(pool=16, ports=[p])
    e = Exporter(p, bind="127.0.2.7")
    e.send(b"one", 0)
    col.records(1)
    col.close()
    rc = d.wait_exit(10)
    check(rc == 0, "exit status %d" % rc)
    d.wait_line("out", logline("exiting"), 2)
    check(not d.err, "stderr: %s" % d.err)
    e.close()


@case
def collector_vanishes_mid_stream():
    """The collector resets the connection while records are streaming to it
    and data it never read is pending: still "exiting" and status 0, no
    signal death."""
    (p,) = free_sctp_ports(1)
    d, col = start(pool=256, maxpkt=9000, ports=[p])
    e = Exporter(p, bind="127.0.2.7")
    for i in range(150):
        e.send(payload("mid", i, 8000), i % 4)
    col.want(150)
    col.sock.settimeout(5)
    col.sock.recv(50)     # part of the first record only
    # Close with unread data: the kernel resets the connection.
    col.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    col.close()
    rc = d.wait_exit(10)
    check(rc == 0, "exit status %d (negative: killed by that signal)" % rc)
    d.wait_line("out", logline("exiting"), 2)
    e.close()


@case
def third_party_sctp_client():
    """Messages from lksctp-tools' sctp_test and sctp_darn, SCTP clients
    nobody here wrote, arrive with their sender, port and sizes."""
    p, q = free_sctp_ports(2)
    d, col = start(pool=64, maxpkt=40000, ports=[p, q])
    # sctp_test case 4: ten messages of fixed sizes, ordered, on streams 0..2.
    sizes = [1, 1000, 2000, 3000, 5000, 10000, 15000, 20000, 25000, 32768]
    st = Proc(["sctp_test", "-H", "127.0.2.20", "-P", "0", "-h", "127.0.0.1", "-p", str(p),
               "-s", "-c", "4", "-x", "1", "-M", "3", "-o", "1", "-d", "0"], "sctp_test")
    recs = col.records(len(sizes), timeout=20)
    st.wait_exit(10)
    check(sorted(len(r["payload"]) for r in recs) == sizes,
          "sctp_test sizes %s" % sorted(len(r["payload"]) for r in recs))
    check(all(r["addr"] == "127.0.2.20" and r["port"] == p and r["stream"] < 3 for r in recs),
          "sctp_test headers %s" % [(r["addr"], r["port"], r["stream"]) for r in recs])
    # sctp_darn -s sends each line of its input as one message.
    darn = Proc(["sctp_darn", "-H", "127.0.2.21", "-P", "0", "-h", "127.0.0.1", "-p", str(q), "-s"],
                "sctp_darn", stdin=subprocess.PIPE)
    lines = [b"first line from darn", b"second line from darn"]
    for l in lines:
        darn.p.stdin.write(l + b"\n")
        darn.p.stdin.flush()
    recs = col.records(len(lines), timeout=20)
    darn.p.stdin.close()
    got = [r["payload"] for r in recs]
    ARGS.notes.append("sctp_darn payloads: %r" % got)
    check(all(r["addr"] == "127.0.2.21" and r["port"] == q for r in recs),
          "sctp_darn headers %s" % [(r["addr"], r["port"]) for r in recs])
    check([g.rstrip(b"\n\0") for g in got] == lines, "sctp_darn payloads %r" % got)


def run_companions(ahead):
    """The project's exporter and collector with the daemon between them:
    two exporters start once the daemon listens, the collector stops at 20."""
    tools = ARGS.tools
    exp = os.path.join(tools or "", "quorvane-exporter")
    colb = os.path.join(tools or "", "quorvane-collector")
    if not tools or not (os.access(exp, os.X_OK) and os.access(colb, os.X_OK)):
        raise Skip("quorvane-exporter/quorvane-collector not given")
    p, q = free_sctp_ports(2)
    c = Proc([colb, "-listen", "0", "-ports", "%d,%d" % (p, q), "-count", "20"] +
             (["-ahead", str(ahead)] if ahead else []), "quorvane-collector")
    line = c.wait_line("out", r"^listening on 127\.0\.0\.1:\d+$")[0]
    cport = int(line.rsplit(":", 1)[1])
    d = Proc([ARGS.quorvane, "-forwardingport", str(cport), "-udpsocketbufsize", "1048576",
              "-packetpoolsize", "64", "-maxpacketsize", "9000", "-logstats", "1"], "quorvane")
    c.wait_line("err", r"sent port update")
    deadline = time.time() + DEFAULT_WAIT
    while not (try_connect(p) and try_connect(q)):
        check(time.time() < deadline, "the daemon never listened on %d and %d" % (p, q))
        time.sleep(0.1)
    e1 = Proc([exp, "-host", "127.0.0.1", "-port", str(p), "-bind", "127.0.2.30", "-streams", "0,1",
               "-count", "10", "-format", "v9"], "quorvane-exporter")
    e2 = Proc([exp, "-host", "127.0.0.1", "-port", str(q), "-bind", "127.0.2.31", "-style", "one-to-many",
               "-streams", "2", "-count", "10", "-format", "ipfix"], "quorvane-exporter")
    for x in (e1, e2):
        check(x.wait_exit(10) == 0, "exporter status %s: %s" % (x.p.returncode, x.dump()))
    try:
        c.wait_exit(15)
    except Fail:
        reports = d.lines("out", r"packets received|queued packets waiting")
        raise Fail("the collector printed %d of 20 records and still waits; the daemon's last report: %s"
                   % (len(c.lines("out", " from ")), reports[-2:]))
    check(c.p.returncode == 0, "collector status %s" % c.p.returncode)
    recs = c.lines("out", r" from ")
    rx = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} from (\S+) port (\d+) stream (\d+) len (\d+) (.*)$")
    seen = []
    for l in recs:
        m = rx.match(l)
        check(m, "collector line %r" % l)
        seen.append((m.group(1), int(m.group(2)), int(m.group(3))))
    check(len(seen) == 20, "collector printed %d records" % len(seen))
    check(sorted(set(seen)) == sorted({("127.0.2.30", p, 0), ("127.0.2.30", p, 1), ("127.0.2.31", q, 2)}),
          "records %s" % sorted(set(seen)))
    check(sum(1 for s in seen if s[1] == p) == 10, "records on port %d" % p)
    v9 = [l for l in recs if re.search(r" len \d+ netflow v9 count \d+ seq \d+$", l)]
    check(len(v9) == 10, "netflow v9 lines: %d of 10" % len(v9))
    check(d.wait_exit(10) == 0, "daemon status after the collector ended: %s" % d.p.returncode)
    d.wait_line("out", logline("exiting"), 2)


@case
def companion_tools():
    """quorvane-exporter and quorvane-collector (one want at a time) on a
    real SCTP stack: every datagram arrives with the expected fields."""
    run_companions(1)


@case
def companion_collector_wants_ahead():
    """The collector's default of several wants ahead, sent while the
    daemon's queue is still empty: the daemon merges wants that find nothing
    queued, so a collector counting them as separate requests stalls."""
    run_companions(None)


class Skip(Exception):
    pass


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--quorvane")
    ap.add_argument("--list", action="store_true", help="print the case names and stop")
    ap.add_argument("--tools")
    ap.add_argument("cases", nargs="*")
    ARGS = ap.parse_args()
    if ARGS.list:
        print("\n".join(c.__name__ for c in CASES))
        return 0
    if not ARGS.quorvane:
        ap.error("--quorvane is required")
    ARGS.notes = []
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    chosen = [c for c in CASES if not ARGS.cases or c.__name__ in ARGS.cases]
    counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}
    for fn in chosen:
        t = time.time()
        print("CASE %s" % fn.__name__, flush=True)
        status, why = "PASS", ""
        try:
            fn()
        except Skip as e:
            status, why = "SKIP", str(e)
        except Fail as e:
            status, why = "FAIL", str(e)
        except Exception:
            status, why = "FAIL", traceback.format_exc()
        if status == "FAIL":
            for p in PROCS:
                print(p.dump(40))
        for p in PROCS:
            p.stop()
        PROCS.clear()
        counts[status] += 1
        print("RESULT %s %s %.1fs%s" % (fn.__name__, status, time.time() - t,
                                        (": " + why.replace("\n", "\n    ")) if why else ""), flush=True)
    for n in ARGS.notes:
        print("NOTE " + n)
    print("vm-suite: %d passed, %d failed, %d skipped" % (counts["PASS"], counts["FAIL"], counts["SKIP"]),
          flush=True)
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
