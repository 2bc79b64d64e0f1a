"""The companions: quorvane-exporter and quorvane-collector with the daemon
between them, the collector against a daemon played by the test, and the
collector relaying to UDP targets, nfcapd fed by softflowd among them."""

import contextlib
import hashlib
import http.client
import json
import os
import pathlib
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest
import urllib.parse
import urllib.request

from harness import (COLLECTOR_BIN, EXPORTER_BIN, SLOW, Scenario, emul_only, in_send, kernel_only, port_taken,
                     ports, tcp_listening, wait_until)

LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} from (\S+) port (\d+) stream (\d+) len \d+ (.*)$")


NFDUMP_FIELDS = "fmt:%ra %sa %sp %da %dp %pr %pkt %byt"


def write_pcap(path):
    """60 TCP and UDP flows, each with its own packet count and sizes: more
    than one export datagram's worth."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    for n in range(5):
        for i in range(60):
            if n > i % 5:
                continue
            proto, size, sport, dport = (6, 17)[i % 2], 60 + 23 * i, 40000 + i, (80, 53, 443)[i % 3]
            l4 = (struct.pack(">HHIIBBHHH", sport, dport, n, 0, 0x50, 0x18, 65535, 0, 0) if proto == 6
                  else struct.pack(">HHHH", sport, dport, size - 20, 0))
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, size, n, 0, 64, proto, 0, bytes([10, 1, 0, i]),
                             bytes([10, 2, i % 7, 1]))
            frame = bytes(12) + b"\x08\x00" + ip + l4 + bytes(size - 20 - len(l4))
            out.append(struct.pack("<IIII", 1700000000 + 60 * n + i, 0, len(frame), len(frame)) + frame)
    with open(path, "wb") as f:
        f.write(b"".join(out))


def udp_queue(port):
    """Bytes waiting on the UDP socket bound to port, None when there is none."""
    with open("/proc/net/udp") as f:   # sl local_address rem_address st tx_queue:rx_queue ...
        rows = [r.split() for r in f.read().splitlines()[1:]]
    return next((int(r[4].split(":")[1], 16) for r in rows if int(r[1].split(":")[1], 16) == port), None)


def sink(family=socket.AF_INET, address="127.0.0.1"):
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, 0))
    s.settimeout(10 * SLOW)
    return s


def drain(s):
    s.setblocking(False)
    got = []
    while True:
        try:
            got.append(s.recv(65535))
        except BlockingIOError:
            return got


def raw_file(directory, datagrams, name="datagrams.raw"):
    """The exporter's -file format: each datagram behind its 4-byte length."""
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(b"".join(struct.pack(">I", len(d)) + d for d in datagrams))
    return path


SOCKET_ACTIVATE = shutil.which("systemd-socket-activate")
AS_ROOT = unittest.skipUnless(os.getuid() == 0, "needs root to act as another local user")


REFUSALS = re.compile(r"warning: refused (?:a connection|(\d+) more connections?) ")


def told(stderr):
    """The refusals the collector's warnings tell of."""
    return sum(int(n or 1) for n in REFUSALS.findall(stderr))


def tcp_state(port, remote):
    """The state of the TCP socket on port connected to remote, as /proc/net/tcp shows it."""
    with open("/proc/net/tcp") as f:   # sl local_address rem_address st ...
        rows = [r.split() for r in f.read().splitlines()[1:]]
    return next((r[3] for r in rows if int(r[1].split(":")[1], 16) == port and int(r[2].split(":")[1], 16) == remote),
                None)


def as_nobody():
    os.setgid(65534)
    os.setuid(65534)


def forge(port, data, times=1, answer=True):
    """Another local user connects to port times times in a row, sends data
    and waits for the end of the connection; returns what came back. Without
    answer it closes at once instead, and returns its port."""
    code = ("import socket\nfor _ in range(%d):\n    s = socket.create_connection(('127.0.0.1', %d))\n"
            "    s.sendall(bytes.fromhex('%s'))\n    s.settimeout(10)\n    try:\n"
            "        print(s.recv(100).hex() if %s else s.getsockname()[1], end='')\n"
            "    except ConnectionResetError:\n        pass\n    s.close()\n")
    return subprocess.run(["/usr/bin/python3", "-c", code % (times, port, data.hex(), answer)], capture_output=True,
                          text=True, preexec_fn=as_nobody, timeout=20 * SLOW, check=True).stdout


# Run in a network namespace, on ADDRESS:9995: echoes each datagram that starts with "mark ", and after
# "mark end" prints how many of each (length, source address and port, digest) came. A datagram whose
# fragment was lost waits there 300 s for its other fragments.
RECEIVER = """import collections, hashlib, socket, sys
with open("/proc/sys/net/ipv4/ipfrag_time", "w") as f:
    f.write("300")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 33, 1 << 24)   # SO_RCVBUFFORCE
s.bind((sys.argv[1], 9995))
s.settimeout(float(sys.argv[2]))
print("ready", flush=True)
seen, d = collections.Counter(), b""
while d != b"mark end":
    d, a = s.recvfrom(65535)
    seen[len(d), a[0], a[1], hashlib.sha1(d).hexdigest()] += 1
    if d.startswith(b"mark "):
        print(d.decode(), flush=True)
for k, n in sorted(seen.items()):
    print(n, *k)
"""
WRAP = 65534   # datagrams to one pair between two under one IP identification (0 is never one)


def line_of(proc):
    """The process's next line on standard output, "" when none comes in time."""
    return proc.stdout.readline() if select.select([proc.stdout], [], [], 10 * SLOW)[0] else ""


def arrivals(datagrams, source, port):
    """The receiver's closing lines for datagrams sent once each from source."""
    return sorted("%d %d %s %d %s" % (datagrams.count(d), len(d), source, port, hashlib.sha1(d).hexdigest())
                  for d in set(datagrams))


FIELDS = ((8, 4), (12, 4), (2, 4), (1, 4), (7, 2), (11, 2), (4, 1))   # addresses, packets, bytes, ports, protocol
TEMPLATE = struct.pack(">HH", 256, len(FIELDS)) + b"".join(struct.pack(">HH", *f) for f in FIELDS)


def netflow(version, seq, *sets, records=1, domain=7):
    """An IPFIX (10) or NetFlow v9 message of (set id, body) sets, from observation domain / source 7."""
    body = b"".join(struct.pack(">HH", sid, 4 + len(b)) + b for sid, b in sets)
    if version == 10:
        return struct.pack(">HHIII", 10, 16 + len(body), 1700000000 + seq, seq, domain) + body
    return struct.pack(">HHIIII", 9, records, 3600000 + seq, 1700000000 + seq, seq, domain) + body


def write_routers(directory):
    """Two v9 routers as most are set up, both source id 0 and template 256,
    in different field orders: router<N>.raw (the exporter's -file format)
    for 127.0.0.2 and .3, 10 datagrams of 12 flows each, the template in
    the first only, as over SCTP; and the nfdump lines (NFDUMP_FIELDS)
    each flow must give, in routers.expected."""
    expected = []
    for r, fields in ((2, FIELDS), (3, FIELDS[::-1])):
        datagrams = []
        for seq in range(10):
            records = b""
            for i in range(12):
                n = seq * 12 + i
                value = {8: bytes([172, 16 + r, seq, i]), 12: bytes([192, 0, 2, n]), 2: struct.pack(">I", n + 1),
                         1: struct.pack(">I", 100 * (n + 1)), 7: struct.pack(">H", 2000 + n),
                         11: struct.pack(">H", 53), 4: b"\x11"}
                records += b"".join(value[f] for f, _ in fields)
                expected.append("127.0.0.%d 172.%d.%d.%d %d 192.0.2.%d 53 17 %d %d" % (r, 16 + r, seq, i, 2000 + n, n, n + 1,
                                                                                    100 * (n + 1)))
            records += bytes(-len(records) % 4)
            sets = ((0, template(256, fields)), (256, records)) if seq == 0 else ((256, records),)
            datagrams.append(netflow(9, seq, *sets, records=12 + (seq == 0), domain=0))
        raw_file(directory, datagrams, "router%d.raw" % r)
    with open(os.path.join(directory, "routers.expected"), "w") as f:
        f.write("".join(line + "\n" for line in sorted(expected)))


def template(tid, fields):
    return struct.pack(">HH", tid, len(fields)) + b"".join(struct.pack(">HH", *f) for f in fields)


# Options templates: IPFIX with one scope field of two, v9 with 4 bytes of scope and 4 of options.
OPTIONS = struct.pack(">HHH", 258, 2, 1) + struct.pack(">HHHH", 149, 4, 8, 4)
V9_OPTIONS = struct.pack(">HHH", 260, 4, 4) + struct.pack(">HHHH", 1, 4, 2, 4)
BIG = [template(256 + i, [(1 + f % 200, 4) for f in range(1000)]) for i in range(32)]   # 4004 bytes each


def flow(i):
    """Template 256's record i, padded to 4 bytes."""
    return struct.pack(">4s4sIIHHBxxx", bytes([10, 0, 1, i]), bytes([192, 0, 2, i]), i + 1, 64 * (i + 1), 1024 + i,
                       53, 17)


def numbered(datagram, number=None):
    """The v9 or IPFIX datagram with another sequence number, or without one: the relay may rewrite it."""
    at = {b"\0\x09": 12, b"\0\x0a": 8}.get(datagram[:2])
    if at is None or len(datagram) < at + 4:
        return datagram
    return datagram[:at] + (b"" if number is None else struct.pack(">I", number)) + datagram[at + 4:]



def record(payload, stream=3, source="192.0.2.7", port=2055):
    return (bytes(10) + b"\xff\xff" + socket.inet_aton(source) + struct.pack(">IIQI", port, stream, 1700000000123,
                                                                             len(payload)) + payload)


def scrape(port, path="/metrics", method="GET"):
    """Status and body of one request to the collector's metrics server."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10 * SLOW)
    try:
        conn.request(method, path)
        r = conn.getresponse()
        return r.status, r.read().decode()
    finally:
        conn.close()


def samples(text):
    """{(name, labels): value} of an exposition; a name without a HELP and a TYPE before it fails."""
    described = set(re.findall(r"^# TYPE (\w+) (?:counter|gauge)$", text, re.M))
    described &= set(re.findall(r"^# HELP (\w+) \S", text, re.M))
    got = {(m[1], m[2] or ""): int(m[3]) for m in re.finditer(r"^(\w+)(?:\{(.*)\})? (\d+)$", text, re.M)}
    assert {name for name, _ in got} <= described, text
    return got


def metric(text, name, labels=""):
    return samples(text).get(("quorvane_collector_" + name, labels))


def tcp_socket(local, remote):
    """tx_queue of the TCP socket from local port to remote port, None when there is none."""
    with open("/proc/net/tcp") as f:   # sl local_address rem_address st tx_queue:rx_queue ...
        rows = [r.split() for r in f.read().splitlines()[1:]]
    return next((int(r[4].split(":")[0], 16) for r in rows if (int(r[1].split(":")[1], 16), int(r[2].split(":")[1], 16))
                 == (local, remote)), None)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:   # utime and stime, fields 14 and 15
        return sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:13]) / os.sysconf("SC_CLK_TCK")


GATED = os.environ.get("CI") or os.environ.get("QUORVANE_PACKAGE_CHECK") == "1"
INSTALL_DEPS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "install-deps.sh")


class Companions(Scenario):
    def tmpdir(self):
        path = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def collector_tool(self, *args, **kw):
        proc = self.run_tool([COLLECTOR_BIN, "-listen", "0"] + list(args), **kw)
        ready = select.select([proc.stdout], [], [], 5 * SLOW)[0]
        line = proc.stdout.readline() if ready else ""
        self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+$")
        return proc, int(line.rsplit(":", 1)[1])

    def test_chain_for_each_netflow_version(self):
        # -templates once: the template (a v9 record of its own) only in each association's first datagram.
        for fmt, summary, ahead, counts in [("v9", "netflow v9 count ", ["-ahead", "1"], ["1"] * 8 + ["2"] * 2),
                                            ("ipfix", "netflow v10 length ", [], None),
                                            ("v5", "netflow v5 count ", [], ["1"] * 10)]:
            with self.subTest(fmt):
                p, q = ports(2)
                collector, cport = self.collector_tool("-ports", "%d,%d" % (p, q), "-count", "10", *ahead)
                daemon = self.start(pool=64, maxsize=9000, forwardingport=cport, connect=False)
                wait_until(lambda: port_taken(p) and port_taken(q), "the daemon to listen")
                exporters = [
                    self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(p), "-bind", "127.0.2.30",
                                   "-streams", "0,1", "-count", "5", "-format", fmt, "-templates", "once"]),
                    self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(q), "-bind", "127.0.2.31",
                                   "-style", "one-to-many", "-streams", "2", "-count", "5", "-format", fmt,
                                   "-templates", "once"])]
                for e in exporters:
                    self.assertEqual(e.wait(10 * SLOW), 0, e.stderr.read())
                out, err = collector.communicate(timeout=15 * SLOW)
                self.assertEqual(collector.returncode, 0, err)
                seen = [LINE.match(line).groups() for line in out.splitlines()]
                self.assertEqual(sorted((a, int(port), int(s)) for a, port, s, _ in seen),
                                 sorted([("127.0.2.30", p, 0)] * 3 + [("127.0.2.30", p, 1)] * 2 +
                                        [("127.0.2.31", q, 2)] * 5))
                self.assertTrue(all(rest.startswith(summary) for _, _, _, rest in seen), seen)
                if counts:
                    self.assertEqual(sorted(rest.split()[3] for _, _, _, rest in seen), counts)
                self.assertExit(daemon, 0)

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_collector_against_a_daemon_played_by_the_test(self):
        # One want per record on top of the first -ahead, and a stream that
        # is not a record stream ends the collector with status 2; a daemon
        # leaving before -count records is status 1. A record too long to
        # hold is read past, kept in -raw and counted, but not relayed.
        sent = [record(b"payload 0"), record(bytes(range(256)) * 4097)]
        for name, tail, status in [("truncated record", record(b"abc")[:20], 2),
                                   ("bad address prefix", b"\x01" + record(b"abc")[1:], 2),
                                   ("daemon leaves early", b"", 1),
                                   ("the longest record held whole", record(b"\xfe" * 65535), 0)]:
            with self.subTest(name):
                raw, target = os.path.join(self.tmpdir(), "raw"), sink()
                self.cleanups.append(target.close)
                collector, cport = self.collector_tool("-ports", "2055,9", "-ahead", "3", "-count", "3", "-quiet",
                                                       "-raw", raw, "-forward", "127.0.0.1:%d" % target.getsockname()[1])
                daemon = socket.create_connection(("127.0.0.1", cport), timeout=5 * SLOW)
                self.cleanups.append(daemon.close)
                expected = struct.pack(">Bi", 1, 2) + struct.pack(">ii", 2055, 9) + b"\x00" * 3
                got = b""
                while len(got) < len(expected) and select.select([daemon], [], [], 5 * SLOW)[0]:
                    got += daemon.recv(len(expected) - len(got))
                self.assertEqual(got, expected)
                for r in sent:
                    daemon.sendall(r)
                    self.assertEqual(daemon.recv(1), b"\x00")
                self.assertEqual(select.select([daemon], [], [], 0.3 * SLOW)[0], [])
                daemon.sendall(tail)
                daemon.close()
                collector.wait(5 * SLOW)
                err = collector.stderr.read()
                self.assertEqual(collector.returncode, status, err)
                self.assertEqual(pathlib.Path(raw).read_bytes(), b"".join(sent) + (tail if status == 0 else b""))
                self.assertEqual(drain(target), [b"payload 0"])   # and 65535 bytes are more than UDP carries
                if status == 0:
                    self.assertRegex(err, r"exit stats records=3 .* sent=1 errors=1 .* oversize=1\n")

    def service(self, *args, activate=False):
        """The collector as a service runs it: no -count, its standard error in a file."""
        port, path = ports(1)[0], os.path.join(self.tmpdir(), "stderr")
        argv = [COLLECTOR_BIN, "-listen", str(port)] + list(args)
        if activate:
            argv = [SOCKET_ACTIVATE, "-l", "127.0.0.1:%d" % port] + argv
        with open(path, "w") as err:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        self.cleanups.append(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        wait_until(lambda: tcp_listening(port), "the collector's port")

        def stderr():
            with open(path) as f:
                return f.read()
        return proc, port, stderr

    def stop(self, proc, stderr):
        """SIGTERM ends the collector at once, with its exit counter line."""
        proc.terminate()
        self.assertEqual(proc.wait(1 * SLOW), 0, stderr())
        self.assertIn("exit stats", stderr())
        return stderr()

    @AS_ROOT
    def test_only_the_daemon_gets_in_and_is_waited_for_again_after_it_dies(self):
        payloads = [b"datagram %d" % i for i in range(3)]
        raw = raw_file(self.tmpdir(), payloads)
        for activate in (False, True):
            with self.subTest(socket_activated=activate):
                if activate and not SOCKET_ACTIVATE:
                    self.skipTest("systemd-socket-activate is not installed")
                (sctp, moved), target, portsfile = ports(2), sink(), os.path.join(self.tmpdir(), "ports")
                self.cleanups.append(target.close)
                with open(portsfile, "w") as f:
                    f.write("# where exporters send\n%d\n" % sctp)
                proc, cport, stderr = self.service("-portsfile", portsfile, "-quiet", "-forward",
                                                   "127.0.0.1:%d" % target.getsockname()[1], activate=activate)
                # One stranger connecting in a loop: each refusal counted, but
                # told in a line a second at most, the first one at once.
                start = time.monotonic()
                self.assertEqual(forge(cport, record(b"forged", stream=0), times=300), "")
                wait_until(lambda: told(stderr()) == 300, "300 refusals told")
                lines = len(REFUSALS.findall(stderr()))
                self.assertLessEqual(lines, 2 + time.monotonic() - start)
                self.assertRegex(stderr(), r"warning: refused a connection from uid 65534, 127\.0\.0\.1 port "
                                           r"\d+: not an allowed user\n")
                for n in (1, 2):
                    daemon = self.start(pool=16, maxsize=65535, forwardingport=cport, connect=False)
                    wait_until(lambda: port_taken(sctp), "the daemon to listen")
                    self.export(sctp, "127.0.2.60", raw)
                    self.assertEqual([target.recv(65535) for _ in payloads], payloads)
                    if n == 1:   # a reload moves this daemon, and the next one starts where it was moved
                        with open(portsfile, "w") as f:
                            f.write(str(moved))
                        proc.send_signal(signal.SIGHUP)
                        wait_until(lambda: port_taken(moved) and not port_taken(sctp), "the move")
                        sctp = moved
                        # A stranger's connection its owner closed waits behind
                        # the daemon: the kernel holds its socket as no one's
                        # (uid 0), which must not pass for root's.
                        gone = int(forge(cport, b"", answer=False))
                        wait_until(lambda: tcp_state(gone, cport) in ("05", "06"), "the stranger's socket closed")
                    daemon.kill()
                    wait_until(lambda: stderr().count("waiting for the daemon to connect again") >= n, "re-accept")
                self.assertEqual(drain(target), [])
                self.assertRegex(self.stop(proc, stderr), r"exit stats records=6 refused=301 exporters=2 evictions=0 target=\S+ sent=6 errors=0")
                self.assertEqual((told(stderr()), stderr().count("daemon connected (uid 0)")), (301, 2))
                self.assertEqual(activate, "using the listening socket passed by systemd" in stderr())

    @emul_only("a command line is the same on either transport")
    def test_from_systemd_only_a_listening_tcp_socket_of_its_own(self):
        def tcp(address, listening=True):
            s = socket.socket()
            s.bind((address, 0))
            if listening:
                s.listen()
            return s
        unix = socket.socket(socket.AF_UNIX)
        unix.bind(os.path.join(self.tmpdir(), "socket"))
        unix.listen()
        # Without -listen; the socket on descriptor 3 and LISTEN_PID of the
        # process that execs the collector, unless another is named.
        for name, sock, pid, fds, status, says in [
            ("loopback", tcp("127.0.0.1"), "$$", 1, None, "using the listening socket passed by systemd"),
            ("all addresses", tcp("0.0.0.0"), "$$", 1, None, "warning: the socket systemd passed listens on "
                                                             "0.0.0.0, not on loopback"),
            ("for another process", tcp("127.0.0.1"), "1", 1, 1, "-listen is required unless systemd passes"),
            ("two sockets", tcp("127.0.0.1"), "$$", 2, 1, "expected one socket from systemd, LISTEN_FDS=2"),
            ("not listening", tcp("127.0.0.1", False), "$$", 1, 1, "the TCP socket systemd passed is not listening"),
            ("unix", unix, "$$", 1, 1, "the descriptor systemd passed is not a TCP socket"),
        ]:
            with self.subTest(name):
                self.cleanups.append(sock.close)
                p = self.run_tool(["sh", "-c", 'export LISTEN_PID=%s LISTEN_FDS=%d; exec "$@"' % (pid, fds), "sh",
                                   COLLECTOR_BIN, "-ports", "1"], pass_fds=(3,),
                                  preexec_fn=lambda fd=sock.fileno(): os.dup2(fd, 3))
                if status is None:
                    ready = select.select([p.stdout], [], [], 5 * SLOW)[0]
                    self.assertEqual(p.stdout.readline() if ready else "", "listening on %s:%d\n" % sock.getsockname())
                    p.terminate()
                out, err = p.communicate(timeout=5 * SLOW)
                self.assertEqual((p.returncode, out), (status or 0, ""), err)
                self.assertIn(says, err)
                self.assertEqual("not on loopback" in err, name == "all addresses")

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_a_daemon_that_floods_and_never_reads_cannot_hold_the_collector(self):
        proc, cport, stderr = self.service("-ports", "2055", "-quiet", "-stats", "300", "-ahead", "1000000")
        daemon = socket.socket()
        daemon.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        daemon.connect(("127.0.0.1", cport))
        self.cleanups.append(daemon.close)

        def flood():
            chunk = record(b"") * 10000
            try:
                while True:
                    daemon.sendall(chunk)
            except OSError:   # the collector has gone
                pass
        threading.Thread(target=flood, daemon=True).start()
        # Until its wants fill the connection: blocked in send, or (never
        # blocking) the same number of want bytes queued on three reads.
        me, seen = daemon.getsockname()[1], []

        def wants_queued():
            with open("/proc/net/tcp") as f:   # sl local rem st tx_queue:rx_queue ...
                rows = [r.split() for r in f.read().splitlines()[1:]]
            return next(int(r[4].split(":")[0], 16) for r in rows
                        if int(r[1].split(":")[1], 16) == cport and int(r[2].split(":")[1], 16) == me)
        wait_until(lambda: in_send(proc.pid) or (seen.append(wants_queued()) or seen[-3:] == [seen[-1]] * 3
                                                 and seen[-1] > 0), "the collector's wants to fill", timeout=30)
        self.stop(proc, stderr)
        self.stop(proc, stderr)

    def metrics_service(self, *args):
        """The collector as a service, with -metrics on a port of ours and a daemon played by the test."""
        mport = ports(1)[0]
        proc, cport, stderr = self.service("-ports", "2055", "-quiet", "-metrics", "127.0.0.1:%d" % mport, *args)
        wait_until(lambda: tcp_listening(mport), "the metrics port")
        self.assertIn("serving metrics on http://127.0.0.1:%d/metrics\n" % mport, stderr())
        return proc, cport, stderr, mport

    def played_daemon(self, cport):
        daemon = socket.create_connection(("127.0.0.1", cport), timeout=10 * SLOW)
        self.cleanups.append(daemon.close)
        return daemon

    @emul_only("the metrics server is TCP whatever the transport")
    def test_metrics_say_what_the_counter_line_says_and_what_the_table_holds_per_exporter(self):
        tap, gone = sink(), sink()
        live, dead = ("127.0.0.1:%d" % s.getsockname()[1] for s in (tap, gone))
        gone.close()
        proc, cport, stderr, mport = self.metrics_service("-forward", live, "-forward", dead, "-max-exporters", "2",
                                                          "-template-refresh", "2,0")
        self.assertEqual([metric(scrape(mport)[1], n) for n in ("daemon_connected", "daemon_sessions_total")], [0, 0])
        for method, path, status in [("GET", "/", 404), ("GET", "/metrics/x", 404), ("POST", "/metrics", 405),
                                     ("PUT", "/", 404), ("HEAD", "/metrics", 200)]:
            self.assertEqual(scrape(mport, path, method)[0], status, (method, path))
        daemon = self.played_daemon(cport)
        # a: a template, then data, which brings it again, 2 data records after the number it should carry;
        # b: a malformed template set; c comes last and takes b's slot, b being the least recently seen.
        daemon.sendall(record(netflow(10, 0, (2, TEMPLATE), (256, flow(0))), source="192.0.2.1") +
                       record(netflow(10, 1, (2, TEMPLATE[:-2])), source="192.0.2.2") +
                       record(netflow(10, 3, (256, flow(1))), source="192.0.2.1") +
                       record(netflow(9, 0, (256, flow(2))), source="192.0.2.3", port=4739))
        wait_until(lambda: metric(scrape(mport)[1], "records_total") == 4, "4 records in the metrics")
        text = scrape(mport)[1]
        a, c = 'exporter="192.0.2.1",port="2055"', 'exporter="192.0.2.3",port="4739"'
        self.assertEqual(re.findall(r"^quorvane_collector_exporter_info\{(.*)\} 1$", text, re.M), [c, a])
        self.assertEqual([metric(text, "exporter_templates", x) for x in (a, c)], [1, 0])
        self.assertEqual([metric(text, n) for n in ("daemon_connected", "exporters", "exporters_limit")], [1, 2, 2])
        held = [metric(text, "exporter_template_bytes", x) for x in (a, c)]   # a's template, and both's numbers
        self.assertEqual(sum(held), metric(text, "template_cache_bytes"))
        self.assertGreater(held[0], len(TEMPLATE) + held[1])
        self.assertEqual([[metric(text, "exporter_" + n, x) for n in ("datagrams_total", "bytes_total", "data_records_total",
                                                                      "last_seen_seconds")] for x in (a, c)],
                         [[2, 124, 2, 1700000000], [1, 48, 0, 1700000000]])
        self.assertEqual([metric(text, "exporter_" + n, x + ',version="%d",domain="7"' % v + s)
                          for n, x, v, s in [("sequence_missing_total", a, 10, ""), ("sequence_missing_total", c, 9, ""),
                                             ("stream_sequence_missing_total", a, 10, ',stream="3"'),
                                             ("sequence_out_of_order_total", a, 10, "")]], [2, 0, 2, 0])
        daemon.close()
        wait_until(lambda: metric(scrape(mport)[1], "daemon_connected") == 0, "the daemon's leaving in the metrics")
        text = scrape(mport)[1]
        self.assertEqual(metric(text, "daemon_sessions_total"), 1)
        # Every figure of the exit counter line, under its metric's name.
        names = {"records": "records_total", "refused": "refused_connections_total", "exporters": "exporters",
                 "evictions": "exporter_evictions_total", "templates": "templates_taken_total",
                 "resent": "template_messages_resent_total", "withdrawn": "templates_withdrawn_total",
                 "malformed": "malformed_messages_total", "overcap": "templates_over_cap_total",
                 "held": "template_cache_bytes", "bytes": "relayed_bytes_total", "datarecords": "data_records_total",
                 "missing": "sequence_missing_total", "disorder": "sequence_out_of_order_total",
                 "untracked": "sequence_untracked_total",
                 "aliases": "exporter_aliases", "lookups": "association_lookups_total",
                 "deferred": "lookup_deferred_records_total", "oversize": "oversize_records_total"}
        line, target, want = re.search(r"exit stats (.*)", self.stop(proc, stderr))[1].split(), None, {}
        for key, value in (word.split("=", 1) for word in line):
            if key == "target":
                target = value
            elif key in names:
                want[names[key], ""] = int(value)
            else:
                want["target_%s_total" % key, 'target="%s"' % target] = int(value)
        self.assertEqual(len(want), 19 + 2 * 3)
        self.assertEqual({k: metric(text, *k) for k in want}, want)
        self.assertEqual([want[k, ""] for k in ("records_total", "exporter_evictions_total", "malformed_messages_total")],
                         [4, 1, 1])
        tap.close()

    @emul_only("the metrics server is TCP whatever the transport")
    def test_scrapers_that_stall_or_crowd_in_cost_the_relay_nothing(self):
        tap, n = sink(), 900
        proc, cport, stderr, mport = self.metrics_service("-forward", "127.0.0.1:%d" % tap.getsockname()[1])
        daemon = self.played_daemon(cport)
        sources = ["10.9.%d.%d" % (i // 200, i % 200 + 1) for i in range(n)]
        for i in range(0, n, 100):   # as many as the sink's buffer takes at a time
            daemon.sendall(b"".join(record(b"hello", source=s) for s in sources[i:i + 100]))
            self.assertEqual([tap.recv(100) for _ in sources[i:i + 100]], [b"hello"] * 100)
        descriptors = lambda: len(os.listdir("/proc/%d/fd" % proc.pid))
        base, cpu = descriptors(), cpu_seconds(proc.pid)

        def relayed_while(held):   # one want each; the scrapers never take more than their slots
            seen = set()
            for i in range(100):
                daemon.sendall(record(b"during %d" % i, source=sources[i]))
                self.assertEqual(tap.recv(100), b"during %d" % i)
                seen.add(descriptors())
            self.assertLessEqual(max(seen), base + held)
        # Six scrapers arrive while the collector is stopped, and it takes the first four at once: they say
        # nothing and fall idle together. The fifth asks and never reads; it and the sixth wait in the
        # backlog, holding no descriptor of the collector's, until the four are dropped.
        proc.send_signal(signal.SIGSTOP)
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        silent = [socket.create_connection(("127.0.0.1", mport)) for _ in range(4)]
        stalled.connect(("127.0.0.1", mport))
        waiting = socket.create_connection(("127.0.0.1", mport), timeout=20 * SLOW)
        for s in silent + [stalled, waiting]:
            self.cleanups.append(s.close)
        for s in (stalled, waiting):
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
        proc.send_signal(signal.SIGCONT)
        wait_until(lambda: descriptors() == base + 4, "the silent scrapers to take every slot")
        relayed_while(4)
        for s in silent:   # dropped after 3 s without a byte
            s.settimeout(20 * SLOW)
            self.assertEqual(s.recv(1), b"")
        got = b"".join(iter(lambda: waiting.recv(65536), b"")).decode()
        self.assertRegex(got, r"^HTTP/1\.[01] 200 OK\r\n")
        self.assertEqual(metric(got, "records_total"), n + 100)
        # The stalled scrape: in part in the kernel, the rest waits in the collector.
        me = stalled.getsockname()[1]
        held = wait_until(lambda: descriptors() == base + 1 and tcp_socket(mport, me), "the stalled scrape")
        self.assertLess(held, len(got) // 2)
        relayed_while(1)
        wait_until(lambda: descriptors() == base, "the stalled scraper to be dropped", timeout=20)
        self.assertLess(cpu_seconds(proc.pid) - cpu, 1.0)   # slept through the stall, never spinning
        tap.close()

    @emul_only("the metrics server is TCP whatever the transport")
    def test_prometheus_scrapes_what_was_relayed_and_promtool_takes_the_exposition(self):
        if not GATED:
            self.skipTest("runs when CI is set or QUORVANE_PACKAGE_CHECK=1: it installs the prometheus package")
        subprocess.run([INSTALL_DEPS, "prometheus"], check=True, timeout=900)
        tap, pport = sink(), ports(1)[0]
        target = "127.0.0.1:%d" % tap.getsockname()[1]
        proc, cport, stderr, mport = self.metrics_service("-forward", target)
        datagrams = [netflow(10, i, *([(2, TEMPLATE)] if i < 2 else []), (256, flow(i))) for i in range(7)]
        self.played_daemon(cport).sendall(b"".join(record(d, source="192.0.2.%d" % (i % 2 + 1))
                                                   for i, d in enumerate(datagrams)))
        wait_until(lambda: metric(scrape(mport)[1], "records_total") == 7, "7 records in the metrics")
        lint = subprocess.run(["promtool", "check", "metrics"], input=scrape(mport)[1], capture_output=True, text=True,
                              timeout=30 * SLOW)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
        work = self.tmpdir()
        with open(os.path.join(work, "prometheus.yml"), "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: quorvane-collector\n"
                    "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % mport)
        with open(os.path.join(work, "log"), "w") as log:
            prom = subprocess.Popen(["prometheus", "--config.file=" + os.path.join(work, "prometheus.yml"),
                                     "--storage.tsdb.path=" + os.path.join(work, "data"),
                                     "--web.listen-address=127.0.0.1:%d" % pport], stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log)
        self.cleanups.append(lambda: prom.poll() is None and (prom.terminate(), prom.wait(30)))

        def query(expr):
            url = "http://127.0.0.1:%d/api/v1/query?%s" % (pport, urllib.parse.urlencode({"query": expr}))
            try:
                with urllib.request.urlopen(url, timeout=10 * SLOW) as r:
                    return [int(x["value"][1]) for x in json.load(r)["data"]["result"]]
            except OSError:   # not listening yet
                return None
        for expr, value in [("quorvane_collector_records_total", 7),
                            ('quorvane_collector_target_sent_total{target="%s"}' % target, 7),
                            ('quorvane_collector_exporter_templates{exporter="192.0.2.1",port="2055"}', 1),
                            ("quorvane_collector_exporters", 2)]:
            wait_until(lambda: query(expr) == [value], "Prometheus to have %s at %d" % (expr, value), timeout=60)
        prom.terminate()
        self.assertEqual(prom.wait(30 * SLOW), 0)
        tap.close()

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_reloads_while_the_daemon_does_not_read_merge_into_the_latest_set(self):
        portsfile = os.path.join(self.tmpdir(), "ports")

        def write_ports(ports_):
            with open(portsfile + ".new", "w") as f:
                f.write(" ".join(map(str, ports_)))
            os.replace(portsfile + ".new", portsfile)
        first = list(range(1, 60001))   # an update far longer than the connection holds
        write_ports(first)
        proc, cport, stderr = self.service("-portsfile", portsfile, "-quiet", "-ahead", "3", "-stats", "1")
        daemon = socket.socket()
        daemon.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        daemon.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 1000)   # keeps the collector's send buffer small
        daemon.connect(("127.0.0.1", cport))
        self.cleanups.append(daemon.close)
        # Records as if answering wants the collector could not send yet.
        daemon.sendall(record(b"x") * 10)
        wait_until(lambda: "stats records=10 " in stderr(), "the records")
        for i in range(1, 101):
            write_ports([i, 70000 + i])
            proc.send_signal(signal.SIGHUP)
        wait_until(lambda: re.search(r"sent port update: 100,70100$", stderr(), re.M), "the last reload")
        # Then the daemon reads: the update it had begun, whole, and the
        # latest set behind it; at most -ahead wants.
        got, updates, wants = b"", [], 0
        deadline = time.monotonic() + 10 * SLOW
        while not (updates[-1:] == [[100, 70100]] and wants >= 3):
            self.assertTrue(select.select([daemon], [], [], deadline - time.monotonic())[0], (len(got), updates[-1:]))
            got += daemon.recv(1 << 20)
            while got[:1] == b"\x00" or got[:1] == b"\x01" and len(got) >= 5 + 4 * struct.unpack(">i", got[1:5])[0]:
                size = 1 if got[0] == 0 else 5 + 4 * struct.unpack(">i", got[1:5])[0]
                wants += got[0] == 0
                updates += [list(struct.unpack(">%di" % (size // 4 - 1), got[5:size]))] if got[0] else []
                got = got[size:]
            self.assertIn(got[:1], (b"", b"\x01"))
        self.assertEqual(select.select([daemon], [], [], 0.3 * SLOW)[0], [])
        self.assertEqual((got, wants, updates), (b"", 3, [first, [100, 70100]]))

    @emul_only("files are the same on either transport")
    @AS_ROOT
    def test_raw_file_is_private_and_never_someone_elses(self):
        d = self.tmpdir()
        theirs, link, fifo, mine, hard = (os.path.join(d, n) for n in ("theirs", "link", "fifo", "mine", "hard"))
        open(theirs, "w").close()
        os.chown(theirs, 65534, 65534)
        os.symlink(os.path.join(d, "elsewhere"), link)
        os.mkfifo(fifo)
        with open(mine, "w") as f:
            f.write("kept")
        os.link(mine, hard)
        for path, refused in [(os.path.join(d, "new"), False), (theirs, True), (link, True), (fifo, True),
                              (hard, True)]:
            with self.subTest(os.path.basename(path)):
                p = self.run_tool([COLLECTOR_BIN, "-listen", "0", "-ports", "1", "-raw", path],
                                  preexec_fn=lambda: os.umask(0o022))
                if refused:
                    self.assertEqual(p.wait(5 * SLOW), 1)
                    self.assertIn(path, p.stderr.read())
                else:
                    self.assertRegex(p.stdout.readline(), "^listening on")
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        self.assertFalse(os.path.exists(os.path.join(d, "elsewhere")))
        self.assertEqual(pathlib.Path(mine).read_text(), "kept")

    def relay(self, count, *args, portsfile=None, port=None, **kw):
        """The collector relaying -count records, and a daemon listening."""
        port = port or ports(1)[0]
        where = ["-portsfile", portsfile] if portsfile else ["-ports", str(port)]
        collector, cport = self.collector_tool(*where, "-quiet", "-count", str(count), *args, **kw)
        self.start(pool=256, maxsize=65535, bufsize=1 << 20, forwardingport=cport, connect=False)
        wait_until(lambda: port_taken(port), "the daemon to listen")
        if "-spoof" in args:   # the raw socket is open, and every capability is gone before a record is read
            with open("/proc/%d/status" % collector.pid) as f:
                caps = dict(line.split(":\t") for line in f.read().splitlines() if line.startswith("Cap"))
            self.assertEqual([int(caps[k], 16) for k in ("CapInh", "CapPrm", "CapEff", "CapAmb")], [0] * 4)
        return port, collector

    def finish(self, collector):
        out, err = collector.communicate(timeout=15 * SLOW)
        self.assertEqual(collector.returncode, 0, err)
        return err

    def nfcapd(self, port=None):
        port, files = port or ports(1)[0], self.tmpdir()
        proc = self.run_tool(["nfcapd", "-w", files, "-p", str(port)])
        wait_until(lambda: udp_queue(port) is not None, "nfcapd to bind")

        def flows(failures=False):
            """Its flows, and with failures the sequence failures it counted."""
            wait_until(lambda: udp_queue(port) == 0, "nfcapd to read every datagram")
            proc.terminate()
            proc.communicate(timeout=10 * SLOW)
            nfdump = lambda *a: subprocess.run(["nfdump", "-R", files, *a], capture_output=True, text=True,
                                               timeout=10 * SLOW, check=True).stdout
            out = sorted(" ".join(line.split()) for line in nfdump("-q", "-N", "-o", NFDUMP_FIELDS).splitlines()
                         if line.strip())
            return (out, int(re.search(r"^Sequence failures: (\d+)$", nfdump("-I"), re.M)[1])) if failures else out
        return port, flows

    def nfacctd(self, port):
        work = self.tmpdir()
        conf, out = os.path.join(work, "nfacctd.conf"), os.path.join(work, "flows.csv")
        log = os.path.join(work, "log")
        with open(conf, "w") as f:
            f.write("daemonize: false\nnfacctd_ip: 127.0.0.1\nnfacctd_port: %d\nplugins: print\nprint_output: csv\n"
                    "print_refresh_time: 1\nprint_output_file: %s\nprint_output_file_append: true\n"
                    "aggregate: peer_src_ip,src_host,src_port,dst_host,dst_port,proto\n"
                    "nfacctd_disable_checks: false\nlogfile: %s\n" % (port, out, log))   # sequence checks, logged
        with open(os.path.join(work, "out"), "w") as f:
            proc = subprocess.Popen(["nfacctd", "-f", conf], stdin=subprocess.DEVNULL, stdout=f, stderr=f)
        self.cleanups.append(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        # What arrives before its plugin has purged its cache twice may be lost.
        wait_until(lambda: os.path.exists(log) and pathlib.Path(log).read_text().count("Purging cache - END") > 1,
                   "nfacctd to be ready")

        def flows(n, failures=False):
            """n flows, and with failures the sequence failures it logged for exporters other than the filler."""
            def rows():
                with open(out) if os.path.exists(out) else open(os.devnull) as f:
                    # An IPFIX message without data records shows as a row without a flow.
                    return sorted(r.strip() for r in f if r[0].isdigit() and ",," not in r and r[:10] != "127.0.0.9,")

            # Records wait in its core until a buffer to the plugin fills: a
            # filler exporter pushes them through.
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as filler:
                filler.bind(("127.0.0.9", 0))
                filled = netflow(9, 0, (0, TEMPLATE), (256, flow(0)), records=2)
                wait_until(lambda: filler.sendto(filled, ("127.0.0.1", port)) and len(rows()) >= n,
                           "nfacctd to write %d flows" % n)
            proc.kill()
            failed = len(re.findall(r"expecting flow .* agent=(?!127\.0\.0\.9:)", pathlib.Path(log).read_text()))
            return (rows(), failed) if failures else rows()
        return flows

    def softflowd(self, version, port, *args):
        pcap = os.path.join(self.tmpdir(), "flows.pcap")
        write_pcap(pcap)
        sf = self.run_tool(["softflowd", "-r", pcap, "-v", str(version), "-d", "-c", "none", "-p", pcap + ".pid",
                            "-n", "127.0.0.1:%d" % port] + list(args))
        err = sf.communicate(timeout=20 * SLOW)[1]
        self.assertEqual(sf.returncode, 0, err)

    def export(self, port, source, raw):
        e = self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(port), "-bind", source, "-file", raw])
        err = e.communicate(timeout=10 * SLOW)[1]
        self.assertEqual(e.returncode, 0, err)

    def softflowd_datagrams(self, version):
        with sink() as tap:
            self.softflowd(version, tap.getsockname()[1])
            return drain(tap)

    @kernel_only("softflowd exports over real SCTP; softflowd and nfcapd are in the VM")
    def test_nfcapd_gets_from_the_relay_the_flows_softflowd_sends_it_over_udp(self):
        for version in (9, 10):
            with self.subTest(version=version):
                port, flows = self.nfcapd()
                self.softflowd(version, port)
                want, datagrams = flows(), self.softflowd_datagrams(version)
                self.assertEqual((len(want), len(datagrams) > 1), (60, True), want)
                port, flows = self.nfcapd()
                sctp, collector = self.relay(len(datagrams), "-forward", "127.0.0.1:%d" % port)
                self.softflowd(version, sctp, "-P", "sctp")
                self.assertIn("sent=%d errors=0" % len(datagrams), self.finish(collector))
                self.assertEqual(flows(), want)

    @kernel_only("nfcapd is in the VM")
    def test_spoof_keeps_two_exporters_apart_in_nfcapd(self):
        datagrams = self.softflowd_datagrams(9)
        raw = raw_file(self.tmpdir(), datagrams)
        port, flows = self.nfcapd()
        sctp, collector = self.relay(2 * len(datagrams), "-spoof", "-forward", "127.0.0.1:%d" % port)
        for source in ("127.0.0.2", "127.0.0.3"):
            self.export(sctp, source, raw)
        self.finish(collector)
        got = flows()
        self.assertEqual((sorted({line.split()[0] for line in got}), len(got)), (["127.0.0.2", "127.0.0.3"], 120))

    def test_every_payload_to_every_target_one_source_per_exporter_and_a_target_that_goes_away(self):
        payloads = [b"a", bytes(range(256)) * 4, b"\xff" * 1500, b"z" * 9000]
        raw = raw_file(self.tmpdir(), payloads)
        gone, stays = sink(), sink(socket.AF_INET6, "::1")
        sctp, collector = self.relay(8, "-forward", "127.0.0.1:%d" % gone.getsockname()[1],
                                     "-forward", "[::1]:%d" % stays.getsockname()[1])
        got = []
        for source in ("127.0.2.40", "127.0.2.41"):
            self.export(sctp, source, raw)
            if not got:
                self.assertEqual([gone.recv(65535) for _ in payloads], payloads)
                gone.close()
            got += [stays.recvfrom(65535) for _ in payloads]
        self.assertEqual([d for d, _ in got], payloads * 2)
        self.assertEqual([len({a[1] for _, a in got[i:i + 4]}) for i in (0, 4)], [1, 1])
        self.assertNotEqual(got[0][1], got[4][1])
        err = self.finish(collector)
        self.assertIn("relaying from this host's own address", err)   # what is lost without -spoof
        m = re.search(r"exit stats records=8 refused=0 exporters=2 evictions=0 target=\S+ sent=(\d+) errors=(\d+) "
                      r"shared=0 target=\[::1\]:\d+ sent=8 errors=0 shared=0 templates=0 ", err, re.M)
        self.assertTrue(m and int(m[1]) + int(m[2]) == 8 and int(m[2]) >= 1, m)
        # Where sock_diag knows no SCTP (the emulation here), said once, not per exporter.
        self.assertLessEqual(err.count("sock_diag answers nothing about SCTP"), 1, err)
        stays.close()

    def test_a_flood_of_exporters_under_a_low_descriptor_limit_stops_neither_the_relay_nor_a_reload(self):
        # 64 descriptors: 31 exporter sockets beside the reserve and the shared
        # socket, whatever -max-exporters asks. A steady exporter sends ahead
        # of every 10 newcomers, so it is never the least recently seen and
        # keeps its socket throughout.
        for extra in ([], ["-max-exporters", "100000"]):
            with self.subTest(extra=extra):
                tap, portsfile, (p, q) = sink(), os.path.join(self.tmpdir(), "ports"), ports(2)
                with open(portsfile, "w") as f:
                    f.write("# NetFlow\n%d\n" % p)
                target = "127.0.0.1:%d" % tap.getsockname()[1]
                _, collector = self.relay(115, "-forward", target, *extra, portsfile=portsfile, port=p,
                                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)))
                steady, got, sources = self.exporter("127.0.2.49"), [], set()
                for i in range(100):
                    if i % 10 == 0:
                        steady.send(p, b"steady %d" % i)
                    self.exporter("127.1.%d.%d" % (i // 50, i % 50 + 1)).send(p, b"flood %d" % i)
                    if i % 10 == 9:
                        for d, a in (tap.recvfrom(100) for _ in range(11)):
                            got.append(d)
                            if d.startswith(b"steady"):
                                sources.add(a)
                self.assertEqual(sorted(got), sorted([b"flood %d" % i for i in range(100)] +
                                                     [b"steady %d" % i for i in range(0, 100, 10)]))
                self.assertEqual(len(sources), 1)
                with open(portsfile, "a") as f:
                    f.write("%d  # IPFIX\n" % q)
                collector.send_signal(signal.SIGHUP)
                wait_until(lambda: port_taken(q), "the reload to reach the daemon")
                known = self.exporter("127.0.2.50")
                for i in range(5):
                    known.send(q, b"known %d" % i)
                got = [tap.recvfrom(100) for _ in range(5)]
                self.assertEqual(([d for d, _ in got], len({a for _, a in got})),
                                 ([b"known %d" % i for i in range(5)], 1))
                self.assertIn("exit stats records=115 refused=0 exporters=31 evictions=71 target=%s sent=115 errors=0 "
                              "shared=0" % target, self.finish(collector))
                tap.close()

    def namespace(self, ns, steps):
        """A network namespace of the test's own, set up by steps (ip's arguments; "-n" first runs them inside);
        returns the command prefix that enters it and the step runner. Entered with nsenter, which only switches
        the network: `ip -n` and `ip netns exec` also remount /sys, absent in a chroot."""
        inside = ["nsenter", "--net=/run/netns/" + ns]
        run = lambda *args: subprocess.run((inside + ["ip"] + list(args[1:])) if args[0] == "-n" else ["ip"] + list(args),
                                           capture_output=True, text=True, timeout=10 * SLOW)
        made = run("netns", "add", ns) if shutil.which("ip") else None
        if not made or made.returncode != 0:
            why = (made.stderr.strip().splitlines() or [""])[0] if made else "no ip command"
            self.skipTest("no network namespace of our own here: " + why)
        self.cleanups.append(lambda: run("netns", "del", ns))

        def ip(*args):
            done = run(*args)
            self.assertEqual(done.returncode, 0, (args, done.stderr))
            return done
        for args in steps:
            ip(*args)
        return inside, ip

    @contextlib.contextmanager
    def spoof_link(self, row):
        """A veth link at MTU 1500 into a network namespace of our own, the receiver there on net.2; this side
        has net.1 and net.5, an exporter's address. Yields link.net, .receiver, .ns and .ip(ARGS), which runs
        ip, in the namespace when ARGS start with -n."""
        ns, net = "qv%d%d" % (os.getpid(), row), "198.18.%d." % (os.getpid() % 250)
        inside, ip = self.namespace(ns, [
            ("link", "add", ns + "a", "type", "veth", "peer", "name", ns + "b", "netns", ns),
            ("addr", "add", net + "1/30", "dev", ns + "a"), ("addr", "add", net + "5/32", "dev", ns + "a"),
            ("link", "set", ns + "a", "up", "mtu", "1500"), ("-n", "link", "set", ns + "b", "up"),
            ("-n", "addr", "add", net + "2/30", "dev", ns + "b"), ("-n", "route", "add", "default", "via", net + "1")])
        receiver = self.run_tool(inside + ["python3", "-c", RECEIVER, net + "2", str(10 * SLOW)])
        try:
            self.assertEqual(line_of(receiver), "ready\n")
            yield types.SimpleNamespace(net=net, ns=ns, ip=ip, receiver=receiver)
        finally:
            # The namespace, and with it the link, lasts while a process is in it;
            # the next row builds the same addresses again.
            if receiver.poll() is None:
                receiver.kill()
                receiver.wait()
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=10 * SLOW)

    def marked(self, link, mark):
        """Waits until the receiver has had the datagram mark, relayed after everything sent before it."""
        self.assertEqual(line_of(link.receiver), mark.decode() + "\n")

    def spoof_played(self, link, count, *args):
        """The collector spoofing toward the receiver, its daemon played here: records from 192.0.2.7 port 2055."""
        collector, cport = self.collector_tool("-ports", "2055", "-quiet", "-count", str(count), "-spoof",
                                               "-forward", link.net + "2:9995", *args)
        daemon = socket.create_connection(("127.0.0.1", cport), timeout=10 * SLOW)
        self.cleanups.append(daemon.close)
        return collector, daemon

    def spoof_whole(self, link):
        sctp, collector = self.relay(3, "-spoof", "-forward", link.net + "2:9995")
        exporter = self.exporter(link.net + "5", link.net + "1")
        payloads = [bytes(range(256)) * (n // 256) + bytes(n % 256) for n in (4000, 65000)] + [b"mark end"]
        for payload in payloads:
            exporter.send(sctp, payload)
        self.assertIn("sent=3 errors=0", self.finish(collector))
        return arrivals(payloads, link.net + "5", sctp)

    def spoof_mtu_drop(self, link):
        # After the drop, which the collector learns of from the kernel's
        # refusal: a datagram fragmented at 1500 before, one that went whole
        # under 1500 and needs fragments now, and one of 65000 bytes.
        payloads = [b"\x01" * 4000, b"mark 1", b"\x02" * 4000, b"\x03" * 1400, b"\x04" * 65000, b"mark end"]
        collector, daemon = self.spoof_played(link, len(payloads))
        daemon.sendall(record(payloads[0]) + record(payloads[1]))
        self.marked(link, b"mark 1")
        self.assertEqual(link.ip("link", "set", link.ns + "a", "mtu", "1280").returncode, 0)
        daemon.sendall(b"".join(record(p) for p in payloads[2:]))
        self.assertIn("sent=6 errors=0", self.finish(collector))
        return arrivals(payloads, "192.0.2.7", 2055)

    def spoof_below_the_floor(self, link):
        # The link takes less than the 576 bytes every path does: the kernel
        # refuses the first fragment, and none of the others may follow it.
        self.assertEqual(link.ip("link", "set", link.ns + "a", "mtu", "552").returncode, 0)
        collector, daemon = self.spoof_played(link, 3)
        daemon.sendall(record(b"\x05" * 4000) + record(b"mark 1"))
        self.marked(link, b"mark 1")
        with open("/proc/%d/net/snmp" % link.receiver.pid) as f:
            counters = [line.split() for line in f if line.startswith("Ip:")]
        self.assertEqual(dict(zip(*counters))["ReasmReqds"], "0")
        daemon.sendall(record(b"mark end"))
        self.assertIn("sent=2 errors=1", self.finish(collector))
        return arrivals([b"mark 1", b"mark end"], "192.0.2.7", 2055)

    def spoof_wrap(self, link):
        # Datagram a loses its first two fragments on the way in, its last
        # waits; b, under a's identification once it has wrapped, could
        # complete it with its own first two.
        a, b, rest, sent = b"a" * 3000, b"b" * 3000, WRAP - 1, []
        collector, daemon = self.spoof_played(link, WRAP + 3)
        self.assertEqual(link.ip("-n", "link", "set", link.ns + "b", "mtu", "1000").returncode, 0)
        daemon.sendall(record(a) + record(b"mark lost"))
        self.marked(link, b"mark lost")
        self.assertEqual(link.ip("-n", "link", "set", link.ns + "b", "mtu", "1500").returncode, 0)
        # In steps the raw socket's send buffer holds whole (256 small
        # datagrams at most) even where the receiving side drains it late, as
        # a relay never waits for room and would count the rest as errors.
        while rest:
            step = [b""] * (min(rest, 128) - 1) + [b"mark %d" % rest]
            daemon.sendall(b"".join(record(d) for d in step))
            self.marked(link, step[-1])
            sent, rest = sent + step, rest - len(step)
        daemon.sendall(record(b) + record(b"mark end"))
        self.assertIn("sent=%d errors=0" % (WRAP + 3), self.finish(collector))
        return arrivals([b"mark lost"] + sent + [b"mark end"], "192.0.2.7", 2055)

    def spoof_refused_resends(self, link):
        # The link takes less than the 576 bytes every path does, and the
        # template's datagram and each resend of it are longer: its record
        # is a send error, the resends count neither as sent nor as errors,
        # and their v9 numbers are lost with them.
        self.assertEqual(link.ip("link", "set", link.ns + "a", "mtu", "552").returncode, 0)
        datagrams = [netflow(9, 0, (0, template(256, [(1, 4)] * 150)))]
        datagrams += [netflow(9, i, (256, flow(i))) for i in range(1, 11)] + [b"mark end"]
        collector, daemon = self.spoof_played(link, len(datagrams), "-template-refresh", "1,0")
        daemon.sendall(b"".join(record(d) for d in datagrams))
        self.assertRegex(self.finish(collector), r"records=12 refused=0 target=\S+ sent=11 errors=1 shared=0 "
                                                 r"templates=1 resent=0 ")
        return arrivals([numbered(d, 2 * i) for i, d in enumerate(datagrams[1:-1], 1)] + datagrams[-1:], "192.0.2.7",
                        2055)

    def test_spoof_delivers_only_whole_datagrams_of_the_exporter_whatever_the_link_does(self):
        # Each row returns the receiver's closing lines it expects.
        for row, (name, run) in enumerate([("4000 and 65000 bytes over 1500", self.spoof_whole),
                                           ("the path MTU drops to 1280 between records", self.spoof_mtu_drop),
                                           ("a link below the 576-byte floor", self.spoof_below_the_floor),
                                           ("a lost fragment, then the identification wraps", self.spoof_wrap),
                                           ("template resends the link refuses", self.spoof_refused_resends)]):
            with self.subTest(name), self.spoof_link(row) as link:
                want = run(link)
                out = link.receiver.communicate(timeout=10 * SLOW)[0].splitlines()
                self.assertEqual(sorted(line for line in out if not line.startswith("mark ")), want)

    @kernel_only("multi-homing and path failover are real SCTP's; nfcapd is in the VM")
    def test_spoof_shows_a_multihomed_exporter_as_one_router_across_a_path_failover(self):
        # The exporter sits behind two links, each a path of its association,
        # which was set up over the first and carried its only template. The
        # first link is cut mid-run and later restored; timers short in the
        # exporter's namespace move the association over and back in a second.
        ns, net = "qm%d" % os.getpid(), "198.18.%d." % (os.getpid() % 250)
        links = [(ns + "p", net + "9", net + "10"), (ns + "s", net + "13", net + "14")]   # device, host, exporter
        inside, ip = self.namespace(ns, [step for dev, host, far in links for step in [
            ("link", "add", dev, "type", "veth", "peer", "name", dev + "x", "netns", ns),
            ("addr", "add", host + "/30", "dev", dev), ("link", "set", dev, "up"),
            ("-n", "addr", "add", far + "/30", "dev", dev + "x"), ("-n", "link", "set", dev + "x", "up")]])
        for name, ms in [("rto_initial", 300), ("rto_min", 100), ("rto_max", 500), ("hb_interval", 200)]:
            subprocess.run(inside + ["sh", "-c", "echo %d >/proc/sys/net/sctp/%s" % (ms, name)], check=True,
                           timeout=10 * SLOW)
        port, flows = self.nfcapd()
        sctp = ports(1)[0]
        collector, cport = self.collector_tool("-ports", str(sctp), "-spoof", "-forward", "127.0.0.1:%d" % port)
        self.start(pool=256, maxsize=65535, bufsize=1 << 20, forwardingport=cport, connect=False)
        wait_until(lambda: port_taken(sctp), "the daemon to listen")
        exporter = self.run_tool(inside + [EXPORTER_BIN, "-host", links[0][1], "-port", str(sctp), "-bind",
                                           ",".join(far for _, _, far in links), "-count", "1000000", "-rate", "50",
                                           "-templates", "once", "-quiet"])
        senders, rest = [], [b""]

        def records(n, sender=None):
            """Reads the collector's lines until n more come (from sender)."""
            start, fd = len(senders), collector.stdout.fileno()

            def read():
                if select.select([fd], [], [], 0)[0]:
                    *lines, rest[0] = (rest[0] + os.read(fd, 65536)).split(b"\n")
                    senders.extend(LINE.match(line.decode()).group(1) for line in lines)
                return sum(sender in (None, s) for s in senders[start:]) >= n
            wait_until(read, "%d records from %s" % (n, sender or "anywhere"), timeout=30)
        (primary, second), cut = [far for _, _, far in links], ("link", "set", links[0][0])
        records(20, primary)
        ip(*cut, "down")
        records(20, second)
        ip(*cut, "up")
        records(20, primary)
        exporter.send_signal(signal.SIGTERM)
        out, err = exporter.communicate(timeout=20 * SLOW)
        self.assertEqual(exporter.returncode, 0, err)
        sent = int(re.match(r"sent (\d+) datagrams", out)[1])
        records(sent - len(senders))
        collector.terminate()
        err = collector.communicate(timeout=10 * SLOW)[1]
        self.assertEqual(collector.returncode, 0, err)
        got = flows()
        self.assertEqual((sorted({line.split()[0] for line in got}), len(got)), ([primary], sent))
        self.assertRegex(err, r"exit stats records=%d .* sent=%d errors=0 .* aliases=1 " % (sent, sent))

    @kernel_only("associations and their peer addresses are real SCTP's")
    def test_an_address_with_an_association_of_its_own_is_nobodys_alias(self):
        # One exporter lists an address it never sends from, from which another
        # exporter sets up an association: only the address an association was
        # set up from makes aliases, so each keeps a source of its own.
        ns, net = "qa%d" % os.getpid(), "198.18.%d." % (os.getpid() % 250)
        lister, owner = net + "18", net + "21"
        inside, _ = self.namespace(ns, [
            ("link", "add", ns + "a", "type", "veth", "peer", "name", ns + "b", "netns", ns),
            ("addr", "add", net + "17/30", "dev", ns + "a"), ("link", "set", ns + "a", "up"),
            ("route", "add", owner, "dev", ns + "a"), ("-n", "link", "set", ns + "b", "up"),
            ("-n", "addr", "add", lister + "/30", "dev", ns + "b"), ("-n", "addr", "add", owner + "/32", "dev", ns + "b")])
        tap, sctp = sink(), ports(1)[0]
        collector, cport = self.collector_tool("-ports", str(sctp), "-quiet", "-forward",
                                               "127.0.0.1:%d" % tap.getsockname()[1])
        self.start(pool=256, maxsize=65535, bufsize=1 << 20, forwardingport=cport, connect=False)
        wait_until(lambda: port_taken(sctp), "the daemon to listen")
        seen = []

        def exporter(bind, payload):   # one datagram, again and again
            return self.run_tool(inside + [EXPORTER_BIN, "-host", net + "17", "-port", str(sctp), "-bind", bind, "-file",
                                           raw_file(self.tmpdir(), [payload]), "-count", "1000000", "-rate", "20", "-quiet"])

        def receive(payload, n):
            while sum(d == payload for d, _ in seen) < n:
                seen.append(tap.recvfrom(65535))
        first = exporter(lister + "," + owner, b"lister")
        receive(b"lister", 1)
        second = exporter(owner, b"owner")
        receive(b"owner", 5)
        for e in (first, second):
            e.send_signal(signal.SIGTERM)
            self.assertEqual(e.wait(10 * SLOW), 0, e.stderr.read())
        collector.terminate()
        err = collector.communicate(timeout=10 * SLOW)[1]
        self.assertEqual(collector.returncode, 0, err)
        self.assertEqual([len({a for d, a in seen if d == who}) for who in (b"lister", b"owner")] +
                         [len({a for _, a in seen})], [1, 1, 2])
        self.assertIn(" aliases=0 ", err)
        tap.close()

    @unittest.skipUnless(shutil.which("nfcapd"), "nfcapd (nfdump) absent here; the VM has it")
    def test_udp_collectors_started_after_the_templates_decode_from_the_first_resend_on(self):
        # Datagram 0 carries the only template, and only sinks see it; the
        # relay sends it again ahead of datagrams 20 and 40. IPFIX then
        # withdraws it, and it is sent no more.
        acct = shutil.which("nfacctd")
        if not acct:
            print("nfacctd (pmacct) absent: nfcapd alone", file=sys.stderr)
        for version, tset, args, source in [(10, 2, [], "127.0.0.1"), (9, 0, ["-spoof"], "127.0.0.2")]:
            with self.subTest(version=version):
                taps = [sink() for _ in range(2 if acct else 1)]
                targets = [t.getsockname()[1] for t in taps]
                forward = sum((["-forward", "127.0.0.1:%d" % t] for t in targets), [])
                sctp, collector = self.relay(66 if version == 10 else 45, *forward, *args)
                exporter = self.exporter("127.0.0.2")
                exporter.send(sctp, netflow(version, 0, (tset, TEMPLATE), (256, flow(0)), records=2))
                for t in taps:
                    self.assertEqual(t.recv(65535)[:2], bytes([0, version]))
                    t.close()
                _, flows = self.nfcapd(targets[0])
                acct_flows = self.nfacctd(targets[1]) if acct else None
                for i in range(1, 45):
                    exporter.send(sctp, netflow(version, i, (256, flow(i))))
                want = [(source, "10.0.1.%d" % i, 1024 + i, "192.0.2.%d" % i, i + 1, 64 * (i + 1)) for i in range(20, 45)]
                if acct:   # before the withdrawal, which leaves nfacctd losing records
                    self.assertEqual(acct_flows(len(want)), sorted("%s,%s,%s,%d,53,udp,%d,%d" % (
                        w[0], w[1], w[3], w[2], w[4], w[5]) for w in want))
                if version == 10:
                    exporter.send(sctp, netflow(10, 45, (2, struct.pack(">HH", 256, 0))))
                    for i in range(46, 66):
                        exporter.send(sctp, netflow(10, i, (256, flow(i))))
                self.assertIn("templates=1 resent=%d withdrawn=%d malformed=0" % (2 * len(taps), version == 10),
                              self.finish(collector))
                self.assertEqual(flows(), sorted("%s %s %d %s 53 17 %d %d" % w for w in want))

    def test_malformed_template_sets_pass_untouched_and_are_never_cached(self):
        # Template 257 is in every malformed message, template 256 in the good
        # one; datagram 20 after it brings exactly 256 again, with its header.
        other = struct.pack(">HH", 257, len(FIELDS)) + TEMPLATE[4:]
        beyond = bytearray(netflow(10, 1, (2, other)))
        beyond[18:20] = struct.pack(">H", 8 + len(other))
        bad = [netflow(10, 1, (2, other[:-2])),                                       # a field cut short
               netflow(10, 1, (2, other + struct.pack(">HHHH", 200, 1, 8, 4))),       # an id below 256 after it
               bytes(beyond),                                                         # set beyond the message
               netflow(10, 1, (2, other)) + bytes(4),                                 # message length short
               netflow(9, 1, (0, other[:-4]))]                                        # v9 fields beyond the flowset
        datagrams = [netflow(10, 0, (2, TEMPLATE))] + bad + [netflow(10, i, (256, flow(i))) for i in range(1, 16)]
        tap = sink()
        sctp, collector = self.relay(len(datagrams), "-forward", "127.0.0.1:%d" % tap.getsockname()[1])
        exporter = self.exporter("127.0.0.2")
        for d in datagrams:
            exporter.send(sctp, d)
        got = [tap.recvfrom(65535) for _ in range(len(datagrams) + 1)]
        self.assertEqual([d for d, _ in got], datagrams[:20] + [netflow(10, 15, (2, TEMPLATE))] + datagrams[20:])
        self.assertEqual(len({a for _, a in got}), 1)
        self.assertIn("templates=1 resent=1 withdrawn=0 malformed=5 overcap=0", self.finish(collector))
        tap.close()

    def relay_played(self, items, *args):
        """The collector relaying to a sink what the test, as its daemon, hands it: every datagram of items, on
        stream 3 or as (stream, datagram) (a number there lets that many seconds pass). Returns, per datagram,
        what reached the sink ahead of it, then what reached it up to it, and the exit counter line."""
        tap = sink()
        self.cleanups.append(tap.close)
        sent = [i for i in items if not isinstance(i, (int, float))]
        collector, cport = self.collector_tool("-ports", "1", "-quiet", "-count", str(len(sent)),
                                               "-forward", "127.0.0.1:%d" % tap.getsockname()[1], *args)
        daemon = socket.create_connection(("127.0.0.1", cport), timeout=5 * SLOW)
        self.cleanups.append(daemon.close)
        ahead, upto = [], []
        for item in items:
            if isinstance(item, (int, float)):
                time.sleep(item)   # the clock is what is tested here
                continue
            stream, item = item if isinstance(item, tuple) else (3, item)
            daemon.sendall(record(item, stream))
            got = [tap.recv(65535)]
            while numbered(got[-1]) != numbered(item) and len(got) < 100:
                got.append(tap.recv(65535))
            self.assertEqual(numbered(got[-1]), numbered(item), "the datagram itself after %d others" % len(got))
            ahead.append(got[:-1])
            upto.append(got)
        return ahead, upto, self.finish(collector)

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_the_templates_kept_are_the_ones_resent(self):
        # -template-refresh 2,0 resends ahead of the third datagram, 0,1 after a second.
        other = template(256, FIELDS[::-1])
        withdraw_all = struct.pack(">HH", 2, 0)
        for name, refresh, items, resent, counters in [
            ("withdraw-all removes templates, not options templates", "2,0",
             [netflow(10, 0, (2, TEMPLATE + template(257, FIELDS[:2])), (3, OPTIONS)), netflow(10, 1, (2, withdraw_all)),
              netflow(10, 2, (256, flow(2)))],
             [[], [], [netflow(10, 2, (3, OPTIONS))]], "templates=3 resent=1 withdrawn=2 malformed=0 overcap=0"),
            ("v9 options templates, and zeros padding the datagram", "2,0",
             [netflow(9, 0, (0, TEMPLATE), (1, V9_OPTIONS)) + bytes(8), netflow(9, 1, (256, flow(1))),
              netflow(9, 2, (256, flow(2)))],
             [[], [], [netflow(9, 2, (0, TEMPLATE), (1, V9_OPTIONS), records=2)]],
             "templates=2 resent=1 withdrawn=0 malformed=0 overcap=0"),
            ("after a second without a resend", "0,1",
             [netflow(10, 0, (2, TEMPLATE)), 1.2, netflow(10, 1, (256, flow(1)))],
             [[], [netflow(10, 1, (2, TEMPLATE))]], "templates=1 resent=1 "),
            ("64 KiB per exporter, bookkeeping included", "2,0",
             [netflow(10, 0, (2, b"".join(BIG[:16]))), netflow(10, 1, (2, b"".join(BIG[16:]))),
              netflow(10, 2, (256, flow(2)))], None, None),
        ] + [("each domain's own header, numbered on from its latest datagram, v%d" % v, "2,0",
              [netflow(v, 1000, (t, TEMPLATE), domain=1), netflow(v, 5, (t, other), (256, flow(1) + flow(2)), domain=2),
               netflow(v, 1001, (256, flow(1)), domain=1)],
              [[], [], [netflow(v, 1001, (t, TEMPLATE), domain=1), numbered(netflow(v, 5, (t, other), domain=2), 7 - (v == 9))]],
              "templates=2 resent=2 ") for v, t in ((9, 0), (10, 2))]:
            with self.subTest(name):
                ahead, _, err = self.relay_played(items, "-template-refresh", refresh)
                if resent is not None:
                    self.assertEqual(ahead, resent)
                    self.assertIn(counters, err)
                    continue
                # The first templates fill the cache, and all it sends again are they.
                kept = len(ahead[2])
                self.assertEqual(ahead, [[], [], [netflow(10, 2, (2, t)) for t in BIG[:kept]]])
                held = int(re.search(r" templates=%d resent=%d withdrawn=0 malformed=0 overcap=%d held=(\d+) "
                                     % (kept, kept, 32 - kept), err, re.M)[1])
                self.assertTrue(8 <= kept and 4004 * kept < held <= 65536, (kept, held))

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_the_numbers_the_relay_sends(self):
        # Per datagram, the sequence numbers of what reached the sink up to it: template messages sent again,
        # then the datagram itself. Template 257 has a variable-length field, 259 records of no bytes.
        def named(name):
            return b"\x0a\0\0\x01" + (b"\xff" + struct.pack(">H", len(name)) if len(name) > 254 else bytes([len(name)])) + \
                name + b"\0\x35"
        some = (2, template(257, [(8, 4), (82, 65535), (7, 2)]) + template(259, [(1, 0)]))
        for name, refresh, items, numbers, counters in [
            ("v9: a resend takes the next number, and a jump stays as big", "2,0",
             [netflow(9, 1, (0, TEMPLATE), (256, flow(1)), records=2)] + [netflow(9, n, (256, flow(n))) for n in (2, 3, 7, 8)],
             [[1], [2], [3, 4], [8], [9, 10]], "datarecords=5 missing=3 disorder=0 untracked=0 "),
            ("IPFIX on streams 1 and 2: what no template counts is learnt from the stream's next number", "20,30",
             [(1, netflow(10, 0, some, (257, named(b"eth0") + named(b"x" * 300) + named(b"") + bytes(3)))),
              (2, netflow(10, 500, (259, bytes(8)))), (2, netflow(10, 504, (257, named(b"lo")))),
              (2, netflow(10, 505, (258, bytes(12)))), (1, netflow(10, 3, (257, named(b"a")))),
              (2, netflow(10, 507, (257, named(b"b")))), (1, netflow(10, 2, (257, named(b"c")))),
              (1, netflow(10, 10, (257, named(b"d"))))],
             [[0], [3], [7], [8], [8], [11], [12], [20]], "datarecords=8 missing=7 disorder=1 untracked=0 "),
            # The templates leave less than 200 domains' numbers take; the domains after them pass as they came.
            ("a domain beyond the exporter's cap keeps its numbers", "0,30",
             [(1, netflow(10, 0, (2, b"".join(BIG[:16])))), (1, netflow(10, 1, (2, b"".join(BIG[16:]))))] +
             [(1, netflow(10, 1000 + d, (256, flow(1)), domain=d)) for d in range(100, 300)] +
             [(1, netflow(10, 100, (256, flow(1)), domain=8)), (2, netflow(10, 5000, (256, flow(2)), domain=8))],
             [[0], [1]] + [[1000 + d] for d in range(100, 300)] + [[100], [5000]],
             r" held=6[45]\d{3} bytes=\d+ datarecords=0 missing=1 disorder=0 untracked=([1-9]\d*) "),
        ]:
            with self.subTest(name):
                raw = os.path.join(self.tmpdir(), "raw")   # what the daemon sent, numbers and all
                upto, err = self.relay_played(items, "-template-refresh", refresh, "-raw", raw)[1:]
                self.assertEqual([[struct.unpack(">I", d[12 - 4 * (d[1] == 10):][:4])[0] for d in got] for got in upto],
                                 numbers)
                self.assertRegex(err, counters)
                self.assertEqual(pathlib.Path(raw).read_bytes(),
                                 b"".join(record(i[1], i[0]) if isinstance(i, tuple) else record(i) for i in items))

    @emul_only("the collector's connection is TCP whatever the transport")
    @unittest.skipUnless(shutil.which("nfcapd"), "nfcapd (nfdump) absent here; the VM has it")
    def test_udp_collectors_count_the_sequence_numbers_the_exporter_skipped_and_no_others(self):
        # The v9 router's datagrams straight to nfcapd or nfacctd: 0 sequence failures, and 1 with a jump of 3;
        # through the relay, which sends its template again ahead of datagrams 21 and 41, the same. The IPFIX
        # exporter numbers each stream's data records (1 to 3 a message), as over SCTP; a UDP collector follows
        # one sequence per domain.
        acct = shutil.which("nfacctd")

        def v9(jump):
            return [netflow(9, n + (3 if jump and n > 30 else 0), *([(0, TEMPLATE)] if n == 1 else []),
                            (256, flow(n)), records=1 + (n == 1)) for n in range(1, 61)]

        def ipfix(skip):
            at, out = {1: 0, 2: 7000}, []
            for k in range(40):
                stream, records = 1 + k % 2, 1 + k % 3
                at[stream] += 5 if skip and k == 21 else 0
                out.append((stream, netflow(10, at[stream], *([(2, TEMPLATE)] if k == 0 else []),
                                            (256, b"".join(flow(3 * k + i) for i in range(records))))))
                at[stream] += records
            return out
        for name, items, flows_, failures, counters in [
            ("v9, every number", v9(False), 60, 0, "datarecords=60 missing=0 disorder=0 untracked=0"),
            ("v9, a jump of 3", v9(True), 60, 1, "datarecords=60 missing=3 disorder=0 untracked=0"),
            ("IPFIX on streams 1 and 2", ipfix(False), 79, 0, "datarecords=79 missing=0 disorder=0 untracked=0"),
            ("IPFIX, stream 2 skipping 5", ipfix(True), 79, 1, "datarecords=79 missing=5 disorder=0 untracked=0"),
        ]:
            with self.subTest(name):
                port, flows = self.nfcapd()
                forward = ["-forward", "127.0.0.1:%d" % port]
                acct_port = ports(1)[0] if acct and name.startswith("v9") else None
                acct_flows = self.nfacctd(acct_port) if acct_port else None
                if acct_port:   # nfacctd follows IPFIX numbers per message, as if they were v9's
                    forward += ["-forward", "127.0.0.1:%d" % acct_port]
                err = self.relay_played(items, *forward)[2]
                got = flows(failures=True)
                self.assertEqual((len(got[0]), got[1]), (flows_, failures))
                if acct_port:
                    got = acct_flows(flows_, failures=True)
                    self.assertEqual((len(got[0]), got[1]), (flows_, failures))
                resent = (len(items) - 1) // 20 * (1 + len(forward) // 2)   # per target: the sink, nfcapd, nfacctd
                self.assertRegex(err, r"exit stats .* resent=%d .* %s " % (resent, counters))

    @emul_only("a command line is the same on either transport")
    def test_bad_forward_spoof_or_ports_file_ends_the_collector_before_it_listens(self):
        def refused(*args, prefix=(), ports_=("-ports", "1"), status=1):
            # A resolver that cannot reach its servers gives up within seconds.
            p = subprocess.run(list(prefix) + [COLLECTOR_BIN, "-listen", "0", *ports_] + list(args),
                               capture_output=True, text=True, timeout=10 * SLOW,
                               env=dict(os.environ, RES_OPTIONS="timeout:1 attempts:1"))
            self.assertEqual((p.returncode, p.stdout), (status, ""), p.stderr)
            return p.stderr
        broken = os.path.join(self.tmpdir(), "ports")
        with open(broken, "w") as f:
            f.write("2055 NetFlow\n")
        for path in (broken, broken + ".missing"):
            self.assertIn(path, refused(ports_=("-portsfile", path), status=3))
        for bad in ["127.0.0.1", "127.0.0.1:0", "127.0.0.1:x", "::1:9", "[::1:9", "nosuch.invalid:9"]:
            self.assertIn(bad, refused("-forward", bad))
        self.assertIn("at most 64 -forward targets", refused(*["-forward", "127.0.0.1:9"] * 65))
        for bad in ["127.0.0.1", "127.0.0.1:0", "nosuch.invalid:9"]:
            self.assertIn("-metrics " + bad, refused("-metrics", bad))
        with socket.socket() as taken:   # said to be off loopback, then found taken, after the daemon's port
            taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)   # past earlier runs' TIME_WAIT
            taken.bind(("0.0.0.0", ports(1)[0]))
            taken.listen()
            p = subprocess.run([COLLECTOR_BIN, "-listen", "0", "-ports", "1", "-metrics", "0.0.0.0:%d" %
                                taken.getsockname()[1]], capture_output=True, text=True, timeout=10 * SLOW)
            self.assertEqual(p.returncode, 1)
            self.assertRegex(p.stderr, r"-metrics 0\.0\.0\.0:\d+ is not on loopback(.|\n)*cannot serve -metrics on "
                                       r"0\.0\.0\.0:\d+: Address already in use")
        self.assertIn("IPv4", refused("-spoof", "-forward", "[::1]:9"))
        for bad in ["20", "20,", "-1,30", "20,86401"]:
            self.assertIn("bad -template-refresh", refused("-template-refresh", bad))
        no_raw = ["setpriv", "--bounding-set", "-net_raw"] if os.getuid() == 0 else []
        self.assertIn("CAP_NET_RAW", refused("-spoof", "-forward", "127.0.0.1:9", prefix=no_raw))


if __name__ == "__main__":
    unittest.main()
